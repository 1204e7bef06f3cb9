// What the transport owes every client whatever runs behind it: answers in the order of their
// requests on a connection, a connection closed once the request that asked for it is
// answered, and a server that goes with calls and channels open leaves nothing behind. The
// database calls behind it are answered off the event loop: an acknowledged save is there for
// every reader thread at once, a client that leaves before its answer costs nothing, and saves
// sent together are committed together.
#include "server/service/call_dispatcher.h"
#include "tests/server/push_test_client.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"

#include <QNetworkReply>
#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace sonavert::cloud::testing::wire;
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
    QByteArray rawSave(const QString& name) const {
        const QByteArray body =
            QJsonDocument(QJsonObject{{"operations", QJsonArray{replace(name, "Note", {})}}})
                .toJson(QJsonDocument::Compact);
        return RawConnection::databaseCall(m_token, "records/modify", {}, body);
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

    void anAcknowledgedSaveIsReadAtOnceThroughEveryConnection() {
        CHECKED(start());
        std::vector<std::unique_ptr<CloudTestClient>> readers;
        for (int i = 0; i < 4; ++i)
            readers.push_back(std::make_unique<CloudTestClient>(m_server->url(), m_token));
        for (int round = 0; round < 10; ++round) {
            const auto saved =
                m_client->modifyRecords({replace(u"r"_s, u"Note"_s, {{"n", intField(round)}})});
            QCOMPARE(saved.status, 200);
            for (const auto& reader : readers) {
                const auto read = reader->lookup({u"r"_s});
                const QJsonObject fields = read.item("records", 0).value("fields").toObject();
                QCOMPARE(fields.value("n").toObject().value("value").toInt(), round);
            }
        }
    }

    void aClientThatLeavesBeforeItsAnswerCostsNothing() {
        CHECKED(start());
        for (int i = 0; i < 5; ++i) {
            RawConnection client(m_server->url());
            client.send(rawSave(u"left-%1"_s.arg(i)));
            client.socket().disconnectFromHost();
        }
        // The saves were taken and made; their answers had no one to go to. A save of this
        // client's own goes through the same commit lane after them.
        QCOMPARE(m_client->modifyRecords({replace(u"barrier"_s, u"Note"_s, {})}).status, 200);
        QStringList names;
        for (int i = 0; i < 5; ++i)
            names << u"left-%1"_s.arg(i);
        const auto read = m_client->lookup(names);
        QCOMPARE(read.status, 200);
        for (qsizetype i = 0; i < names.size(); ++i)
            QVERIFY2(!read.item("records", i).contains("serverErrorCode"), qPrintable(names[i]));
    }

    void savesSentTogetherAreCommittedTogether() {
        CHECKED(start());
        QList<QNetworkReply*> replies;
        for (int i = 0; i < 60; ++i)
            replies << m_client->startCall(
                u"records/modify"_s,
                {{"operations", QJsonArray{replace(u"g%1"_s.arg(i), "Note", {})}}});
        for (QNetworkReply* reply : replies)
            QCOMPARE(awaitStatus(reply, 20000), 200);
        // Six connections at once (the client's limit per host) while each commit waits for
        // the disk: later saves queue behind the first and go in together.
        QVERIFY(m_server->server().calls().largestGroup() > 1);
    }
};

QTEST_GUILESS_MAIN(HttpTransportTest)
#include "http_transport_test.moc"
