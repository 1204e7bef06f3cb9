// Behind a reverse proxy: only a trusted proxy's X-Forwarded-For names the client, so the
// limits kept per client address hold for each client behind it and nobody else can move
// them by writing the header.
#include "server/http/trusted_proxies.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/raw_connection.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/checked.h"

#include <QtTest>

using namespace sonavert::cloud;
using namespace sonavert::cloud::testing;

namespace {

const QHostAddress kProxy(QStringLiteral("127.0.0.1"));
const QHostAddress kStranger(QStringLiteral("127.0.0.2"));
// Wrong guesses one address may make before it is held back.
constexpr int kAllowedGuesses = 20;

QByteArray claim(const QString& code, const QByteArray& forwardedFor) {
    const QByteArray body = "{\"code\":\"" + code.toLatin1() + "\",\"deviceName\":\"d\"}";
    return "POST /pairing/1/claim HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: " + forwardedFor +
           "\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TrustedProxiesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestCloudServer> m_server;

    void start(ServerConfig config) {
        config.transport.trustedProxies = TrustedProxies::parse({kProxy.toString()}).value();
        m_server = std::make_unique<TestCloudServer>(config, nullptr);
        QVERIFY(m_server->isRunning());
    }
    int claimStatus(const QHostAddress& from, const QString& code, const QByteArray& forwarded) {
        return RawConnection::statusOf(m_server->url(), claim(code, forwarded), from);
    }
    QString newCode() {
        CloudTestClient alice(m_server->url(), m_server->addAccount(QStringLiteral("alice")));
        return alice.call("pairing/create", {}).body.value("code").toString();
    }

private Q_SLOTS:
    void cleanup() { m_server.reset(); }

    void theClientIsTheNearestHopNoProxyVouchesFor_data() {
        QTest::addColumn<QStringList>("proxies");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QByteArray>("forwardedFor");
        QTest::addColumn<QString>("client");
        const QStringList local{"127.0.0.1"};
        QTest::newRow("untrusted peer: header ignored")
            << local << "192.0.2.9" << QByteArray("203.0.113.7") << "192.0.2.9";
        QTest::newRow("trusted peer")
            << local << "127.0.0.1" << QByteArray("203.0.113.7") << "203.0.113.7";
        QTest::newRow("the client wrote a left part")
            << local << "127.0.0.1" << QByteArray("10.9.9.9, 203.0.113.7") << "203.0.113.7";
        QTest::newRow("two proxies, one a block")
            << QStringList{"127.0.0.1", "10.0.0.0/8"} << "127.0.0.1"
            << QByteArray("198.51.100.4,10.1.2.3") << "198.51.100.4";
        QTest::newRow("ports and IPv6")
            << QStringList{"::1"} << "::1" << QByteArray("[2001:db8::7]:4711") << "2001:db8::7";
        QTest::newRow("IPv4 peer on a dual-stack socket")
            << local << "::ffff:127.0.0.1" << QByteArray("203.0.113.7:80") << "203.0.113.7";
        QTest::newRow("garbage ends the chain")
            << local << "127.0.0.1" << QByteArray("203.0.113.7, unknown") << "127.0.0.1";
    }

    void theClientIsTheNearestHopNoProxyVouchesFor() {
        QFETCH(QStringList, proxies);
        QFETCH(QString, peer);
        QFETCH(QByteArray, forwardedFor);
        QFETCH(QString, client);
        const auto parsed = TrustedProxies::parse(proxies);
        QVERIFY(parsed);
        QCOMPARE(parsed.value().clientOf(QHostAddress(peer), forwardedFor).toString(), client);
    }

    void guessesAreThrottledPerClientBehindTheProxyAndPerPeerElsewhere() {
        CHECKED(start({}));
        for (int i = 0; i < kAllowedGuesses; ++i) {
            QCOMPARE(claimStatus(kProxy, QStringLiteral("WRONG%1").arg(i), "203.0.113.7"), 403);
            // A stranger's header names nobody: each of its guesses counts against itself.
            QCOMPARE(claimStatus(kStranger, QStringLiteral("WRONG%1").arg(i),
                                 "198.51.100." + QByteArray::number(i)),
                     403);
        }
        const QString code = newCode();
        QCOMPARE(claimStatus(kProxy, code, "203.0.113.7"), 429);
        QCOMPARE(claimStatus(kStranger, code, "198.51.100.200"), 429);
        QCOMPARE(claimStatus(kProxy, code, "203.0.113.8"), 200);
    }

    void aProxyIsNotHeldToTheCapOfOneAddress() {
        ServerConfig config;
        config.http.maxConnectionsPerAddress = 2;
        CHECKED(start(config));
        std::vector<std::unique_ptr<RawConnection>> held;
        for (const QHostAddress& from : {kProxy, kProxy, kStranger, kStranger})
            held.push_back(std::make_unique<RawConnection>(m_server->url(), from));
        QCOMPARE(claimStatus(kStranger, QStringLiteral("WRONG"), {}), 503);
        QCOMPARE(claimStatus(kProxy, QStringLiteral("WRONG"), "203.0.113.7"), 403);
    }
};

QTEST_GUILESS_MAIN(TrustedProxiesTest)
#include "trusted_proxies_test.moc"
