// Zones (create, delete, deleted by the user) and the change feed with its tokens.
#include "tests/server/server_test_case.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

namespace {

QStringList namesOf(const QJsonObject& zoneAnswer) {
    QStringList names;
    for (const QJsonValue& record : zoneAnswer.value("records").toArray()) {
        const QJsonObject object = record.toObject();
        names.append(object.value("recordName").toString() +
                     (object.value("deleted").toBool() ? u"(deleted)"_s : QString()));
    }
    return names;
}

} // namespace

class ZonesAndChangesTest : public ServerTestCase {
    Q_OBJECT

private:
    QJsonObject zoneChanges(const QString& zone, const std::optional<QString>& token = {},
                            std::optional<int> limit = {}) {
        const auto reply = m_client->changes(zone, token, limit);
        return reply.item("zones", 0);
    }
    void saveNames(const QStringList& names, const QString& zone) {
        QJsonArray operations;
        for (const QString& name : names)
            operations.append(wire::replace(name, "Peer", {{"n", wire::stringField(name)}}));
        QCOMPARE(m_client->modifyRecords(operations, zone).status, 200);
    }

private Q_SLOTS:
    void init() { start(); }

    void zoneMustExistBeforeUse() {
        const auto missing = m_client->modifyRecords({wire::replace("r", "Peer", {})}, "presence");
        QCOMPARE(missing.refusal(), u"404 ZONE_NOT_FOUND"_s);
        QCOMPARE(missing.body.value("ckErrorCode").toInt(), 26);
        QCOMPARE(m_client->lookup({"r"}, {}, "presence").status, 404);
        QCOMPARE(errorOf(zoneChanges("presence")), u"ZONE_NOT_FOUND"_s);
        QCOMPARE(m_client->modifyZones("create", {"presence"}).status, 200);
        QCOMPARE(m_client->modifyRecords({wire::replace("r", "Peer", {})}, "presence").status, 200);
    }

    void creatingAnExistingZoneSucceedsAndKeepsItsRecords() {
        m_client->modifyZones("create", {"presence"});
        CHECKED(saveNames({"a"}, "presence"));
        const auto again = m_client->modifyZones("create", {"presence", "other"});
        QCOMPARE(again.status, 200);
        QCOMPARE(again.item("zones", 0), (QJsonObject{{"zoneID", wire::zoneID("presence")}}));
        QCOMPARE(again.item("zones", 1), (QJsonObject{{"zoneID", wire::zoneID("other")}}));
        QCOMPARE(namesOf(zoneChanges("presence")), QStringList{"a"});
    }

    void deletingAZoneRemovesItsRecords() {
        m_client->modifyZones("create", {"presence"});
        CHECKED(saveNames({"a", "b"}, "presence"));
        QCOMPARE(m_client->modifyZones("delete", {"presence"}).status, 200);
        QCOMPARE(errorOf(zoneChanges("presence")), u"ZONE_NOT_FOUND"_s);
        m_client->modifyZones("create", {"presence"});
        QCOMPARE(namesOf(zoneChanges("presence")), QStringList{});
        const auto missing = m_client->modifyZones("delete", {"nowhere"});
        QCOMPARE(missing.status, 200);
        QCOMPARE(errorOf(missing.item("zones", 0)), u"ZONE_NOT_FOUND"_s);
        QCOMPARE(missing.item("zones", 0).value("zoneID").toObject(), wire::zoneID("nowhere"));
    }

    void defaultZoneAlwaysExistsAndCannotBeDeleted() {
        // Looked into before anything was saved, it is there and empty.
        const auto before = m_client->lookup({"d"});
        QCOMPARE(before.status, 200);
        QCOMPARE(errorOf(before.item("records", 0)), u"NOT_FOUND"_s);
        CHECKED(saveNames({"d"}, "_defaultZone"));
        QCOMPARE(m_client->lookup({"d"}).item("records", 0).value("recordName").toString(), u"d"_s);
        QCOMPARE(m_client->modifyZones("delete", {"_defaultZone"}).status, 400);
        QCOMPARE(namesOf(zoneChanges("_defaultZone")), QStringList{"d"});
    }

    void zoneDeletedByTheUserReportsSoUntilCreatedAgain() {
        m_client->modifyZones("create", {"presence"});
        CHECKED(saveNames({"a"}, "presence"));
        QVERIFY(m_server->deleteZoneByUser("alice", "iCloud.test.container", "presence"));
        const auto write = m_client->modifyRecords({wire::replace("r", "Peer", {})}, "presence");
        QCOMPARE(write.errorCode(), u"USER_DELETED_ZONE"_s);
        QCOMPARE(write.body.value("ckErrorCode").toInt(), 28);
        QCOMPARE(errorOf(zoneChanges("presence")), u"USER_DELETED_ZONE"_s);
        QCOMPARE(m_client->lookup({"a"}, {}, "presence").errorCode(), u"USER_DELETED_ZONE"_s);
        QCOMPARE(m_client->modifyZones("create", {"presence"}).status, 200);
        const auto recreated = m_client->lookup({"a"}, {}, "presence");
        QCOMPARE(errorOf(recreated.item("records", 0)), u"NOT_FOUND"_s);
        QCOMPARE(namesOf(zoneChanges("presence")), QStringList{});
        CHECKED(saveNames({"b"}, "presence"));
        QCOMPARE(namesOf(zoneChanges("presence")), QStringList{"b"});
    }

