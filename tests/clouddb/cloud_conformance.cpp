#include "tests/clouddb/cloud_conformance.h"

#include "tests/support/await_task.h"

#include <QSignalSpy>
#include <QTest>

namespace sonavert::test {

using namespace clouddb;
using namespace Qt::StringLiterals;

namespace {

int g_accountCounter = 0;

CloudRecord record(const QString& name, const QString& type, QMap<QString, FieldValue> fields) {
    return CloudRecord{name, type, std::move(fields), {}, {}};
}

CloudRecord presence(const QString& name, const QString& device, qint64 online = 1) {
    return record(name, u"DevicePresence"_s,
                  {{u"deviceID"_s, FieldValue(device)},
                   {u"isOnline"_s, FieldValue(online)},
                   {u"lastSeen"_s, FieldValue(Timestamp::fromUnixMilliseconds(1767225600123))}});
}

ModifyResult save(CloudDatabase& db, const QString& zone, QList<CloudRecord> records,
                  SavePolicy policy = SavePolicy::AllKeys, QStringList removed = {}) {
    QList<RecordSave> saves;
    for (auto& r : records)
        saves << RecordSave{r, removed};
    return awaitTask(db.modifyRecords(zone, saves, {}, policy, {}));
}

ModifyResult remove(CloudDatabase& db, const QString& zone, QStringList names) {
    return awaitTask(db.modifyRecords(zone, {}, names, SavePolicy::AllKeys, {}));
}

Result<CloudRecord> lookup(CloudDatabase& db, const QString& zone, const QString& name) {
    auto results = awaitTask(db.fetchRecords(zone, {name}, std::nullopt, {}));
    if (!results)
        return results.error();
    return results.value().first();
}

Subscription handoffSubscription(const QString& device) {
    Subscription s;
    s.subscriptionID = u"handoff-sub-"_s + device;
    s.recordType = u"HandoffCommand"_s;
    s.filters.insert(u"targetDeviceID"_s, FieldValue(device));
    s.firesOnCreate = true;
    s.firesOnUpdate = true;
    s.firesOnDelete = false;
    return s;
}

CloudRecord command(const QString& name, const QString& target) {
    return record(name, u"HandoffCommand"_s,
                  {{u"targetDeviceID"_s, FieldValue(target)}, {u"payload"_s, FieldValue(u"{}"_s)}});
}

} // namespace

CloudConformance::CloudConformance(std::function<std::unique_ptr<CloudBackend>()> makeBackend)
    : m_makeBackend(std::move(makeBackend)) {}

void CloudConformance::initTestCase() {
    m_backend = m_makeBackend();
    QVERIFY(m_backend);
}

void CloudConformance::init() {
    m_account = u"account-%1"_s.arg(++g_accountCounter);
    m_db = m_backend->database(m_account);
    QVERIFY(m_db);
    QVERIFY(awaitTask(m_db->saveZone(zone(), {})).ok());
}

void CloudConformance::cleanupTestCase() {
    m_db.reset();
    m_backend.reset();
}

void CloudConformance::accountIsAvailableWithAStableUserRecordName() {
    const auto status = awaitTask(m_db->accountStatus({}));
    QVERIFY(status.ok());
    QCOMPARE(status.value(), AccountStatus::Available);
    const auto name = awaitTask(m_db->userRecordName({}));
    QVERIFY(name.ok() && !name.value().isEmpty());
    QCOMPARE(awaitTask(m_db->userRecordName({})).value(), name.value());
    QVERIFY(!name.value().contains(m_account));
    auto other = m_backend->database(m_account + u"-other"_s);
    QVERIFY(awaitTask(other->userRecordName({})).value() != name.value());
}

void CloudConformance::allKeysReplacesAndChangedKeysMerges() {
    auto first = presence(u"p1"_s, u"A"_s);
    first.fields.insert(u"nowPlaying"_s, FieldValue(u"{\"songID\":\"1\"}"_s));
    QVERIFY(save(*m_db, zone(), {first}).overall.ok());

    // Changed keys: only isOnline changes; nowPlaying removed explicitly; the rest stays.
    const auto offline =
        record(u"p1"_s, u"DevicePresence"_s, {{u"isOnline"_s, FieldValue(qint64(0))}});
    QVERIFY(
        save(*m_db, zone(), {offline}, SavePolicy::ChangedKeys, {u"nowPlaying"_s}).overall.ok());
    auto stored = lookup(*m_db, zone(), u"p1"_s).value();
    QCOMPARE(stored.integer(u"isOnline"_s), std::optional<qint64>(0));
    QCOMPARE(stored.string(u"deviceID"_s), std::optional(u"A"_s));
    QCOMPARE(stored.timestamp(u"lastSeen"_s),
             std::optional(Timestamp::fromUnixMilliseconds(1767225600123)));
    QVERIFY(!stored.fields.contains(u"nowPlaying"_s));

    // All keys: the record becomes exactly what was sent.
    QVERIFY(save(*m_db, zone(), {offline}).overall.ok());
    stored = lookup(*m_db, zone(), u"p1"_s).value();
    QCOMPARE(stored.fields.keys(), QStringList{u"isOnline"_s});
}

void CloudConformance::aCreateIsWonOnceAndAppliesNothingWhenLost() {
    QVERIFY(save(*m_db, zone(), {presence(u"first"_s, u"A"_s)}, SavePolicy::IfNew).overall.ok());
    // Lost: neither the taken record nor the other one of the same write changes.
    const ModifyResult lost =
        save(*m_db, zone(), {presence(u"other"_s, u"C"_s), presence(u"first"_s, u"B"_s)},
             SavePolicy::IfNew);
    QVERIFY(!lost.overall.ok());
    QVERIFY2(isCloudError(lost.overall.error(), CloudErrorCode::ServerRecordChanged),
             qPrintable(lost.overall.error().description));
    QCOMPARE(lookup(*m_db, zone(), u"first"_s).value().string(u"deviceID"_s),
             std::optional(u"A"_s));
    QVERIFY(!lookup(*m_db, zone(), u"other"_s).ok());
    // Once deleted, the name can be won again.
    QVERIFY(awaitTask(m_db->modifyRecords(zone(), {}, {u"first"_s}, SavePolicy::AllKeys, {}))
                .overall.ok());
    QVERIFY(save(*m_db, zone(), {presence(u"first"_s, u"B"_s)}, SavePolicy::IfNew).overall.ok());
}

void CloudConformance::lookupGivesOneResultPerNameInOrder() {
    QVERIFY(save(*m_db, zone(), {presence(u"b"_s, u"B"_s), presence(u"a"_s, u"A"_s)}).overall.ok());
    const auto results =
        awaitTask(m_db->fetchRecords(zone(), {u"a"_s, u"missing"_s, u"b"_s}, std::nullopt, {}));
    QVERIFY(results.ok());
    QCOMPARE(results.value().size(), 3);
    QCOMPARE(results.value()[0].value().string(u"deviceID"_s), std::optional(u"A"_s));
    QVERIFY(!results.value()[1].ok());
    QVERIFY(isCloudError(results.value()[1].error(), CloudErrorCode::UnknownItem));
    QCOMPARE(results.value()[1].error().itemID, u"missing"_s);
    QCOMPARE(results.value()[2].value().recordName, u"b"_s);

    // Existence only: no fields travel.
    const auto bare = awaitTask(m_db->fetchRecords(zone(), {u"a"_s}, QStringList{}, {}));
    QVERIFY(bare.value().first().ok());
    QVERIFY(bare.value().first().value().fields.isEmpty());
    const auto some =
        awaitTask(m_db->fetchRecords(zone(), {u"a"_s}, QStringList{u"isOnline"_s}, {}));
    QCOMPARE(some.value().first().value().fields.keys(), QStringList{u"isOnline"_s});
}

void CloudConformance::serverSetsCreatedAndModified() {
    const auto first = save(*m_db, zone(), {presence(u"p"_s, u"A"_s)});
    QVERIFY(first.overall.ok());
    QCOMPARE(first.outcomes.size(), 1);
    const auto saved = first.outcomes.first().saved;
    QVERIFY(saved && saved->created && saved->modified);
    const auto again = save(*m_db, zone(), {presence(u"p"_s, u"A"_s, 0)});
    QCOMPARE(again.outcomes.first().saved->created, saved->created);
    QVERIFY(*again.outcomes.first().saved->modified >= *saved->modified);
    QCOMPARE(lookup(*m_db, zone(), u"p"_s).value().modified,
             again.outcomes.first().saved->modified);
}

void CloudConformance::missingAndUserDeletedZonesFailUntilCreated() {
    const QString other = u"OtherZone"_s;
    auto missing = save(*m_db, other, {presence(u"p"_s, u"A"_s)});
    QVERIFY(isCloudError(missing.overall.error(), CloudErrorCode::ZoneNotFound));
    QVERIFY(!awaitTask(m_db->fetchZoneChanges(other, std::nullopt, {})).ok());

    QVERIFY(save(*m_db, zone(), {presence(u"p"_s, u"A"_s)}).overall.ok());
    QVERIFY(m_backend->deleteZoneByUser(m_account, zone()));
    auto deleted = save(*m_db, zone(), {presence(u"p"_s, u"A"_s)});
    QVERIFY2(isCloudError(deleted.overall.error(), CloudErrorCode::UserDeletedZone),
             qPrintable(deleted.overall.error().description));
    const auto lookupDeleted = awaitTask(m_db->fetchRecords(zone(), {u"p"_s}, std::nullopt, {}));
    QVERIFY(!lookupDeleted.ok() || !lookupDeleted.value().first().ok());

    QVERIFY(awaitTask(m_db->saveZone(zone(), {})).ok());
    QVERIFY(awaitTask(m_db->saveZone(zone(), {})).ok()); // creating an existing zone succeeds
    QVERIFY(!lookup(*m_db, zone(), u"p"_s).ok());        // records went with the zone
    QVERIFY(save(*m_db, zone(), {presence(u"p"_s, u"A"_s)}).overall.ok());
}

void CloudConformance::zoneChangesFromATokenGiveEachChangeOnceInOrder() {
    QVERIFY(save(*m_db, zone(), {presence(u"a"_s, u"A"_s), presence(u"b"_s, u"B"_s)}).overall.ok());
    QVERIFY(remove(*m_db, zone(), {u"b"_s}).overall.ok());
    const auto everything = awaitTask(m_db->fetchZoneChanges(zone(), std::nullopt, {}));
    QVERIFY(everything.ok());
    QCOMPARE(everything.value().changed.size(), 1); // live records only without a token
    QVERIFY(everything.value().deleted.isEmpty());

    const QByteArray token = everything.value().token;
    QVERIFY(save(*m_db, zone(), {presence(u"c"_s, u"C"_s)}).overall.ok());
    QVERIFY(save(*m_db, zone(), {presence(u"a"_s, u"A"_s, 0)}).overall.ok());
    QVERIFY(save(*m_db, zone(), {presence(u"a"_s, u"A"_s, 1)}).overall.ok());
    QVERIFY(remove(*m_db, zone(), {u"c"_s, u"never-existed"_s}).overall.ok());
    const auto since = awaitTask(m_db->fetchZoneChanges(zone(), token, {}));
    QVERIFY(since.ok());
    QCOMPARE(since.value().changed.size(), 1);
    QCOMPARE(since.value().changed.first().recordName, u"a"_s);
    QCOMPARE(since.value().changed.first().integer(u"isOnline"_s), std::optional<qint64>(1));
    QCOMPARE(since.value().deleted, QStringList{u"c"_s});

    const auto nothing = awaitTask(m_db->fetchZoneChanges(zone(), since.value().token, {}));
    QVERIFY(nothing.ok());
    QVERIFY(nothing.value().changed.isEmpty() && nothing.value().deleted.isEmpty());
}

void CloudConformance::manyChangesArriveCompleteAcrossPages() {
    const auto start = awaitTask(m_db->fetchZoneChanges(zone(), std::nullopt, {}));
    for (int batch = 0; batch < 3; ++batch) {
        QList<CloudRecord> records;
        for (int i = 0; i < 150; ++i)
            records << presence(u"r%1-%2"_s.arg(batch).arg(i), u"D"_s);
        QVERIFY(save(*m_db, zone(), records).overall.ok());
    }
    const auto all = awaitTask(m_db->fetchZoneChanges(zone(), start.value().token, {}));
    QVERIFY(all.ok());
    QCOMPARE(all.value().changed.size(), 450);
    QCOMPARE(all.value().changed.first().recordName, u"r0-0"_s);
    QCOMPARE(all.value().changed.last().recordName, u"r2-149"_s);
}

void CloudConformance::tokensOfARecreatedZoneExpire() {
    QVERIFY(save(*m_db, zone(), {presence(u"a"_s, u"A"_s)}).overall.ok());
    const auto first = awaitTask(m_db->fetchZoneChanges(zone(), std::nullopt, {}));
    QVERIFY(awaitTask(m_db->deleteZone(zone(), {})).ok());
    QVERIFY(awaitTask(m_db->saveZone(zone(), {})).ok());
    const auto stale = awaitTask(m_db->fetchZoneChanges(zone(), first.value().token, {}));
    QVERIFY(!stale.ok());
    QVERIFY(isCloudError(stale.error(), CloudErrorCode::ChangeTokenExpired));
    const auto foreign = awaitTask(m_db->fetchZoneChanges(zone(), QByteArray("not-a-token"), {}));
    QVERIFY(isCloudError(foreign.error(), CloudErrorCode::ChangeTokenExpired));
}

void CloudConformance::subscriptionsCanBeSavedFetchedAndDeleted() {
    const auto missing = awaitTask(m_db->fetchSubscription(u"handoff-sub-X"_s, {}));
    QVERIFY(isCloudError(missing.error(), CloudErrorCode::UnknownItem));
    const Subscription wanted = handoffSubscription(u"X"_s);
    QVERIFY(awaitTask(m_db->saveSubscription(wanted, {})).ok());
    const auto found = awaitTask(m_db->fetchSubscription(wanted.subscriptionID, {}));
    QVERIFY(found.ok());
    QCOMPARE(found.value(), wanted);
    QVERIFY(awaitTask(m_db->deleteSubscription(wanted.subscriptionID, {})).ok());
    const auto gone = awaitTask(m_db->deleteSubscription(wanted.subscriptionID, {}));
    QVERIFY(isCloudError(gone.error(), CloudErrorCode::UnknownItem));
}

void CloudConformance::matchingSavesAndDeletesAreNotified() {
    QVERIFY(awaitTask(m_db->saveSubscription(handoffSubscription(u"B"_s), {})).ok());
    auto channel = m_backend->pushChannel(m_account);
    QSignalSpy connected(channel.get(), &PushChannel::connected);
    QSignalSpy received(channel.get(), &PushChannel::notificationReceived);
    channel->open();
    QVERIFY(connected.count() > 0 || connected.wait(20000));

    QVERIFY(save(*m_db, kDefaultZone, {command(u"handoff_C"_s, u"C"_s)}).overall.ok());
    QVERIFY(save(*m_db, kDefaultZone, {command(u"handoff_B"_s, u"B"_s)}).overall.ok());
    QVERIFY(received.count() > 0 || received.wait(20000));
    QCOMPARE(received.count(), 1); // the command for C did not fire
    const auto notification = received.first().first().value<PushNotification>();
    QCOMPARE(notification.recordName, u"handoff_B"_s);
    QCOMPARE(notification.subscriptionID, u"handoff-sub-B"_s);
    QCOMPARE(notification.reason, u"create"_s);

    QVERIFY(save(*m_db, kDefaultZone, {command(u"handoff_B"_s, u"B"_s)}).overall.ok());
    QVERIFY(received.count() > 1 || received.wait(20000));
    QCOMPARE(received.last().first().value<PushNotification>().reason, u"update"_s);
    QVERIFY(received.last().first().value<PushNotification>().id > notification.id);
    channel->close();
}

void CloudConformance::accountsAreIsolated() {
    QVERIFY(save(*m_db, zone(), {presence(u"secret"_s, u"A"_s)}).overall.ok());
    QVERIFY(awaitTask(m_db->saveSubscription(handoffSubscription(u"A"_s), {})).ok());

    const QString intruderAccount = m_account + u"-intruder"_s;
    auto intruder = m_backend->database(intruderAccount);
    QVERIFY(awaitTask(intruder->saveZone(zone(), {})).ok());
    QVERIFY(!lookup(*intruder, zone(), u"secret"_s).ok());
    QVERIFY(
        awaitTask(intruder->fetchZoneChanges(zone(), std::nullopt, {})).value().changed.isEmpty());
    QVERIFY(!awaitTask(intruder->fetchSubscription(u"handoff-sub-A"_s, {})).ok());
    QVERIFY(!awaitTask(intruder->deleteSubscription(u"handoff-sub-A"_s, {})).ok());
    // Writing the same name in its own database leaves the owner's record alone.
    QVERIFY(save(*intruder, zone(), {presence(u"secret"_s, u"EVIL"_s)}).overall.ok());
    QCOMPARE(lookup(*m_db, zone(), u"secret"_s).value().string(u"deviceID"_s),
             std::optional(u"A"_s));

    // The intruder's channel hears nothing of the owner's notifications.
    auto channel = m_backend->pushChannel(intruderAccount);
    QSignalSpy connected(channel.get(), &PushChannel::connected);
    QSignalSpy received(channel.get(), &PushChannel::notificationReceived);
    channel->open();
    QVERIFY(connected.count() > 0 || connected.wait(20000));
    auto ownerChannel = m_backend->pushChannel(m_account);
    QSignalSpy ownerConnected(ownerChannel.get(), &PushChannel::connected);
    QSignalSpy ownerReceived(ownerChannel.get(), &PushChannel::notificationReceived);
    ownerChannel->open();
    QVERIFY(ownerConnected.count() > 0 || ownerConnected.wait(20000));
    QVERIFY(save(*m_db, kDefaultZone, {command(u"handoff_A"_s, u"A"_s)}).overall.ok());
    QVERIFY(ownerReceived.count() > 0 || ownerReceived.wait(20000));
    QCOMPARE(received.count(), 0);
}

void CloudConformance::tooManyItemsAreRefused() {
    QList<CloudRecord> records;
    for (int i = 0; i < 201; ++i)
        records << presence(u"x%1"_s.arg(i), u"D"_s);
    const auto result = save(*m_db, zone(), records);
    QVERIFY(isCloudError(result.overall.error(), CloudErrorCode::LimitExceeded));
    QVERIFY(!lookup(*m_db, zone(), u"x0"_s).ok()); // nothing was written
}

void CloudConformance::cancelledRequestsFailAsCancelled() {
    std::stop_source source;
    source.request_stop();
    RequestOptions options;
    options.cancellation = source.get_token();
    const auto result = awaitTask(m_db->modifyRecords(
        zone(), {RecordSave{presence(u"p"_s, u"A"_s), {}}}, {}, SavePolicy::AllKeys, options));
    QVERIFY(isCloudError(result.overall.error(), CloudErrorCode::OperationCancelled));
    QVERIFY(!lookup(*m_db, zone(), u"p"_s).ok());
}

} // namespace sonavert::test
