// Writes committed together: each call of a group is answered on its own, a refused call
// writes nothing, the group reaches the database in one commit, and the notifications fired
// come out with the committed group.
#include "server/service/cloud_service.h"
#include "server/service/group_commit.h"
#include "server/storage/storage_factory.h"
#include "tests/server/cloud_test_client.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace sonavert::cloud;
using namespace Qt::StringLiterals;

namespace {

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray saveBody(const QString& name, const QString& type = u"Note"_s) {
    return json({{"operations", QJsonArray{testing::wire::replace(name, type, {})}}});
}

} // namespace

class GroupCommitTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    sonavert::SystemClock m_clock;
    std::unique_ptr<CloudStorage> m_storage;
    std::unique_ptr<CloudService> m_service;
    QString m_token;

    DatabaseCall call(const QString& operation, const QByteArray& body,
                      const QString& token = {}) const {
        return {token.isEmpty() ? m_token : token, u"iCloud.test"_s, u"production"_s, operation,
                body};
    }
    /// Whether the record is there for a connection of its own: only what was committed is.
    bool isStored(const QString& name) {
        auto other = openCloudStorage({}, m_dir.path());
        if (!other)
            return false;
        auto service = CloudService::create(*other.value(), m_clock);
        if (!service)
            return false;
        const QJsonObject body{{"records", QJsonArray{QJsonObject{{"recordName", name}}}}};
        auto answer = service.value()->serve(call(u"records/lookup"_s, json(body)));
        return answer.ok() && !answer.value()["records"][0].toObject().contains("serverErrorCode");
    }
    void open(ServiceOptions options) {
        auto storage = openCloudStorage({}, m_dir.path());
        QVERIFY(storage.ok());
        m_storage = std::move(storage.value());
        auto service = CloudService::create(*m_storage, m_clock, options);
        QVERIFY(service.ok());
        m_service = std::move(service.value());
        auto issued =
            m_service->accounts().addAccount(u"alice-%1"_s.arg(QTest::currentTestFunction()));
        QVERIFY(issued.ok());
        m_token = issued.value().token;
    }

private Q_SLOTS:
    void cleanup() {
        m_service.reset();
        m_storage.reset();
    }

    void eachCallIsAnsweredOnItsOwnAndOnlyTheAcceptedOnesAreStored() {
        open({});
        GroupCommit group(*m_service, *m_storage);
        const QJsonObject zoneID = testing::wire::zoneID(u"Z"_s);
        const QByteArray zone = json(
            {{"operations", QJsonArray{QJsonObject{{"operationType", "create"},
                                                   {"zone", QJsonObject{{"zoneID", zoneID}}}}}}});
        const QByteArray inZone =
            json({{"zoneID", zoneID},
                  {"operations", QJsonArray{testing::wire::replace(u"in-zone"_s, u"Note"_s, {})}}});
        const auto outcome =
            group.run({call(u"zones/modify"_s, zone), call(u"records/modify"_s, inZone),
                       call(u"records/modify"_s, "not json"),
                       call(u"records/modify"_s, saveBody(u"forged"_s), u"nope"_s),
                       call(u"records/modify"_s, saveBody(u"plain"_s))});
        QCOMPARE(outcome.answers.size(), 5);
        QVERIFY(outcome.answers[0].ok());
        // A zone created earlier in the group is there for the calls after it.
        QVERIFY(outcome.answers[1].ok());
        QVERIFY(!outcome.answers[2].ok());
        QVERIFY(!outcome.answers[3].ok());
        QVERIFY(outcome.answers[4].ok());
        QVERIFY(isStored(u"plain"_s));
        QVERIFY(!isStored(u"forged"_s));
        QCOMPARE(m_storage->beginTransaction().ok(), true); // nothing left open by the group
        m_storage->rollbackTransaction();
    }

    void aCallOverTheTokensAllowanceIsRefusedWithoutWriting() {
        RateLimit oneCall;
        oneCall.perSecond = 0.001;
        oneCall.burst = 1;
        ServiceOptions options;
        options.rateLimit = oneCall;
        open(options);
        GroupCommit group(*m_service, *m_storage);
        const auto outcome = group.run({call(u"records/modify"_s, saveBody(u"first"_s)),
                                        call(u"records/modify"_s, saveBody(u"second"_s))});
        QVERIFY(outcome.answers[0].ok());
        QVERIFY(!outcome.answers[1].ok());
        QVERIFY(outcome.answers[1].error().retryAfterSeconds.has_value());
        QVERIFY(isStored(u"first"_s));
        QVERIFY(!isStored(u"second"_s));
    }

    void theNotificationsFiredComeOutWithTheCommittedGroupInIdOrder() {
        open({});
        GroupCommit group(*m_service, *m_storage);
        const QJsonObject subscription =
            testing::wire::subscription(u"cmd"_s, u"Cmd"_s, {}, {u"create"_s, u"update"_s});
        const QByteArray subscribe =
            json({{"operations", QJsonArray{QJsonObject{{"operationType", "create"},
                                                        {"subscription", subscription}}}}});
        const auto outcome = group.run({call(u"subscriptions/modify"_s, subscribe),
                                        call(u"records/modify"_s, saveBody(u"a"_s, u"Cmd"_s)),
                                        call(u"records/modify"_s, saveBody(u"n"_s, u"Note"_s)),
                                        call(u"records/modify"_s, saveBody(u"b"_s, u"Cmd"_s))});
        for (const auto& answer : outcome.answers)
            QVERIFY(answer.ok());
        QCOMPARE(outcome.notifications.size(), 2);
        QVERIFY(outcome.notifications[0].id < outcome.notifications[1].id);
        QCOMPARE(outcome.notifications[0].container, u"iCloud.test"_s);
        // Stored in the same commit: a reconnecting channel finds them.
        auto backlog = m_service->backlog(
            {outcome.notifications[0].accountId, u"iCloud.test"_s, u"production"_s}, 0);
        QVERIFY(backlog.ok());
        QCOMPARE(backlog.value().missed.size(), 2);
    }
};

QTEST_GUILESS_MAIN(GroupCommitTest)
#include "group_commit_test.moc"
