// Subscriptions and the push channel: which saves fire, who hears them, and resuming after a
// reconnect.
#include "tests/server/push_test_client.h"
#include "tests/server/server_test_case.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

class PushTest : public ServerTestCase {
    Q_OBJECT

private:
    void subscribeToHandoffs() {
        const auto created = m_client->modifySubscriptions(
            "create", wire::subscription("handoff-sub-A", "Handoff",
                                         {{"targetDeviceID", wire::stringField("A")}}));
        QCOMPARE(created.status, 200);
    }
    void saveHandoff(const QString& name, const QString& target) {
        QCOMPARE(m_client
                     ->modifyRecords({wire::replace(
                         name, "Handoff", {{"targetDeviceID", wire::stringField(target)}})})
                     .status,
                 200);
    }

private Q_SLOTS:
    void invalidSubscriptionsAreRefused_data() {
        QTest::addColumn<QJsonObject>("subscription");
        QJsonObject valid = wire::subscription("s", "Handoff", {{"n", wire::intField(1)}});
        auto without = [&](const char* key) {
            QJsonObject copy = valid;
            copy.remove(key);
            return copy;
        };
        auto with = [&](const char* key, const QJsonValue& value) {
            QJsonObject copy = valid;
            copy.insert(key, value);
            return copy;
        };
        QTest::newRow("no query") << without("query");
        QTest::newRow("no firesOn") << without("firesOn");
        QTest::newRow("unknown event") << with("firesOn", QJsonArray{"create", "touch"});
        QTest::newRow("not a query subscription") << with("subscriptionType", "zone");
        // A query whose one filter on "n" has this comparator and value.
        auto filtered = [&](const char* comparator, const QJsonValue& value) {
            const QJsonObject filter{
                {"fieldName", "n"}, {"comparator", comparator}, {"fieldValue", value}};
            return with("query",
                        QJsonObject{{"recordType", "Handoff"}, {"filterBy", QJsonArray{filter}}});
        };
        QTest::newRow("other comparator") << filtered("LESS_THAN", wire::intField(1));
        QTest::newRow("mistyped filter value")
            << filtered("EQUALS", QJsonObject{{"type", "INT64"}, {"value", "one"}});
    }

    void invalidSubscriptionsAreRefused() {
        QFETCH(QJsonObject, subscription);
        CHECKED(start());
        const auto refused = m_client->modifySubscriptions("create", subscription);
        QCOMPARE(refused.status, 400);
        QCOMPARE(errorOf(m_client->lookupSubscriptions({"s"}).item("subscriptions", 0)),
                 u"NOT_FOUND"_s);
    }

    void channelGreetingIsAuthenticated() {
        CHECKED(start());
        PushTestClient stranger(m_server->url());
        const QJsonObject refused = stranger.open("not-a-token");
        QCOMPARE(errorOf(refused), u"AUTHENTICATION_REQUIRED"_s);
        QVERIFY(stranger.waitForClose());

        PushTestClient device(m_server->url());
        const QJsonObject ready = device.open(m_token);
        QCOMPARE(ready, (QJsonObject{{"ready", true}, {"last", 0}}));
    }

    void matchingSavesFireAndOthersDoNot() {
        CHECKED(start());
        CHECKED(subscribeToHandoffs());
        PushTestClient device(m_server->url());
        QCOMPARE(device.open(m_token).value("ready").toBool(), true);

        CHECKED(saveHandoff("to-B", "B")); // filter differs
        m_client->modifyRecords({wire::replace(
            "peer", "Peer", {{"targetDeviceID", wire::stringField("A")}})}); // type differs
        m_client->modifyRecords({wire::deletion("never-existed")});          // nothing deleted
        CHECKED(saveHandoff("to-A", "A"));
        const QJsonObject created = device.next();
        QCOMPARE(created, (QJsonObject{{"id", 1},
                                       {"subscriptionID", "handoff-sub-A"},
                                       {"zoneID", wire::zoneID("_defaultZone")},
                                       {"recordName", "to-A"},
                                       {"reason", "create"}}));
        CHECKED(saveHandoff("to-A", "A"));
        QCOMPARE(device.next().value("reason").toString(), u"update"_s);
        m_client->modifyRecords({wire::deletion("to-A")});
        const QJsonObject deleted = device.next();
        QCOMPARE(deleted.value("reason").toString(), u"delete"_s);
        QCOMPARE(deleted.value("id").toInt(), 3);
    }

