#include "src/ui/sign_in_input.h"

#include <QTest>

using namespace sonavert;

class SignInInputTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void codeIsGroupedAsTyped_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("grouped");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<bool>("foreign");
        QTest::newRow("empty") << ""
                               << "" << false << false;
        QTest::newRow("first group") << "kq7"
                                     << "KQ7" << false << false;
        QTest::newRow("into the second") << "kq74"
                                         << "KQ7-4" << false << false;
        QTest::newRow("spaces") << " kq7 4fd 92x "
                                << "KQ7-4FD-92X" << true << false;
        QTest::newRow("dashes kept once") << "KQ7--4FD-92X"
                                          << "KQ7-4FD-92X" << true << false;
        QTest::newRow("own grouping undone") << "K-Q74F-D92X"
                                             << "KQ7-4FD-92X" << true << false;
        QTest::newRow("check under way") << "KQ7-4FD-92X-77"
                                         << "KQ7-4FD-92X-77" << false << false;
        QTest::newRow("with its check") << "kq7 4fd 92x m3p"
                                        << "KQ7-4FD-92X-M3P" << true << false;
        QTest::newRow("pasted with extra") << "KQ7-4FD-92X-M3P-77"
                                           << "KQ7-4FD-92X-M3P" << true << false;
        QTest::newRow("punctuation dropped") << "kq7.4fd/92x!"
                                             << "KQ7-4FD-92X" << true << false;
        QTest::newRow("letter O for zero") << "KQ7-4FD-9OX"
                                           << "KQ7-4FD-9OX" << false << true;
        QTest::newRow("digit one") << "1Q7-4FD-92X"
                                   << "1Q7-4FD-92X" << false << true;
        QTest::newRow("non-latin dropped") << "KQ7\u00e94FD92X"
                                           << "KQ7-4FD-92X" << true << false;
    }
    void codeIsGroupedAsTyped() {
        QFETCH(QString, typed);
        QFETCH(QString, grouped);
        QFETCH(bool, complete);
        QFETCH(bool, foreign);
        QCOMPARE(sign_in_input::groupedCode(typed), grouped);
        QCOMPARE(sign_in_input::isCompleteCode(grouped), complete);
        QCOMPARE(sign_in_input::hasForeignSymbol(grouped), foreign);
    }

    void addressBecomesAServerUrl_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("thisComputer");
        QTest::newRow("full") << "https://cloud.example.org"
                              << "https://cloud.example.org" << false;
        QTest::newRow("loopback") << "127.0.0.1:8470"
                                  << "http://127.0.0.1:8470" << true;
        QTest::newRow("localhost") << "localhost:8470"
                                   << "http://localhost:8470" << true;
        QTest::newRow("ipv6 loopback") << "http://[::1]:8470"
                                       << "http://[::1]:8470" << true;
        // Servers on the network serve HTTPS (with a certificate of their own when given none).
        QTest::newRow("home network") << "192.168.1.20:8470"
                                      << "https://192.168.1.20:8470" << false;
        QTest::newRow("mdns name") << "nas.local:8470"
                                   << "https://nas.local:8470" << false;
        QTest::newRow("internet name") << "cloud.example.org"
                                       << "https://cloud.example.org" << false;
        QTest::newRow("public address") << "203.0.113.9"
                                        << "https://203.0.113.9" << false;
        QTest::newRow("trimmed") << "  192.168.1.20:8470 "
                                 << "https://192.168.1.20:8470" << false;
        QTest::newRow("empty") << ""
                               << "" << false;
        QTest::newRow("not web") << "ftp://cloud.example.org"
                                 << "" << false;
        QTest::newRow("credentials") << "http://me:pw@cloud.example.org"
                                     << "" << false;
        QTest::newRow("words") << "my server"
                               << "" << false;
        QTest::newRow("bad port") << "cloud.example.org:port"
                                  << "" << false;
    }
    void addressBecomesAServerUrl() {
        QFETCH(QString, typed);
        QFETCH(QString, url);
        QFETCH(bool, thisComputer);
        const auto server = sign_in_input::serverUrl(typed);
        QCOMPARE(server ? server->toString() : QString(), url);
        if (server)
            QCOMPARE(sign_in_input::isThisComputer(*server), thisComputer);
    }
};

QTEST_GUILESS_MAIN(SignInInputTest)
#include "sign_in_input_test.moc"
