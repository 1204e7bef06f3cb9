// Small requests cannot build huge answers or fan-outs: a request naming one record, zone or
// subscription twice is refused, an answer ends at its byte bound, a merge cannot grow a record
// past the record limit, and the subscriptions of a database and of an account are capped.
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"

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

// Creates a handoff subscription through `client`; gives the answer's item for it.
QJsonObject createSubscription(CloudTestClient& client, const QString& id) {
    const QJsonObject filter{{u"targetDeviceID"_s, wire::stringField(u"A"_s)}};
    return client.modifySubscriptions(u"create"_s, wire::subscription(id, u"Handoff"_s, filter))
        .item("subscriptions", 0);
}

QString idOf(const QJsonObject& item) {
    return item.value(u"subscriptionID"_s).toString();
}

} // namespace

class AnswerBoundsTest : public ServerTestCase {
    Q_OBJECT

private:
    void start(sonavert::cloud::ServiceOptions options = {}) {
        // What an answer may hold is tested here, not how often large ones may be asked for.
        options.rateLimit.perSecond = 0;
        sonavert::cloud::ServerConfig config;
        config.service = options;
        ServerTestCase::start(config);
    }

private Q_SLOTS:
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
        CHECKED(saveBlob(u"big"_s, 900 * 1024));
        const qint64 before = residentBytes();
        const auto refused = m_client->call(operation, body);
        QCOMPARE(refused.refusal(), u"400 BAD_REQUEST"_s);
        QVERIFY(grewLessThan(before, (qint64{32} << 20)));
        CHECKED(otherAccountIsServed());
        // Different names are still answered in full.
        const auto distinct = m_client->lookup({u"big"_s, u"other"_s});
        QCOMPARE(distinct.status, 200);
        QCOMPARE(distinct.list("records").size(), 2);
    }

    void largeAnswersEndAtTheirByteBound() {
        sonavert::cloud::ServiceOptions options;
        options.maxAnswerBytes = 256 * 1024;
        CHECKED(start(options));
        QStringList names;
        for (int i = 0; i < 12; ++i) {
            names.append(u"big-%1"_s.arg(i));
            CHECKED(saveBlob(names.last(), 100 * 1024));
        }
        // A lookup answers records until the bound, and says which ones it left out.
        const auto looked = m_client->lookup(names);
        QCOMPARE(looked.status, 200);
        const QJsonArray items = looked.list("records");
        QCOMPARE(items.size(), names.size());
        qsizetype answered = 0;
        while (answered < items.size() && items.at(answered).toObject().contains(u"fields"_s))
            ++answered;
        QVERIFY(answered >= 1 && answered <= 3);
        for (qsizetype i = answered; i < items.size(); ++i) {
            QCOMPARE(items.at(i)[u"serverErrorCode"_s].toString(), u"LIMIT_EXCEEDED"_s);
            QCOMPARE(items.at(i)[u"recordName"_s].toString(), names.at(i));
        }
        // The change feed pages by bytes as it does by count: every record once, in order.
        QStringList fetched;
        std::optional<QString> token;
        for (int page = 0; page < names.size(); ++page) {
            const QJsonObject zone = m_client->changes(u"_defaultZone"_s, token).item("zones", 0);
            const QJsonArray records = zone[u"records"_s].toArray();
            QVERIFY(records.size() <= 3);
            for (const QJsonValue record : records)
                fetched.append(record[u"recordName"_s].toString());
            token = zone[u"syncToken"_s].toString();
            if (!zone[u"moreComing"_s].toBool())
                break;
            QVERIFY(!records.isEmpty());
        }
        QCOMPARE(fetched, names);
    }

    void aManyZoneFeedSharesOneByteBound() {
        sonavert::cloud::ServiceOptions options;
        options.maxAnswerBytes = 256 * 1024;
        CHECKED(start(options));
        const QStringList zones{u"z0"_s, u"z1"_s, u"z2"_s, u"z3"_s};
        QCOMPARE(m_client->modifyZones(u"create"_s, zones).status, 200);
        for (const QString& zone : zones)
            CHECKED(saveBlob(u"r"_s, 200 * 1024, zone));
        QJsonArray requests;
        for (const QString& zone : zones)
            requests.append(QJsonObject{{u"zoneID"_s, wire::zoneID(zone)}});
        const auto first = m_client->call(u"changes/zone"_s, {{u"zones"_s, requests}});
        QCOMPARE(first.status, 200);
        int records = 0;
        QJsonArray again;
        for (const QJsonValue zone : first.list("zones")) {
            records += static_cast<int>(zone[u"records"_s].toArray().size());
            if (zone[u"moreComing"_s].toBool())
                again.append(QJsonObject{{u"zoneID"_s, zone[u"zoneID"_s]},
                                         {u"syncToken"_s, zone[u"syncToken"_s]}});
        }
        // Two records pass the bound; the zones after it wait for the next call.
        QCOMPARE(records, 2);
        QCOMPARE(again.size(), 2);
        const auto second = m_client->call(u"changes/zone"_s, {{u"zones"_s, again}});
        for (const QJsonValue zone : second.list("zones"))
            QCOMPARE(zone[u"records"_s].toArray().size(), 1);
    }

    void lookingUpManyLargeRecordsStaysWithinMemory() {
        CHECKED(start());
        QStringList names;
        for (int i = 0; i < 20; ++i) {
            names.append(u"large-%1"_s.arg(i));
            CHECKED(saveBlob(names.last(), 900 * 1024));
        }
        const qint64 before = residentBytes();
        // 18 MB stored; without the bound each of these would build an answer of that size.
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(m_client->lookup(names).status, 200);
            QCOMPARE(m_client->changes(u"_defaultZone"_s).status, 200);
        }
        QVERIFY(grewLessThan(before, (qint64{48} << 20)));
        CHECKED(otherAccountIsServed());
    }

    void mergeCannotGrowARecordPastTheLimit() {
        CHECKED(start());
        CHECKED(saveBlob(u"r"_s, 600 * 1024));
        // Each update alone is well under 1 MiB; merged they are not.
        const auto grown = m_client->modifyRecords({wire::update(
            u"r"_s, u"Blob"_s, {{u"b"_s, wire::stringField(QString(600 * 1024, u'y'))}})});
        QCOMPARE(grown.refusal(), u"413 LIMIT_EXCEEDED"_s);
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
        for (const QString& id : {u"s0"_s, u"s1"_s, u"s2"_s})
            QCOMPARE(idOf(createSubscription(*m_client, id)), id);
        QCOMPARE(errorOf(createSubscription(*m_client, u"s3"_s)), u"QUOTA_EXCEEDED"_s);
        // Replacing one is not adding one.
        QCOMPARE(idOf(createSubscription(*m_client, u"s1"_s)), u"s1"_s);
        QCOMPARE(
            m_client->modifySubscriptions(u"delete"_s, {{u"subscriptionID"_s, u"s0"_s}}).status,
            200);
        QCOMPARE(idOf(createSubscription(*m_client, u"s3"_s)), u"s3"_s);
        QCOMPARE(idOf(m_client->lookupSubscriptions({u"s3"_s}).item("subscriptions", 0)), u"s3"_s);
    }

    void subscriptionsPerAccountAreCappedOverItsDatabases() {
        sonavert::cloud::ServiceOptions options;
        options.maxSubscriptionsPerDatabase = 3;
        options.maxSubscriptionsPerAccount = 4;
        CHECKED(start(options));
        CloudTestClient development(m_server->url(), m_token, u"iCloud.test.container"_s,
                                    u"development"_s);
        CloudTestClient otherContainer(m_server->url(), m_token, u"iCloud.test.other"_s);
        for (const QString& id : {u"p0"_s, u"p1"_s, u"p2"_s})
            QCOMPARE(errorOf(createSubscription(*m_client, id)), QString());
        QCOMPARE(errorOf(createSubscription(development, u"d0"_s)), QString());
        // Each database is under its own cap; the account is at its own.
        QCOMPARE(errorOf(createSubscription(development, u"d1"_s)), u"QUOTA_EXCEEDED"_s);
        QCOMPARE(errorOf(createSubscription(otherContainer, u"o0"_s)), u"QUOTA_EXCEEDED"_s);
        QCOMPARE(errorOf(createSubscription(development, u"d0"_s)), QString());
        // Another account has a quota of its own.
        CloudTestClient bob(m_server->url(), m_otherToken);
        QCOMPARE(errorOf(createSubscription(bob, u"b0"_s)), QString());
        QCOMPARE(
            m_client->modifySubscriptions(u"delete"_s, {{u"subscriptionID"_s, u"p0"_s}}).status,
            200);
        QCOMPARE(errorOf(createSubscription(otherContainer, u"o0"_s)), QString());
    }
};

QTEST_GUILESS_MAIN(AnswerBoundsTest)
#include "answer_bounds_test.moc"
