// The operating system's name from os-release and the hardware model from DMI, as the
// support mail's footer shows them.

#include "src/shell/platform_facts.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;

class PlatformFactsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void prettyNameIsReadInAnyQuoting_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::newRow("double quotes") << "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian "
                                          "GNU/Linux 12 (bookworm)\"\nID=debian\n"
                                       << "Debian GNU/Linux 12 (bookworm)";
        QTest::newRow("single quotes") << "PRETTY_NAME='Fedora Linux 40'\n"
                                       << "Fedora Linux 40";
        QTest::newRow("bare") << "ID=arch\nPRETTY_NAME=Arch\n"
                              << "Arch";
        QTest::newRow("escaped quote") << "PRETTY_NAME=\"My \\\"Own\\\" OS\"\n"
                                       << "My \"Own\" OS";
        QTest::newRow("missing") << "NAME=Debian\nVERSION_ID=12\n"
                                 << "";
        QTest::newRow("not a prefix") << "XPRETTY_NAME=no\n"
                                      << "";
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
