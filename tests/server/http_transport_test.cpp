// What the transport owes every client whatever runs behind it: answers in the order of their
// requests on a connection, a connection closed once the request that asked for it is
// answered, and a server that goes with calls and channels open leaves nothing behind.
#include "tests/server/push_test_client.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"
#include "tests/server/server_test_main.h"
#include "tests/support/checked.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using sonavert::cloud::ServerConfig;
using namespace Qt::StringLiterals;

namespace {

constexpr char kHealthy[] = R"({"status":"ok"})";

} // namespace

class HttpTransportTest : public ServerTestCase {
    Q_OBJECT

    QByteArray usersCurrent() const {
        return RawConnection::databaseCall(m_token, "users/current");
    }

private Q_SLOTS:
    void pipelinedAnswersKeepTheOrderOfTheirRequests_data() {
        QTest::addColumn<int>("ioThreads");
        QTest::newRow("one io thread") << 1;
        QTest::newRow("two io threads") << 2;
    }

    void pipelinedAnswersKeepTheOrderOfTheirRequests() {
        QFETCH(int, ioThreads);
        ServerConfig config;
        config.ioThreads = ioThreads;
        CHECKED(start(config));
        // A database call is answered from another thread, later than the health check
        // behind it: its answer must still come first.
        RawConnection client(m_server->url());
        QByteArray requests;
        for (int i = 0; i < 3; ++i)
            requests += usersCurrent() + RawConnection::healthCheck();
        client.send(requests);
        QTRY_COMPARE(client.received().count(kHealthy), 3);
        const QByteArray received = client.received();
        qsizetype at = 0;
        for (int i = 0; i < 3; ++i) {
            const qsizetype call = received.indexOf("userRecordName", at);
            const qsizetype health = received.indexOf(kHealthy, at);
            QVERIFY2(call >= 0 && call < health, received.constData());
            at = health + 1;
        }
    }

    void aRequestThatAsksToCloseIsAnsweredThenClosed() {
        CHECKED(start());
        RawConnection client(m_server->url());
        client.send(QByteArray("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n") +
                    RawConnection::healthCheck());
        QVERIFY(client.waitForClose());
        QCOMPARE(client.received().count("HTTP/1.1 200"), 1);
        QVERIFY(client.received().contains("Connection: close\r\n"));
        QVERIFY(client.received().endsWith(kHealthy));
        // The connection's place is given back.
        QTRY_COMPARE(m_server->server().connectionCount(), 0);
    }

    void aServerThatGoesClosesItsConnections() {
        CHECKED(start());
        PushTestClient channel(m_server->url());
        QCOMPARE(channel.open(m_token).value(u"ready"_s).toBool(), true);
        RawConnection idle(m_server->url());
        RawConnection calling(m_server->url());
        calling.send(usersCurrent().repeated(20));
        QTRY_COMPARE(m_server->server().connectionCount(), 3);
        m_server.reset();
        QVERIFY(channel.waitForClose());
        QVERIFY(idle.waitForClose());
        QVERIFY(calling.waitForClose());
    }
};

SONAVERT_SERVER_TEST_MAIN(HttpTransportTest)
#include "http_transport_test.moc"
