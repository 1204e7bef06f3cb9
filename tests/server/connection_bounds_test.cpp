// What an HTTP connection may cost the server: oversized and endless headers and bodies are
// refused before they are buffered or authenticated, connections that stall are closed on
// time, and a flood of connections is turned away with 503 while other clients are served.
// The caps count an IPv6 client by its /64: one subscriber holds a whole /64 and would
// otherwise fill the server from its addresses in turn. The test runs in a network namespace
// of its own, whose loopback holds addresses of two /64 networks.
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>
#include <cstdlib>
#include <sched.h>

using namespace sonavert::cloud::testing;
using sonavert::cloud::ServerConfig;
using namespace std::chrono_literals;

namespace {

// Before main, while the process has one thread: only then may it leave the host's network.
const bool g_isIsolated =
    unshare(CLONE_NEWNET) == 0 &&
    std::system("ip link set lo up && "
                "for a in fd00:5::1 fd00:5::a fd00:5::b fd00:5::c fd00:6::a; do "
                "ip -6 addr add $a/128 dev lo nodad || exit 1; done") == 0;

constexpr char kOperationPath[] = "/database/1/iCloud.test.container/production/private/";

// The kernel's cap on every listen backlog.
int somaxconn() {
    QFile file(QStringLiteral("/proc/sys/net/core/somaxconn"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

} // namespace

class ConnectionBoundsTest : public ServerTestCase {
    Q_OBJECT

    // Another client, on another address, makes a call of its own account.
    int otherClientStatus() {
        return RawConnection::statusOf(m_server->url(),
                                       RawConnection::databaseCall(m_otherToken, "users/current"),
                                       QHostAddress(QStringLiteral("127.0.0.2")));
    }

private Q_SLOTS:
    // TOKEN in a request stands for alice's: with a valid token, the answer is about the
    // request, not a misleading 401.
    void badRequestsAreRefusedBeforeTheyAreRead_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        const auto withHeader = [](const QByteArray& fields) {
            return RawConnection::databaseCall("TOKEN", "users/current", fields);
        };
        QByteArray manyFields;
        for (int i = 0; i < 101; ++i)
            manyFields += "X-Field-" + QByteArray::number(i) + ": v\r\n";
        QTest::newRow("101 fields") << withHeader(manyFields) << 431 << "LIMIT_EXCEEDED";
        QTest::newRow("one 40 KiB field")
            << withHeader("X-Big: " + QByteArray(40 * 1024, 'a') + "\r\n") << 431
            << "LIMIT_EXCEEDED";
        QTest::newRow("a header at the limit, served")
            << withHeader("X-Pad: " + QByteArray(30000, 'a') + "\r\nConnection: close\r\n") << 200
            << "";
        // No token at all: the size is refused before authentication would be.
        QTest::newRow("an announced body too large")
            << QByteArray("POST ") + kOperationPath +
                   "records/lookup HTTP/1.1\r\nHost: x\r\nContent-Length: 314572800\r\n\r\n"
            << 413 << "LIMIT_EXCEEDED";
        const QList<std::pair<const char*, QByteArray>> lengths{
            {"not a number", "Content-Length: two\r\n"},
            {"a sign", "Content-Length: +2\r\n"},
            {"negative", "Content-Length: -2\r\n"},
            {"empty", "Content-Length: \r\n"},
            {"two of them", "Content-Length: 2\r\nContent-Length: 2\r\n"}};
        for (const auto& [name, fields] : lengths)
            QTest::newRow(name) << QByteArray("POST ") + kOperationPath +
                                       "users/current HTTP/1.1\r\nHost: x\r\nAuthorization: "
                                       "Bearer TOKEN\r\n" +
                                       fields + "\r\n{}"
                                << 400 << "BAD_REQUEST";
    }

    void badRequestsAreRefusedBeforeTheyAreRead() {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QString, code);
        CHECKED(start());
        RawConnection attacker(m_server->url());
        attacker.send(request.replace("TOKEN", m_token.toLatin1()));
        QCOMPARE(attacker.awaitStatus(), status);
        QCOMPARE(attacker.answerErrorCode(), code);
        QVERIFY(attacker.waitForClose());
        QCOMPARE(otherClientStatus(), 200);
    }

    void endlessRequestsAreCutOffEarly_data() {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("filler");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("mostSent");
        QTest::newRow("header") << QByteArray("POST /database HTTP/1.1\r\nX-Endless: ")
                                << QByteArray(64 * 1024, 'a') << 431 << 16 * kMiB;
        // A chunked body is counted as it arrives, having announced no length to refuse.
        QTest::newRow("chunked body")
            << QByteArray("POST ") + kOperationPath +
                   "records/lookup HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
            << "10000\r\n" + QByteArray(0x10000, 'a') + "\r\n"
            << 413 << 24 * kMiB;
    }

    void endlessRequestsAreCutOffEarly() {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, filler);
        QFETCH(int, status);
        QFETCH(qint64, mostSent);
        CHECKED(start());
        const qint64 before = residentBytes();
        RawConnection attacker(m_server->url());
        QVERIFY(attacker.isCutOffWhileFlooding(prefix, filler, mostSent));
        QCOMPARE(attacker.awaitStatus(), status);
        QVERIFY(grewLessThan(before, 32 * kMiB));
        QCOMPARE(otherClientStatus(), 200);
    }

