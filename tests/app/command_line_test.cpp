// What `sonavert`'s command line makes of its options: each reaches the run on its own, and
// what cannot work is refused before anything starts.
#include "src/app/command_line.h"
#include "tests/support/self_signed_certificate.h"

#include <QtTest>

using namespace sonavert;

class CommandLineTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Options that belong together in use must not depend on each other in parsing: plain
    // HTTP allowed without a CA file, a CA file without it.
    void eachOptionReachesTheRunOnItsOwn() {
        const auto plain = parseCommandLine({"sonavert", "--headless", "--allow-plain-http",
                                             "--cloud", "http://192.168.1.20:8470"});
        QVERIFY(plain.options);
        QVERIFY(plain.options->allowsPlainHttp);
        QCOMPARE(plain.options->cloudUrl, QStringLiteral("http://192.168.1.20:8470"));
        QVERIFY(!plain.options->cloudCaFile);

        test::SelfSignedCertificate authority;
        if (!authority.isMade())
            QSKIP("openssl cannot make a certificate here");
        const auto withAuthority =
            parseCommandLine({"sonavert", "--headless", "--cloud-ca", authority.certificateFile()});
        QVERIFY2(withAuthority.options, qPrintable(withAuthority.message));
        QVERIFY(withAuthority.options->cloudCaFile);
        QVERIFY(!withAuthority.options->allowsPlainHttp);

        const auto bare = parseCommandLine({"sonavert", "--headless"});
        QVERIFY(bare.options);
        QVERIFY(!bare.options->allowsPlainHttp);
        QCOMPARE(bare.options->cloudUrl, QStringLiteral("http://127.0.0.1:8470"));
    }

    void whatCannotWorkIsRefused_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("named");
        QTest::newRow("no web address")
            << QStringList{"--cloud", "ftp://cloud.example.org"} << "--cloud";
        QTest::newRow("a nameless first account")
            << QStringList{"--first-account", " "} << "--first-account";
        QTest::newRow("a song for a real player")
            << QStringList{"--player", "mpv", "--simulate-playing", "So What"}
            << "--simulate-playing";
    }
    void whatCannotWorkIsRefused() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, named);
        const auto parsed = parseCommandLine(QStringList{"sonavert", "--headless"} + arguments);
        QVERIFY(!parsed.options);
        QVERIFY(parsed.exitCode != 0);
        QVERIFY2(parsed.message.contains(named), qPrintable(parsed.message));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "command_line_test.moc"