    void firesOnlyOnListedEvents() {
        CHECKED(start());
        m_client->modifySubscriptions("create",
                                      wire::subscription("deletes", "Handoff", {}, {"delete"}));
        PushTestClient device(m_server->url());
        device.open(m_token);
        CHECKED(saveHandoff("h", "A"));
        CHECKED(saveHandoff("h", "B"));
        m_client->modifyRecords({wire::deletion("h")});
        const QJsonObject first = device.next();
        QCOMPARE(first.value("reason").toString(), u"delete"_s);
        QCOMPARE(first.value("id").toInt(), 1);
    }

    // Every channel of an account hearing a save, whatever token it greeted with, is checked
    // with the channel bounds (anAccountHoldsItsBoundOfChannelsTheOldestGoing and
    // revokedTokenLosesItsChannelsAtOnce).
    void aContainerHasItsOwnSubscriptionsAndNotifications() {
        CHECKED(start());
        CHECKED(subscribeToHandoffs());
        PushTestClient otherContainer(m_server->url());
        otherContainer.open(m_token, {}, "iCloud.other.container");
        CHECKED(saveHandoff("h", "A"));
        CloudTestClient other(m_server->url(), m_token, "iCloud.other.container");
        other.modifySubscriptions("create", wire::subscription("o", "Handoff", {}));
        other.modifyRecords({wire::replace("o-record", "Handoff", {})});
        QCOMPARE(otherContainer.next().value("recordName").toString(), u"o-record"_s);
    }

    void reconnectingWithSinceReceivesWhatWasMissed() {
        CHECKED(start());
        CHECKED(subscribeToHandoffs());
        {
            PushTestClient device(m_server->url());
            device.open(m_token);
            CHECKED(saveHandoff("h1", "A"));
            QCOMPARE(device.next().value("id").toInt(), 1);
            device.close();
        }
        CHECKED(saveHandoff("h2", "A"));
        CHECKED(saveHandoff("h3", "A"));
        PushTestClient device(m_server->url());
        QCOMPARE(device.open(m_token, 1), (QJsonObject{{"ready", true}, {"last", 3}}));
        QCOMPARE(device.next().value("recordName").toString(), u"h2"_s);
        QCOMPARE(device.next().value("recordName").toString(), u"h3"_s);
        CHECKED(saveHandoff("h4", "A"));
        QCOMPARE(device.next().value("id").toInt(), 4);

        PushTestClient upToDate(m_server->url());
        QCOMPARE(upToDate.open(m_token, 4).value("last").toInt(), 4);
        CHECKED(saveHandoff("h5", "A"));
        QCOMPARE(upToDate.next().value("id").toInt(), 5);
    }

    void reconnectingTooLateIsToldToReset() {
        sonavert::cloud::ServerConfig config;
        config.service.notificationsKept = 2;
        CHECKED(start(config));
        CHECKED(subscribeToHandoffs());
        for (const char* name : {"h1", "h2", "h3", "h4"})
            CHECKED(saveHandoff(name, "A"));
        PushTestClient late(m_server->url());
        QCOMPARE(late.open(m_token, 1), (QJsonObject{{"ready", true}, {"last", 4}}));
        QCOMPARE(late.next(), (QJsonObject{{"reset", true}}));
        PushTestClient inTime(m_server->url());
        inTime.open(m_token, 2);
        QCOMPARE(inTime.next().value("id").toInt(), 3);
        QCOMPARE(inTime.next().value("id").toInt(), 4);
        PushTestClient fromTheFuture(m_server->url());
        fromTheFuture.open(m_token, 99);
        QCOMPARE(fromTheFuture.next(), (QJsonObject{{"reset", true}}));
    }
};

QTEST_GUILESS_MAIN(PushTest)
#include "push_test.moc"