    void pipelinedRequestsWhoseAnswersStayUnreadAreCut() {
        ServerConfig config;
        // Every half-megabyte answer is computed: the bound on unread answers is tested, not
        // the throttle that would soon answer these calls with small refusals.
        config.service.rateLimit.perSecond = 0;
        CHECKED(start(config));
        CHECKED(saveBlob(QStringLiteral("big"), 512 * 1024));
        const qint64 before = residentBytes();
        RawConnection attacker(m_server->url());
        attacker.stopReading();
        // Each answer is half a megabyte, and none of them is taken.
        QByteArray requests;
        for (int i = 0; i < 8; ++i)
            requests += RawConnection::databaseCall(m_token, "records/lookup", {},
                                                    R"({"records":[{"recordName":"big"}]})");
        QVERIFY(attacker.isCutOffWhileFlooding(requests, requests, 16 * kMiB));
        QVERIFY(attacker.waitForClose());
        QVERIFY(grewLessThan(before, 48 * kMiB));
        QCOMPARE(otherClientStatus(), 200);
    }

    // Connections that each hold one answer still add up: past the server's bound requests
    // are answered 503 unrun, and connections whose clients took nothing of their answers
    // are closed at the next checks until the server is back under it; then everyone is
    // served again.
    void answersHeldOverEveryConnectionAreBounded() {
        ServerConfig config;
        config.http.maxHeldAnswerBytes = 12 * kMiB;
        // Answers larger than the system takes into a socket that is not read (the kernel's
        // send buffer grows to 4 MiB), so that the server holds them.
        config.service.maxAnswerBytes = 16 * kMiB;
        config.service.rateLimit.perSecond = 0; // virtual time refills no allowance
        CHECKED(start(config, true));
        QJsonArray names;
        for (int i = 0; i < 9; ++i) {
            CHECKED(saveBlob(QStringLiteral("big-%1").arg(i), 900 * 1024));
            names.append(
                QJsonObject{{QStringLiteral("recordName"), QStringLiteral("big-%1").arg(i)}});
        }
        const QByteArray lookup = RawConnection::databaseCall(
            m_token, "records/lookup", {},
            QJsonDocument(QJsonObject{{QStringLiteral("records"), names}}).toJson());
        std::vector<std::unique_ptr<RawConnection>> hung;
        for (int i = 1; i <= 2; ++i) {
            hung.push_back(std::make_unique<RawConnection>(m_server->url()));
            hung.back()->stopReading();
            hung.back()->send(lookup);
            QTRY_VERIFY(m_server->server().heldAnswerBytes() > i * 7 * kMiB);
        }
        QCOMPARE(otherClientStatus(), 503);
        // Neither client reads, so only closing a connection lets its answer go: as many go
        // as bring the server back under its bound.
        m_clock->advance(1100ms);
        QTRY_VERIFY(m_server->server().heldAnswerBytes() <= config.http.maxHeldAnswerBytes);
        QVERIFY(m_server->server().heldAnswerBytes() > 0);
        QCOMPARE(otherClientStatus(), 200);
        // A client that reads is served whatever the others left.
        RawConnection reader(m_server->url());
        reader.send(lookup);
        QCOMPARE(reader.awaitStatus(), 200);
    }

