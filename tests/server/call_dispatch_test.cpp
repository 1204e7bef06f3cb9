// Database calls answered off the event loop: an acknowledged save is there for every reader
// thread at once, a client that leaves before its answer costs nothing, and saves sent together
// are committed together.
#include "server/service/call_dispatcher.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"
#include "tests/server/server_test_main.h"

#include <QNetworkReply>
#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace sonavert::cloud::testing::wire;
using namespace Qt::StringLiterals;

class CallDispatchTest : public ServerTestCase {
    Q_OBJECT

private:
    QByteArray rawSave(const QString& name) const {
        const QByteArray body =
            QJsonDocument(QJsonObject{{"operations", QJsonArray{replace(name, "Note", {})}}})
                .toJson(QJsonDocument::Compact);
        return RawConnection::databaseCall(m_token, "records/modify", {}, body);
    }

private Q_SLOTS:
    void init() { start(); }

    void anAcknowledgedSaveIsReadAtOnceThroughEveryConnection() {
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

SONAVERT_SERVER_TEST_MAIN(CallDispatchTest)
#include "call_dispatch_test.moc"