    void changesSinceATokenComeOnceInCommitOrder() {
        m_client->modifyZones("create", {"z"});
        CHECKED(saveNames({"a", "b", "c"}, "z"));
        const QJsonObject first = zoneChanges("z");
        QCOMPARE(namesOf(first), (QStringList{"a", "b", "c"}));
        QCOMPARE(first.value("moreComing").toBool(), false);
        const QString token = first.value("syncToken").toString();
        QVERIFY(!token.isEmpty());

        QCOMPARE(namesOf(zoneChanges("z", token)), QStringList{});
        CHECKED(saveNames({"b"}, "z"));
        m_client->modifyRecords({wire::deletion("a")}, "z");
        CHECKED(saveNames({"d", "b"}, "z"));
        const QJsonObject second = zoneChanges("z", token);
        QCOMPARE(namesOf(second), (QStringList{"a(deleted)", "d", "b"}));
        QCOMPARE(namesOf(zoneChanges("z", second.value("syncToken").toString())), QStringList{});
    }

    void resultsLimitPagesWithMoreComing() {
        m_client->modifyZones("create", {"z"});
        QStringList names;
        for (int i = 0; i < 7; ++i)
            names.append(u"r%1"_s.arg(i));
        CHECKED(saveNames(names, "z"));
        QStringList seen;
        std::optional<QString> token;
        int pages = 0;
        for (bool more = true; more && pages < 10; ++pages) {
            const QJsonObject page = zoneChanges("z", token, 3);
            QVERIFY(namesOf(page).size() <= 3);
            seen += namesOf(page);
            more = page.value("moreComing").toBool();
            token = page.value("syncToken").toString();
            // A change made between pages is picked up by a later page.
            if (pages == 0)
                CHECKED(saveNames({"late"}, "z"));
        }
        QCOMPARE(pages, 3);
        QCOMPARE(seen, names + QStringList{"late"});
        QCOMPARE(namesOf(zoneChanges("z", token)), QStringList{});
    }

    void tooManyResultsAreCappedAtTwoHundred() {
        m_client->modifyZones("create", {"z"});
        QJsonArray operations;
        for (int i = 0; i < 200; ++i)
            operations.append(wire::replace(u"r%1"_s.arg(i), "Peer", {}));
        m_client->modifyRecords(operations, "z");
        m_client->modifyRecords({wire::replace("last", "Peer", {})}, "z");
        const QJsonObject page = zoneChanges("z", {}, 500);
        QCOMPARE(page.value("records").toArray().size(), 200);
        QVERIFY(page.value("moreComing").toBool());
        QCOMPARE(m_client->changes("z", {}, 0).status, 400);
    }

    void tokensOfAnotherZoneServerOrShapeExpire() {
        m_client->modifyZones("create", {"z", "y"});
        CHECKED(saveNames({"a"}, "z"));
        const QString token = zoneChanges("z").value("syncToken").toString();
        const QJsonObject otherZone = zoneChanges("y", token);
        QCOMPARE(errorOf(otherZone), u"CHANGE_TOKEN_EXPIRED"_s);
        QCOMPARE(otherZone.value("ckErrorCode").toInt(), 21);
        QCOMPARE(otherZone.value("zoneID").toObject(), wire::zoneID("y"));
        QString altered = token;
        altered[0] = altered[0] == QLatin1Char('M') ? QLatin1Char('N') : QLatin1Char('M');
        QCOMPARE(errorOf(zoneChanges("z", altered)), u"CHANGE_TOKEN_EXPIRED"_s);

        TestCloudServer other;
        CloudTestClient stranger(other.url(), other.addAccount("alice"));
        stranger.modifyZones("create", {"z"});
        stranger.modifyRecords({wire::replace("b", "Peer", {}), wire::replace("c", "Peer", {})},
                               "z");
        const auto foreign = stranger.changes("z", token);
        QCOMPARE(errorOf(foreign.item("zones", 0)), u"CHANGE_TOKEN_EXPIRED"_s);
    }

    void compactionKeepsRecentTombstonesAndExpiresTokensFromBeforeIt() {
        m_client->modifyZones("create", {"z"});
        CHECKED(saveNames({"a", "b"}, "z"));
        const QString before = zoneChanges("z").value("syncToken").toString();
        m_client->modifyRecords({wire::deletion("a")}, "z");
        auto& service = m_server->server().service();
        QCOMPARE(service.compactTombstones(std::chrono::hours(24)).value(), 0);
        const QJsonObject sinceBefore = zoneChanges("z", before);
        QCOMPARE(namesOf(sinceBefore), QStringList{"a(deleted)"});
        auto compacted = service.compactTombstones(std::chrono::seconds(-1));
        QVERIFY(compacted.ok());
        QCOMPARE(compacted.value(), 1);
        QCOMPARE(errorOf(zoneChanges("z", before)), u"CHANGE_TOKEN_EXPIRED"_s);
        QCOMPARE(namesOf(zoneChanges("z", sinceBefore.value("syncToken").toString())),
                 QStringList{});
        QCOMPARE(namesOf(zoneChanges("z")), QStringList{"b"});
    }

    void badChangeRequestsAreRefused() {
        QCOMPARE(m_client->call("changes/zone", {}).status, 400);
        QCOMPARE(m_client->call("changes/zone", {{"zones", QJsonArray{QJsonObject{}}}}).status,
                 400);
        const QJsonObject numericToken{{"zoneID", wire::zoneID("_defaultZone")}, {"syncToken", 5}};
        QCOMPARE(m_client->call("changes/zone", {{"zones", QJsonArray{numericToken}}}).status, 400);
    }
};

QTEST_GUILESS_MAIN(ZonesAndChangesTest)
#include "zones_and_changes_test.moc"
