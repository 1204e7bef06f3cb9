// "Start at login": the installed autostart entry copied into the user's autostart folder and
// removed again, the copy's presence being the setting.

#include "src/shell/login_item.h"
#include "tests/support/scratch_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using sonavert::test::readFile;
using sonavert::test::writeFile;

namespace {

const QByteArray kEntry = "[Desktop Entry]\nType=Application\nName=Sonavert\nExec=sonavert\n";

} // namespace

class LoginItemTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    QString m_template;
    QString m_autostart;
    QString m_copy;

private Q_SLOTS:
    void init() {
        QVERIFY(m_scratch.isValid());
        m_template = m_scratch.filePath(QStringLiteral("template.desktop"));
        QVERIFY(writeFile(m_template, kEntry));
        // A fresh account: not even the autostart folder exists yet.
        m_autostart = m_scratch.filePath(
            QStringLiteral("config-%1/autostart").arg(QTest::currentTestFunction()));
        m_copy = m_autostart + QStringLiteral("/io.sonavert.Sonavert.desktop");
    }

    void turningOnCopiesTheEntryAndOffRemovesIt() {
        LoginItem item(m_template, m_autostart);
        QVERIFY(!item.isEnabled());
        QVERIFY(item.setEnabled(true).ok());
        QVERIFY(item.isEnabled());
        QCOMPARE(readFile(m_copy), kEntry);
        // On again rewrites the copy from the template, so an older installation's entry
        // (another Exec line) is replaced.
        QVERIFY(writeFile(m_copy, "[Desktop Entry]\nExec=/opt/old/sonavert\n"));
        QVERIFY(item.setEnabled(true).ok());
        QCOMPARE(readFile(m_copy), kEntry);

        QVERIFY(item.setEnabled(false).ok());
        QVERIFY(!item.isEnabled());
        QVERIFY(!QFileInfo::exists(m_copy));
        // Off when already off succeeds and leaves the folder alone.
        QVERIFY(item.setEnabled(false).ok());
        QVERIFY(QFileInfo(m_autostart).isDir());
    }

    void theSettingIsTheFileTheUserSees() {
        LoginItem item(m_template, m_autostart);
        QVERIFY(item.setEnabled(true).ok());
        QVERIFY(QFile::remove(m_copy));
        QVERIFY(!item.isEnabled());
        // A folder of that name is no entry either.
        QVERIFY(QDir().mkpath(m_copy));
        QVERIFY(!item.isEnabled());
    }

    void failuresSayWhyAndLeaveItOff() {
        LoginItem withoutTemplate(std::nullopt, m_autostart);
        const Status missing = withoutTemplate.setEnabled(true);
        QVERIFY(!missing.ok());
        QVERIFY(missing.error().is(LoginItemErrorCode::NoTemplate));
        QVERIFY(!withoutTemplate.isEnabled());

        LoginItem unreadable(m_scratch.filePath(QStringLiteral("gone.desktop")), m_autostart);
        const Status notRead = unreadable.setEnabled(true);
        QVERIFY(notRead.error().is(LoginItemErrorCode::CannotEnable));
        QVERIFY2(notRead.error().description.contains(QStringLiteral("gone.desktop")),
                 qPrintable(notRead.error().description));
        QVERIFY(!unreadable.isEnabled());

        // The autostart folder's place is taken by a file: nothing can be written there.
        const QString blocked = m_scratch.filePath(QStringLiteral("blocked"));
        QVERIFY(writeFile(blocked, "not a folder"));
        LoginItem cannotWrite(m_template, blocked);
        const Status notWritten = cannotWrite.setEnabled(true);
        QVERIFY(!notWritten.ok());
        QVERIFY(notWritten.error().is(LoginItemErrorCode::CannotEnable));
        QVERIFY(!cannotWrite.isEnabled());
    }

    void theBuildTreeHasTheTemplate() {
        // Run from the build tree, the template is the one the build configured.
        const std::optional<QString> found = LoginItem::locateTemplate();
        QVERIFY(found.has_value());
        QVERIFY2(readFile(*found).contains("Exec=sonavert"), qPrintable(*found));
        QCOMPARE(QFileInfo(*found).fileName(), QStringLiteral("io.sonavert.Sonavert.desktop"));
    }
};

QTEST_GUILESS_MAIN(LoginItemTest)
#include "login_item_test.moc"
