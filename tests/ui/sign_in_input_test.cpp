#include "src/ui/sign_in_input.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class SignInInputTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void codeIsGroupedAsTyped_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("grouped");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<bool>("foreign");
        QTest::newRow("empty") << u""_s << u""_s << false << false;
        QTest::newRow("first group") << u"kq7"_s << u"KQ7"_s << false << false;
        QTest::newRow("into the second") << u"kq74"_s << u"KQ7-4"_s << false << false;
        QTest::newRow("spaces") << u" kq7 4fd 92x "_s << u"KQ7-4FD-92X"_s << true << false;
        QTest::newRow("dashes kept once") << u"KQ7--4FD-92X"_s << u"KQ7-4FD-92X"_s << true << false;
        QTest::newRow("own grouping undone")
            << u"K-Q74F-D92X"_s << u"KQ7-4FD-92X"_s << true << false;
        QTest::newRow("check under way")
            << u"KQ7-4FD-92X-77"_s << u"KQ7-4FD-92X-77"_s << false << false;
        QTest::newRow("with its check")
            << u"kq7 4fd 92x m3p"_s << u"KQ7-4FD-92X-M3P"_s << true << false;
        QTest::newRow("pasted with extra")
            << u"KQ7-4FD-92X-M3P-77"_s << u"KQ7-4FD-92X-M3P"_s << true << false;
        QTest::newRow("punctuation dropped")
            << u"kq7.4fd/92x!"_s << u"KQ7-4FD-92X"_s << true << false;
        QTest::newRow("letter O for zero") << u"KQ7-4FD-9OX"_s << u"KQ7-4FD-9OX"_s << false << true;
        QTest::newRow("digit one") << u"1Q7-4FD-92X"_s << u"1Q7-4FD-92X"_s << false << true;
        QTest::newRow("non-latin dropped")
            << u"KQ7\u00e94FD92X"_s << u"KQ7-4FD-92X"_s << true << false;
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
        QTest::newRow("full") << u"https://cloud.example.org"_s << u"https://cloud.example.org"_s
                              << false;
        QTest::newRow("loopback") << u"127.0.0.1:8470"_s << u"http://127.0.0.1:8470"_s << true;
        QTest::newRow("localhost") << u"localhost:8470"_s << u"http://localhost:8470"_s << true;
        QTest::newRow("ipv6 loopback") << u"http://[::1]:8470"_s << u"http://[::1]:8470"_s << true;
        // Servers on the network serve HTTPS (with a certificate of their own when given none).
        QTest::newRow("home network")
            << u"192.168.1.20:8470"_s << u"https://192.168.1.20:8470"_s << false;
        QTest::newRow("mdns name") << u"nas.local:8470"_s << u"https://nas.local:8470"_s << false;
        QTest::newRow("internet name")
            << u"cloud.example.org"_s << u"https://cloud.example.org"_s << false;
        QTest::newRow("public address") << u"203.0.113.9"_s << u"https://203.0.113.9"_s << false;
        QTest::newRow("trimmed") << u"  192.168.1.20:8470 "_s << u"https://192.168.1.20:8470"_s
                                 << false;
        QTest::newRow("empty") << u""_s << u""_s << false;
        QTest::newRow("not web") << u"ftp://cloud.example.org"_s << u""_s << false;
        QTest::newRow("credentials") << u"http://me:pw@cloud.example.org"_s << u""_s << false;
        QTest::newRow("words") << u"my server"_s << u""_s << false;
        QTest::newRow("bad port") << u"cloud.example.org:port"_s << u""_s << false;
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
