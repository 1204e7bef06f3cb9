// The operating system's name from os-release and the hardware model from DMI, as the
// support mail's footer shows them.

#include "src/shell/platform_facts.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class PlatformFactsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void prettyNameIsReadInAnyQuoting_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::newRow("double quotes") << "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian "
                                          "GNU/Linux 12 (bookworm)\"\nID=debian\n"
                                       << "Debian GNU/Linux 12 (bookworm)";
        QTest::newRow("single quotes")
            << u"PRETTY_NAME='Fedora Linux 40'\n"_s << u"Fedora Linux 40"_s;
        QTest::newRow("bare") << u"ID=arch\nPRETTY_NAME=Arch\n"_s << u"Arch"_s;
        QTest::newRow("escaped quote")
            << u"PRETTY_NAME=\"My \\\"Own\\\" OS\"\n"_s << u"My \"Own\" OS"_s;
        QTest::newRow("missing") << u"NAME=Debian\nVERSION_ID=12\n"_s << u""_s;
        QTest::newRow("not a prefix") << u"XPRETTY_NAME=no\n"_s << u""_s;
    }
    void prettyNameIsReadInAnyQuoting() {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QCOMPARE(prettyNameFromOsRelease(text), name);
    }

    void thisMachineHasAName() { QVERIFY(!operatingSystemPrettyName().isEmpty()); }

    void hardwareModelIsTheTrimmedProductName() {
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("product_name"));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("  20XW0055GE \n");
        out.close();
        QCOMPARE(hardwareModel(file), QStringLiteral("20XW0055GE"));
        QCOMPARE(hardwareModel(folder.filePath(QStringLiteral("absent"))), QString());
    }
};

QTEST_GUILESS_MAIN(PlatformFactsTest)
#include "platform_facts_test.moc"