    void stalledConnectionsCloseOnTime_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("limitSeconds");
        QTest::newRow("never sends") << QByteArray() << 60;
        QTest::newRow("header trickles in") << QByteArray("POST /database HTTP/1.1\r\nX: ") << 10;
        QTest::newRow("body never completes")
            << QByteArray("POST /database HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789") << 30;
        QTest::newRow("kept alive after an answer")
            << QByteArray("GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n") << 60;
    }

    void stalledConnectionsCloseOnTime() {
        QFETCH(QByteArray, sent);
        QFETCH(int, limitSeconds);
        CHECKED(start({}, true));
        RawConnection client(m_server->url());
        QVERIFY(client.isConnected());
        if (!sent.isEmpty())
            client.send(sent);
        m_clock->advance(std::chrono::seconds(limitSeconds) - 600ms);
        QVERIFY(client.isConnected());
        m_clock->advance(1s);
        QVERIFY(client.waitForClose());
    }

    void aBurstOfConnectionsWaitsInTheListenBacklog() {
        CHECKED(start());
        // The backlog a listening socket was given is what `ss` shows as its send queue.
        QProcess ss;
        ss.start(QStringLiteral("ss"), {QStringLiteral("-ltnH"),
                                        QStringLiteral("sport = :%1").arg(m_server->url().port())});
        QVERIFY(ss.waitForFinished());
        const QList<QByteArray> columns = ss.readAllStandardOutput().simplified().split(' ');
        QVERIFY2(columns.size() >= 3, columns.join(' ').constData());
        const int backlog = columns.at(2).toInt();
        QVERIFY2(backlog >= std::min(1024, somaxconn()), columns.join(' ').constData());
    }

    void connectionsBeyondTheCapsAreTurnedAway() {
        ServerConfig config;
        config.http.maxConnectionsPerAddress = 3;
        config.http.maxConnections = 5;
        CHECKED(start(config));
        std::vector<std::unique_ptr<RawConnection>> held;
        for (int i = 0; i < 3; ++i)
            held.push_back(std::make_unique<RawConnection>(m_server->url()));
        RawConnection overAddressCap(m_server->url());
        QCOMPARE(overAddressCap.awaitStatus(), 503);
        QCOMPARE(overAddressCap.answerErrorCode(), QStringLiteral("TRY_AGAIN_LATER"));
        QVERIFY(overAddressCap.received().contains("Retry-After: 1"));
        // Another address still has room, up to the total.
        const QHostAddress other(QStringLiteral("127.0.0.3"));
        held.push_back(std::make_unique<RawConnection>(m_server->url(), other));
        held.push_back(std::make_unique<RawConnection>(m_server->url(), other));
        QCOMPARE(otherClientStatus(), 503);
        // A connection that goes makes room for the next.
        held.front()->socket().disconnectFromHost();
        QVERIFY(held.front()->waitForClose());
        held.erase(held.begin());
        // Waited for once: a second look could meet the first one's connection not yet seen
        // closed by the server, and be turned away for it.
        QVERIFY(QTest::qWaitFor([&] { return otherClientStatus() == 200; }));
    }

    void anIpv6NetworkCountsAsOneClient() {
        if (!g_isIsolated)
            QSKIP("needs a network namespace of its own (run as root)");
        ServerConfig config;
        config.http.maxConnectionsPerAddress = 2;
        CHECKED(start(config));
        const auto url = m_server->server().listen(QHostAddress(QStringLiteral("fd00:5::1")), 0);
        QVERIFY(url.ok());
        const auto status = [&](const char* from) {
            return RawConnection::statusOf(url.value(), RawConnection::healthCheck(),
                                           QHostAddress(QString::fromLatin1(from)));
        };
        RawConnection first(url.value(), QHostAddress(QStringLiteral("fd00:5::a")));
        RawConnection second(url.value(), QHostAddress(QStringLiteral("fd00:5::b")));
        // A third address of the same /64 is the same client.
        RawConnection third(url.value(), QHostAddress(QStringLiteral("fd00:5::c")));
        QCOMPARE(third.awaitStatus(), 503);
        // Another /64 is another client, and an address of the first is served again once one
        // of its connections went (waited for once, as above).
        QCOMPARE(status("fd00:6::a"), 200);
        first.socket().disconnectFromHost();
        QVERIFY(first.waitForClose());
        QVERIFY(QTest::qWaitFor([&] { return status("fd00:5::c") == 200; }));
    }
};

QTEST_GUILESS_MAIN(ConnectionBoundsTest)
#include "connection_bounds_test.moc"
