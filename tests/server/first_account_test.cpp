// The first-run call: the first device of a self-hosted server creates the first account and
// gets its own named token. Local callers only, never through a proxy nor on a server that
// trusts one, only in the first minutes after a start, and shut for good once any account
// exists, even against calls racing each other.
#include "server/http/trusted_proxies.h"
#include "tests/server/server_test_case.h"
#include "tests/support/recording_tcp_proxy.h"

#include <QNetworkInterface>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

namespace {

QJsonObject names(const QString& account, const QString& device) {
    return {{u"accountName"_s, account}, {u"deviceName"_s, device}};
}

} // namespace

class FirstAccountTest : public ServerTestCase {
    Q_OBJECT

private:
    std::unique_ptr<CloudTestClient> m_local;

private Q_SLOTS:
    void init() {
        CHECKED(startWithoutAccounts({}, true));
        m_local = std::make_unique<CloudTestClient>(m_server->url(), QString());
    }

    void theFirstDeviceGetsTheAccountAndTheDoorShuts() {
        QTest::ignoreMessage(QtInfoMsg,
                             QRegularExpression(u"first account alice created by device Desk "
                                                u"from (::ffff:)?127.0.0.1"_s));
        const auto created = m_local->createFirstAccount(names(u"alice"_s, u"Desk"_s));
        QCOMPARE(created.status, 200);
        QCOMPARE(created.body.value("accountName").toString(), u"alice"_s);
        QCOMPARE(created.body.value("deviceName").toString(), u"Desk"_s);
        CloudTestClient desk(m_server->url(), created.body.value("token").toString());
        QCOMPARE(desk.call("account/status", {}).status, 200);
        QCOMPARE(deviceNames(u"alice"_s), QStringList{u"Desk"_s});

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"first account refused from"_s));
        const auto again = m_local->createFirstAccount(names(u"mallory"_s, u"Laptop"_s));
        QCOMPARE(again.refusal(), u"403 ACCESS_DENIED"_s);
        QVERIFY(!again.body.contains("token"));
        QCOMPARE(deviceNames(u"mallory"_s), QStringList{});
    }

    void anAccountMadeByTheAdministratorShutsItToo() {
        QVERIFY(!m_server->addAccount(u"alice"_s).isEmpty());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"first account refused from"_s));
        QCOMPARE(m_local->createFirstAccount(names(u"bob"_s, u"Desk"_s)).status, 403);
    }

    void onlyOneOfRacingCallsSucceeds() {
        QList<QNetworkReply*> replies;
        for (int i = 0; i < 6; ++i)
            replies << m_local->startFirstAccount(names(u"account%1"_s.arg(i), u"Desk"_s));
        QMap<int, int> statuses;
        for (QNetworkReply* reply : replies)
            ++statuses[awaitStatus(reply)];
        QCOMPARE(statuses, (QMap<int, int>{{200, 1}, {403, 5}}));
    }

    void badNamesAreRefusedAndLeaveTheDoorOpen_data() {
        QTest::addColumn<QJsonObject>("body");
        const QString longest = QString(255, u'a');
        QTest::newRow("no account name") << QJsonObject{{u"deviceName"_s, u"Desk"_s}};
        QTest::newRow("empty account name") << names({}, u"Desk"_s);
        QTest::newRow("blank account name") << names(u"  "_s, u"Desk"_s);
        QTest::newRow("over-long account name") << names(longest + u'a', u"Desk"_s);
        QTest::newRow("no device name") << QJsonObject{{u"accountName"_s, u"alice"_s}};
        QTest::newRow("empty device name") << names(u"alice"_s, {});
        QTest::newRow("over-long device name") << names(u"alice"_s, longest + u'é');
        QTest::newRow("not a string") << QJsonObject{{u"accountName"_s, 7}, {u"deviceName"_s, 7}};
    }
    void badNamesAreRefusedAndLeaveTheDoorOpen() {
        QFETCH(QJsonObject, body);
        const auto refused = m_local->createFirstAccount(body);
        QCOMPARE(refused.refusal(), u"400 BAD_REQUEST"_s);
        const QString longest = QString(255, u'a');
        QCOMPARE(m_local->createFirstAccount(names(longest, longest)).status, 200);
    }

    // A reverse proxy on the server's machine makes every internet caller look local.
    void forwardedCallsAreRefused_data() {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("Forwarded") << QByteArray("Forwarded") << QByteArray("for=203.0.113.7");
        QTest::newRow("X-Forwarded-For")
            << QByteArray("X-Forwarded-For") << QByteArray("127.0.0.1");
        // Header names are case-insensitive; a proxy may send them in lower case.
        QTest::newRow("x-real-ip") << QByteArray("x-real-ip") << QByteArray("203.0.113.7");
    }
    void forwardedCallsAreRefused() {
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, value);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"refused to .*not a caller on "
                                                              u"this machine"_s));
        const auto refused =
            m_local->createFirstAccount(names(u"alice"_s, u"Desk"_s), {{header, value}});
        QCOMPARE(refused.refusal(), u"403 ACCESS_DENIED"_s);
        QCOMPARE(deviceNames(u"alice"_s), QStringList{});
    }

    // A same-host tunnel (ssh -R, a TCP forwarder) relays strangers from loopback and names
    // nobody; a server that trusts a proxy is assumed to have one in front.
    void aTunnelToAServerThatTrustsAProxyIsRefused() {
        sonavert::cloud::ServerConfig config;
        config.transport.trustedProxies =
            sonavert::cloud::TrustedProxies::parse({u"127.0.0.1"_s}).value();
        TestCloudServer proxied(config, m_clock.get());
        QVERIFY(proxied.isRunning());
        sonavert::test::RecordingTcpProxy tunnel(QHostAddress::LocalHost, proxied.url().port());
        CloudTestClient stranger(tunnel.url(proxied.url()), QString());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(u"refused to .*the server trusts a proxy"_s));
        const auto refused = stranger.createFirstAccount(names(u"mallory"_s, u"Laptop"_s));
        QCOMPARE(refused.refusal(), u"403 ACCESS_DENIED"_s);
        QVERIFY(refused.body.value("reason").toString().contains("reverse proxy"));
        QVERIFY(!proxied.server().service().accounts().account(u"mallory"_s).ok());
    }

    void theDoorOpensOnlyForTenMinutesAfterEachStart() {
        m_clock->advance(std::chrono::seconds(599));
        QCOMPARE(m_local->createFirstAccount(names({}, u"Desk"_s)).status, 400);
        m_clock->advance(std::chrono::seconds(1));
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(u"first account refused from .*first-run window"_s));
        const auto late = m_local->createFirstAccount(names(u"alice"_s, u"Desk"_s));
        QCOMPARE(late.refusal(), u"403 ACCESS_DENIED"_s);
        QVERIFY2(late.body.value("reason").toString().contains("restart the server"),
                 qPrintable(late.body.value("reason").toString()));
        QCOMPARE(deviceNames(u"alice"_s), QStringList{});

        // Started again over the same store, the server opens it anew.
        auto restarted = m_server->openAlongside(*m_clock);
        QVERIFY(restarted.ok());
        auto url = restarted.value()->listen(QHostAddress::LocalHost, 0);
        QVERIFY(url.ok());
        CloudTestClient local(url.value(), QString());
        QCOMPARE(local.createFirstAccount(names(u"alice"_s, u"Desk"_s)).status, 200);
    }

    void callersFromTheNetworkAreRefused() {
        QHostAddress own;
        for (const QHostAddress& address : QNetworkInterface::allAddresses())
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
                own = address;
        if (own.isNull())
            QSKIP("this machine has no address besides loopback");
        // The server also listens on an address of the network; connecting to it from this
        // machine comes from that address, as any other host's call would come from its own.
        auto url = m_server->server().listen(QHostAddress::AnyIPv4, 0);
        QVERIFY(url);
        QUrl network = url.value();
        network.setHost(own.toString());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"refused to "_s + own.toString()));
        CloudTestClient remote(network, QString());
        QCOMPARE(remote.createFirstAccount(names(u"alice"_s, u"Desk"_s)).status, 403);
        QCOMPARE(remote.claimPairingCode(u"KQ7-4FD-92X"_s, u"Desk"_s).status, 403); // still served
        QCOMPARE(m_local->createFirstAccount(names(u"alice"_s, u"Desk"_s)).status, 200);
    }
};

QTEST_GUILESS_MAIN(FirstAccountTest)
#include "first_account_test.moc"
