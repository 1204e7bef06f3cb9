// Small requests cannot build huge answers or fan-outs: a request naming one record, zone or
// subscription twice is refused, a merge cannot grow a record past the record limit, and the
// subscriptions of a database are capped.
#include "tests/server/cloud_test_client.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_main.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/checked.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

namespace {

QJsonArray repeated(const QJsonObject& item, int times) {
    QJsonArray items;
    for (int i = 0; i < times; ++i)
        items.append(item);
    return items;
}

QJsonObject handoffFilter() {
    return {{u"targetDeviceID"_s, wire::stringField(u"A"_s)}};
}

} // namespace

class AnswerBoundsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestCloudServer> m_server;
    std::unique_ptr<CloudTestClient> m_client;
    QString m_otherToken;

    void start(sonavert::cloud::ServiceOptions options = {}) {
        m_server = std::make_unique<TestCloudServer>(options);
        QVERIFY(m_server->isRunning());
        m_client =
            std::make_unique<CloudTestClient>(m_server->url(), m_server->addAccount(u"alice"_s));
        m_otherToken = m_server->addAccount(u"bob"_s);
    }
    void saveBig(const QString& name, qsizetype bytes) {
        const auto saved = m_client->modifyRecords(
            {wire::replace(name, u"Blob"_s, {{u"a"_s, wire::stringField(QString(bytes, u'x'))}})});
        QCOMPARE(saved.status, 200);
    }

private Q_SLOTS:
    void cleanup() {
        m_client.reset();
        m_server.reset();
    }

    void namingAnItemTwiceIsRefused_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QJsonObject>("body");
        QTest::newRow("records/lookup, one big record 200 times")
            << u"records/lookup"_s
            << QJsonObject{{u"records"_s, repeated({{u"recordName"_s, u"big"_s}}, 200)}};
        QTest::newRow("changes/zone, one zone twice")
            << u"changes/zone"_s
            << QJsonObject{
                   {u"zones"_s, repeated({{u"zoneID"_s, wire::zoneID(u"_defaultZone"_s)}}, 2)}};
        QTest::newRow("records/modify, one record updated twice")
            << u"records/modify"_s
            << QJsonObject{{u"operations"_s, QJsonArray{wire::update(u"big"_s, u"Blob"_s, {}),
                                                        wire::update(u"big"_s, u"Blob"_s, {})}}};
        QTest::newRow("subscriptions/lookup, one id twice")
            << u"subscriptions/lookup"_s
            << QJsonObject{{u"subscriptions"_s, repeated({{u"subscriptionID"_s, u"s"_s}}, 2)}};
    }

    void namingAnItemTwiceIsRefused() {
        QFETCH(QString, operation);
        QFETCH(QJsonObject, body);
        CHECKED(start());
        CHECKED(saveBig(u"big"_s, 900 * 1024));
        const qint64 before = residentBytes();
        const auto refused = m_client->call(operation, body);
        QCOMPARE(refused.status, 400);
        QCOMPARE(refused.errorCode(), u"BAD_REQUEST"_s);
        QVERIFY(grewLessThan(before, (qint64{32} << 20)));
        QCOMPARE(CloudTestClient(m_server->url(), m_otherToken).call(u"users/current"_s, {}).status,
                 200);
        // Different names are still answered in full.
        const auto distinct = m_client->lookup({u"big"_s, u"other"_s});
        QCOMPARE(distinct.status, 200);
        QCOMPARE(distinct.list("records").size(), 2);
    }

    void mergeCannotGrowARecordPastTheLimit() {
        CHECKED(start());
        CHECKED(saveBig(u"r"_s, 600 * 1024));
        // Each update alone is well under 1 MiB; merged they are not.
        const auto grown = m_client->modifyRecords({wire::update(
            u"r"_s, u"Blob"_s, {{u"b"_s, wire::stringField(QString(600 * 1024, u'y'))}})});
        QCOMPARE(grown.status, 413);
        QCOMPARE(grown.errorCode(), u"LIMIT_EXCEEDED"_s);
        const auto stored = m_client->lookup({u"r"_s});
        const QJsonObject fields = stored.item("records", 0).value(u"fields"_s).toObject();
        QVERIFY(fields.contains(u"a"_s));
        QVERIFY(!fields.contains(u"b"_s));
        // An update that keeps it under the limit goes through.
        const auto small = m_client->modifyRecords(
            {wire::update(u"r"_s, u"Blob"_s, {{u"b"_s, wire::stringField(u"y"_s)}})});
        QCOMPARE(small.status, 200);
    }

    void subscriptionsPerDatabaseAreCapped() {
        sonavert::cloud::ServiceOptions options;
        options.maxSubscriptionsPerDatabase = 3;
        CHECKED(start(options));
        auto create = [&](CloudTestClient& client, const QString& id) {
            return client
                .modifySubscriptions(u"create"_s,
                                     wire::subscription(id, u"Handoff"_s, handoffFilter()))
                .item("subscriptions", 0);
        };
        for (const QString& id : {u"s0"_s, u"s1"_s, u"s2"_s})
            QCOMPARE(create(*m_client, id).value(u"subscriptionID"_s).toString(), id);
        QCOMPARE(create(*m_client, u"s3"_s).value(u"serverErrorCode"_s).toString(),
                 u"QUOTA_EXCEEDED"_s);
        // Replacing one is not adding one.
        QCOMPARE(create(*m_client, u"s1"_s).value(u"subscriptionID"_s).toString(), u"s1"_s);
        const auto deleted =
            m_client->modifySubscriptions(u"delete"_s, {{u"subscriptionID"_s, u"s0"_s}});
        QCOMPARE(deleted.status, 200);
        QCOMPARE(create(*m_client, u"s3"_s).value(u"subscriptionID"_s).toString(), u"s3"_s);
        QCOMPARE(m_client->lookupSubscriptions({u"s3"_s})
                     .item("subscriptions", 0)
                     .value(u"subscriptionID"_s)
                     .toString(),
                 u"s3"_s);
    }
};

SONAVERT_SERVER_TEST_MAIN(AnswerBoundsTest)
#include "answer_bounds_test.moc"
