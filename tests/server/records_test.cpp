// Saving, updating, deleting and looking up records; bad requests and limits.
#include "tests/server/server_test_case.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace sonavert::cloud::testing::wire;
using namespace Qt::StringLiterals;

class RecordsTest : public ServerTestCase {
    Q_OBJECT

private:
    QJsonObject fetchOne(const QString& name) {
        return m_client->lookup({name}).item("records", 0);
    }
    bool isMissing(const QString& name) { return errorOf(fetchOne(name)) == u"NOT_FOUND"_s; }
    static QJsonObject fieldsOf(const QJsonObject& record) {
        return record.value(QLatin1String("fields")).toObject();
    }

private Q_SLOTS:
    void init() { start(); }

    void answersFollowRequestOrderWithDeletesMarked() {
        m_client->modifyRecords({replace("gone", "Peer", {})});
        const auto answer = m_client->modifyRecords(
            {replace("x", "Peer", {}), deletion("gone"), deletion("never-existed")});
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.list("records").size(), 3);
        QCOMPARE(answer.item("records", 0).value("recordName").toString(), u"x"_s);
        QCOMPARE(answer.item("records", 1),
                 (QJsonObject{{"recordName", "gone"}, {"deleted", true}}));
        QCOMPARE(answer.item("records", 2),
                 (QJsonObject{{"recordName", "never-existed"}, {"deleted", true}}));
        QVERIFY(isMissing("gone"));
    }

    void deletedRecordCanBeSavedAgainFromScratch() {
        m_client->modifyRecords({replace("r", "Peer", {{"a", intField(1)}})});
        m_client->modifyRecords({deletion("r")});
        m_client->modifyRecords({update("r", "Peer", {{"b", intField(2)}})});
        QCOMPARE(fieldsOf(fetchOne("r")), (QJsonObject{{"b", intField(2)}}));
    }

    // Answers of stored records are written out by hand: names that need escaping, and fields
    // that hold them, come back as they went in, from a lookup (whole and by desired keys)
    // and from the change feed.
    void namesAndValuesNeedingEscapesComeBackWhole() {
        const QString name = u"quote\" back\\slash /é 🎵"_s;
        const QString type = u"Peer\"Type\\"_s;
        const QJsonObject fields{{"text", stringField(u"line\nbreak\ttab \u0001 \"q\" é 🎵"_s)},
                                 {"n", intField(-42)}};
        QCOMPARE(m_client->modifyRecords({replace(name, type, fields)}).status, 200);
        const QJsonObject found = fetchOne(name);
        QCOMPARE(found.value("recordName").toString(), name);
        QCOMPARE(found.value("recordType").toString(), type);
        QCOMPARE(fieldsOf(found), fields);
        QVERIFY(found.value("modified").toObject().value("timestamp").toDouble() > 0);
        const auto chosen = m_client->lookup({name}, QStringList{u"text"_s});
        QCOMPARE(fieldsOf(chosen.item("records", 0)),
                 (QJsonObject{{"text", fields.value("text")}}));
        const auto changes = m_client->changes(u"_defaultZone"_s);
        QCOMPARE(changes.status, 200);
        const QJsonObject zone = changes.item("zones", 0);
        const QJsonObject listed = zone.value("records").toArray().at(0).toObject();
        QCOMPARE(listed.value("recordName").toString(), name);
        QCOMPARE(fieldsOf(listed), fields);
        QVERIFY(!zone.value("syncToken").toString().isEmpty());
        QCOMPARE(zone.value("moreComing"), QJsonValue(false));
    }

    void lookupGivesPerItemNotFoundInOrder() {
        m_client->modifyRecords({replace("here", "Peer", {{"a", intField(1)}})});
        const auto answer = m_client->lookup({"missing", "here"});
        QCOMPARE(answer.status, 200);
        const QJsonObject missing = answer.item("records", 0);
        QCOMPARE(errorOf(missing), u"NOT_FOUND"_s);
        QCOMPARE(missing.value("ckErrorCode").toInt(), 11);
        QCOMPARE(missing.value("recordName").toString(), u"missing"_s);
        QVERIFY(!missing.value("uuid").toString().isEmpty());
        QCOMPARE(answer.item("records", 1).value("recordName").toString(), u"here"_s);
    }

    void malformedRequestsAreRefusedAndChangeNothing_data() {
        QTest::addColumn<QJsonObject>("badOperation");
        QTest::newRow("wrong value type")
            << replace("r", "Peer", {{"a", QJsonObject{{"type", "INT64"}, {"value", "seven"}}}});
        QTest::newRow("fractional integer")
            << replace("r", "Peer", {{"a", QJsonObject{{"type", "INT64"}, {"value", 1.5}}}});
        QTest::newRow("unknown field type")
            << replace("r", "Peer", {{"a", QJsonObject{{"type", "BLOB"}, {"value", "x"}}}});
        QTest::newRow("missing record type") << QJsonObject{
            {"operationType", "forceReplace"}, {"record", QJsonObject{{"recordName", "r"}}}};
        QTest::newRow("empty record name") << replace("", "Peer", {});
        QTest::newRow("unknown operation type") << save("forceSave", "r", "Peer", {});
        QTest::newRow("record not an object")
            << QJsonObject{{"operationType", "forceReplace"}, {"record", "r"}};
        QTest::newRow("name too long") << replace(QString(256, QLatin1Char('n')), "Peer", {});
        QTest::newRow("control character in name") << replace("a\nb", "Peer", {});
    }

    void malformedRequestsAreRefusedAndChangeNothing() {
        QFETCH(QJsonObject, badOperation);
        m_client->modifyRecords({replace("keep", "Peer", {{"a", intField(1)}})});
        // A valid write first: it must not land when a later operation is bad.
        const auto answer = m_client->modifyRecords({replace("keep", "Peer", {{"a", intField(2)}}),
                                                     replace("new", "Peer", {}), badOperation});
        QCOMPARE(answer.refusal(), u"400 BAD_REQUEST"_s);
        QCOMPARE(answer.body.value("ckErrorCode").toInt(), 12);
        QCOMPARE(fieldsOf(fetchOne("keep")), (QJsonObject{{"a", intField(1)}}));
        QVERIFY(isMissing("new"));
    }

    void bodiesThatAreNotRequestsAreRefused() {
        QCOMPARE(m_client->post("records/modify", "not json").status, 400);
        QCOMPARE(m_client->post("records/modify", "[1,2]").status, 400);
        QCOMPARE(m_client->call("records/modify", {{"operations", "all"}}).status, 400);
        QCOMPARE(m_client->call("records/lookup", {}).status, 400);
        QCOMPARE(m_client->call("records/lookup", {{"records", QJsonArray{}}, {"desiredKeys", 3}})
                     .status,
                 400);
    }

    void unknownKeysAreIgnored() {
        QJsonObject operation = replace("r", "Peer", {{"a", intField(1)}});
        operation.insert("atomic", true);
        const auto answer = m_client->call(
            "records/modify", {{"operations", QJsonArray{operation}}, {"futureOption", 1}});
        QCOMPARE(answer.status, 200);
    }

    void moreThanTwoHundredOperationsExceedTheLimit() {
        QJsonArray operations;
        for (int i = 0; i < 201; ++i)
            operations.append(replace(u"r%1"_s.arg(i), "Peer", {}));
        const auto answer = m_client->modifyRecords(operations);
        QCOMPARE(answer.refusal(), u"413 LIMIT_EXCEEDED"_s);
        QCOMPARE(answer.body.value("ckErrorCode").toInt(), 27);
        QVERIFY(isMissing("r0"));
        operations.removeLast();
        QCOMPARE(m_client->modifyRecords(operations).status, 200);
    }

    void oversizedRecordAndBodyExceedTheLimit() {
        const QString big(1024 * 1024 + 10, QLatin1Char('x'));
        const auto record =
            m_client->modifyRecords({replace("big", "Peer", {{"a", stringField(big)}})});
        QCOMPARE(record.refusal(), u"413 LIMIT_EXCEEDED"_s);
        const QString half(700 * 1024, QLatin1Char('y'));
        QJsonArray operations;
        for (int i = 0; i < 4; ++i)
            operations.append(replace(u"h%1"_s.arg(i), "Peer", {{"a", stringField(half)}}));
        const auto body = m_client->modifyRecords(operations);
        QCOMPARE(body.refusal(), u"413 LIMIT_EXCEEDED"_s);
        QVERIFY(isMissing("h0"));
    }

    void unknownOperationAndWrongEnvironmentAreRefused() {
        QCOMPARE(m_client->call("records/query", {}).status, 404);
        CloudTestClient staging(m_server->url(), m_server->addAccount("carol"),
                                "iCloud.test.container", "staging");
        QCOMPARE(staging.call("account/status", {}).status, 400);
    }

    void environmentsAreSeparateDatabases() {
        const QString token = m_server->addAccount("dave");
        CloudTestClient production(m_server->url(), token, "iCloud.test.container", "production");
        CloudTestClient development(m_server->url(), token, "iCloud.test.container", "development");
        production.modifyRecords({replace("r", "Peer", {})});
        QCOMPARE(errorOf(development.lookup({"r"}).item("records", 0)), u"NOT_FOUND"_s);
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "records_test.moc"
