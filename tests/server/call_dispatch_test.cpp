// Database calls answered off the event loop: an acknowledged save is there for every reader
// thread at once, a client that leaves before its answer costs nothing, and saves sent together
// are committed together.
#include "server/service/call_dispatcher.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"
#include "tests/server/server_test_main.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
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
            QTcpSocket socket;
            socket.connectToHost(m_server->url().host(), m_server->url().port());
            QVERIFY(socket.waitForConnected(5000));
            socket.write(rawSave(u"left-%1"_s.arg(i)));
            QVERIFY(socket.waitForBytesWritten(5000));
            socket.disconnectFromHost();
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
        QNetworkAccessManager network;
        QList<QNetworkReply*> replies;
        QUrl url = m_server->url();
        url.setPath(u"/database/1/iCloud.test.container/production/private/records/modify"_s);
        for (int i = 0; i < 60; ++i) {
            QNetworkRequest request(url);
            request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
            request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
            const QJsonObject body{
                {"operations", QJsonArray{replace(u"g%1"_s.arg(i), "Note", {})}}};
            replies << network.post(request, QJsonDocument(body).toJson());
        }
        for (QNetworkReply* reply : replies) {
            if (!reply->isFinished())
                QVERIFY(QSignalSpy(reply, &QNetworkReply::finished).wait(20000));
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
            reply->deleteLater();
        }
        // Six connections at once (the client's limit per host) while each commit waits for
        // the disk: later saves queue behind the first and go in together.
        QVERIFY(m_server->server().calls().largestGroup() > 1);
    }
};

SONAVERT_SERVER_TEST_MAIN(CallDispatchTest)
#include "call_dispatch_test.moc"
