// SqlCloudStorage: records, their change sequence, tombstones and push notifications.
#include "server/storage/sql_cloud_storage.h"
#include "server/storage/sql_dialect.h"
#include "server/wire/server_error.h"

#include <QJsonDocument>

namespace sonavert::cloud {

namespace {

const QString kRecordColumns = QStringLiteral(
    "record_name, record_type, fields, created_ms, modified_ms, sequence, is_deleted");

const QString kRecordByName =
    QStringLiteral("SELECT %1 FROM records WHERE zone_id = ? AND record_name = ?")
        .arg(kRecordColumns);

/// The zone's row and one record of it: a lookup of one name, the usual one, is one statement,
/// and so one read of the database.
const QString kZoneWithRecord = QStringLiteral(
    "SELECT z.id, z.is_live, z.deleted_by_user, z.last_sequence, z.compacted_through, "
    "r.record_name, r.record_type, r.fields, r.created_ms, r.modified_ms, r.sequence, "
    "r.is_deleted FROM zones z LEFT JOIN records r ON r.zone_id = z.id AND r.record_name = ? "
    "WHERE z.account_id = ? AND z.container = ? AND z.environment = ? AND z.name = ?");
constexpr int kZoneColumns = 5;

QString changesStatement(bool withTombstones) {
    return QStringLiteral("SELECT %1 FROM records WHERE zone_id = ? AND sequence > ? AND sequence "
                          "<= ? %2 ORDER BY sequence LIMIT ?")
        .arg(kRecordColumns, withTombstones ? QString() : QStringLiteral("AND is_deleted = 0"));
}
const QString kChanges = changesStatement(true);
const QString kLiveChanges = changesStatement(false);

/// A record from a row holding kRecordColumns from `first` on.
StoredRecord storedRecordOf(const SqlRows& row, int first = 0,
                            FieldsAs fieldsAs = FieldsAs::Object) {
    StoredRecord stored;
    stored.record.recordName = row.value(first).toString();
    stored.record.recordType = row.value(first + 1).toString();
    const QString fields = row.value(first + 2).toString();
    stored.storedBytes = fields.size();
    if (fieldsAs == FieldsAs::StoredText)
        stored.record.storedFields = fields.toUtf8();
    else
        stored.record.fields = QJsonDocument::fromJson(fields.toUtf8()).object();
    stored.record.createdMs = row.value(first + 3).toLongLong();
    stored.record.modifiedMs = row.value(first + 4).toLongLong();
    stored.sequence = row.value(first + 5).toLongLong();
    stored.isDeleted = row.value(first + 6).toInt() != 0;
    return stored;
}

std::optional<CloudRecord> liveRecord(const std::optional<StoredRecord>& stored) {
    if (!stored || stored->isDeleted)
        return std::nullopt;
    return stored->record;
}

} // namespace

Result<std::optional<StoredRecord>>
SqlCloudStorage::storedRecord(qint64 zoneId, const QString& recordName, FieldsAs fieldsAs) {
    auto query = m_session.run(kRecordByName, {zoneId, recordName});
    SONAVERT_TRY(query);
    if (!query.value().next())
        return std::optional<StoredRecord>{};
    return std::optional<StoredRecord>{storedRecordOf(query.value(), 0, fieldsAs)};
}

Status SqlCloudStorage::upsertRecord(qint64 zoneId, const CloudRecord& record, qint64 sequence) {
    auto stored = m_session.run(
        QStringLiteral("INSERT INTO records (zone_id, record_name, record_type, fields, "
                       "created_ms, modified_ms, sequence, is_deleted) VALUES "
                       "(?, ?, ?, ?, ?, ?, ?, 0) ON CONFLICT (zone_id, record_name) DO UPDATE SET "
                       "record_type = excluded.record_type, fields = excluded.fields, created_ms "
                       "= excluded.created_ms, modified_ms = excluded.modified_ms, sequence = "
                       "excluded.sequence, is_deleted = 0"),
        {zoneId, record.recordName, record.recordType, storedJsonText(record.fields),
         record.createdMs, record.modifiedMs, sequence});
    SONAVERT_TRY(stored);
    return {};
}

Result<WriteOutcome> SqlCloudStorage::writeOne(qint64 zoneId, const RecordWrite& write,
                                               qint64 sequence, qint64 nowMs) {
    auto stored = storedRecord(zoneId, write.recordName);
    SONAVERT_TRY(stored);
    const std::optional<CloudRecord> before = liveRecord(stored.value());
    if (write.kind == WriteKind::Delete) {
        if (!before)
            return WriteOutcome{};
        auto marked = m_session.run(QStringLiteral("UPDATE records SET is_deleted = 1, fields = "
                                                   "'{}', modified_ms = ?, sequence = ? WHERE "
                                                   "zone_id = ? AND record_name = ?"),
                                    {nowMs, sequence, zoneId, write.recordName});
        SONAVERT_TRY(marked);
        return WriteOutcome{before, std::nullopt};
    }
    // The whole write fails, so a batch never half-applies around a lost race.
    if (write.kind == WriteKind::Create && before)
        return cloudError(ServerErrorCode::ServerRecordChanged,
                          QStringLiteral("record \"%1\" exists already").arg(write.recordName));
    CloudRecord after;
    after.recordName = write.recordName;
    after.recordType = write.recordType;
    const QJsonObject base =
        (write.kind == WriteKind::Update && before) ? before->fields : QJsonObject{};
    after.fields = applyFieldChanges(base, write.fields);
    after.createdMs = before ? before->createdMs : nowMs;
    after.modifiedMs = nowMs;
    // A merge can grow a record past what any single save may send; the whole write fails.
    if (write.kind == WriteKind::Update &&
        QJsonDocument(recordToJson(after)).toJson(QJsonDocument::Compact).size() > kMaxRecordBytes)
        return cloudError(ServerErrorCode::LimitExceeded,
                          QStringLiteral("record \"%1\" would hold more than 1 MiB after the "
                                         "update")
                              .arg(write.recordName));
    SONAVERT_TRY(upsertRecord(zoneId, after, sequence));
    return WriteOutcome{before, after};
}

Result<QList<WriteOutcome>>
SqlCloudStorage::writeRecords(qint64 zoneId, const QList<RecordWrite>& writes, qint64 nowMs) {
    SqlTransaction transaction(m_session);
    SONAVERT_TRY(transaction.begin());
    // Taking the sequences locks the zone row until commit, so sequences follow commit order
    // even when several servers share the database.
    auto last = m_session.scalar(QStringLiteral("UPDATE zones SET last_sequence = last_sequence + "
                                                "? WHERE id = ? AND is_live = 1 RETURNING "
                                                "last_sequence"),
                                 {static_cast<qint64>(writes.size()), zoneId});
    SONAVERT_TRY(last);
    if (!last.value())
        return cloudError(ServerErrorCode::ZoneNotFound, QStringLiteral("zone not found"));
    qint64 sequence = last.value()->toLongLong() - writes.size();
    QList<WriteOutcome> outcomes;
    for (const RecordWrite& write : writes) {
        auto outcome = writeOne(zoneId, write, ++sequence, nowMs);
        SONAVERT_TRY(outcome);
        outcomes.append(outcome.value());
    }
    SONAVERT_TRY(transaction.commit());
    return outcomes;
}

Status SqlCloudStorage::appendRecords(qint64 zoneId, const QStringList& names, qsizetype from,
                                      qint64 maxBytes, qint64 bytes,
                                      QList<std::optional<CloudRecord>>& found) {
    for (qsizetype i = from; i < names.size() && bytes < maxBytes; ++i) {
        auto stored = storedRecord(zoneId, names[i], FieldsAs::StoredText);
        SONAVERT_TRY(stored);
        bytes += stored.value() ? stored.value()->storedBytes : 0;
        found.append(liveRecord(stored.value()));
    }
    return {};
}

Result<QList<std::optional<CloudRecord>>>
SqlCloudStorage::lookupRecords(qint64 zoneId, const QStringList& names, qint64 maxBytes) {
    QList<std::optional<CloudRecord>> found;
    SONAVERT_TRY(appendRecords(zoneId, names, 0, maxBytes, 0, found));
    return found;
}

Result<ZoneLookup> SqlCloudStorage::lookupInZone(const DatabaseScope& scope,
                                                 const QString& zoneName, const QStringList& names,
                                                 qint64 maxBytes) {
    if (names.isEmpty()) {
        auto state = zone(scope, zoneName);
        SONAVERT_TRY(state);
        return ZoneLookup{state.value(), {}};
    }
    ZoneLookup lookup;
    qint64 bytes = 0;
    {
        // The first row's statement is finished before the next one runs.
        auto query = m_session.run(kZoneWithRecord,
                                   QVariantList{names.first()} << scopeBinds(scope) << zoneName);
        SONAVERT_TRY(query);
        SqlRows& row = query.value();
        if (!row.next())
            return lookup;
        lookup.zone = zoneStateOf(row, 0);
        if (lookup.zone.status != ZoneStatus::Live)
            return lookup;
        std::optional<StoredRecord> first;
        if (!row.value(kZoneColumns).isNull())
            first = storedRecordOf(row, kZoneColumns, FieldsAs::StoredText);
        bytes = first ? first->storedBytes : 0;
        lookup.records.append(liveRecord(first));
    }
    SONAVERT_TRY(appendRecords(lookup.zone.zoneId, names, 1, maxBytes, bytes, lookup.records));
    return lookup;
}

Result<ChangePage> SqlCloudStorage::changesSince(qint64 zoneId, qint64 afterSequence,
                                                 qint64 throughSequence, int limit,
                                                 bool withTombstones, qint64 maxBytes) {
    auto query = m_session.run(withTombstones ? kChanges : kLiveChanges,
                               {zoneId, afterSequence, throughSequence, limit + 1});
    SONAVERT_TRY(query);
    // Rows are read one at a time, so a page of large records is never held beyond its bytes.
    ChangePage page;
    qint64 bytes = 0;
    while (query.value().next()) {
        if (page.records.size() == limit || bytes >= maxBytes) {
            page.moreComing = true;
            break;
        }
        page.records.append(storedRecordOf(query.value(), 0, FieldsAs::StoredText));
        bytes += page.records.last().storedBytes;
    }
    page.nextSequence = !page.moreComing         ? throughSequence
                        : page.records.isEmpty() ? afterSequence
                                                 : page.records.last().sequence;
    return page;
}

Result<int> SqlCloudStorage::compactTombstones(qint64 deletedBeforeMs) {
    SqlTransaction transaction(m_session);
    SONAVERT_TRY(transaction.begin());
    auto zones =
        m_session.run(QStringLiteral("SELECT zone_id, MAX(sequence) FROM records WHERE "
                                     "is_deleted = 1 AND modified_ms < ? GROUP BY zone_id"),
                      {deletedBeforeMs});
    SONAVERT_TRY(zones);
    QList<std::pair<qint64, qint64>> compacted;
    while (zones.value().next())
        compacted.append(
            {zones.value().value(0).toLongLong(), zones.value().value(1).toLongLong()});
    for (const auto& [zoneId, through] : compacted) {
        auto marked = m_session.run(QStringLiteral("UPDATE zones SET compacted_through = ? WHERE "
                                                   "id = ? AND compacted_through < ?"),
                                    {through, zoneId, through});
        SONAVERT_TRY(marked);
    }
    auto removed = m_session.run(
        QStringLiteral("DELETE FROM records WHERE is_deleted = 1 AND modified_ms < ?"),
        {deletedBeforeMs});
    SONAVERT_TRY(removed);
    const int count = removed.value().numRowsAffected();
    SONAVERT_TRY(transaction.commit());
    return count;
}

Result<QList<PushNotification>>
SqlCloudStorage::appendNotifications(const DatabaseScope& scope, const QList<QJsonObject>& bodies,
                                     qint64 nowMs, int keep) {
    SqlTransaction transaction(m_session);
    SONAVERT_TRY(transaction.begin());
    auto last = m_session.scalar(QStringLiteral("UPDATE accounts SET last_notification_id = "
                                                "last_notification_id + ? WHERE id = ? "
                                                "RETURNING last_notification_id"),
                                 {static_cast<qint64>(bodies.size()), scope.accountId});
    SONAVERT_TRY(last);
    const qint64 lastId = last.value().value_or(0).toLongLong();
    QList<PushNotification> stored;
    qint64 id = lastId - bodies.size();
    for (const QJsonObject& body : bodies) {
        PushNotification notification{++id, scope.accountId, scope.container, scope.environment,
                                      body};
        notification.body.insert(QStringLiteral("id"), id);
        auto inserted = m_session.run(QStringLiteral("INSERT INTO notifications (account_id, id, "
                                                     "container, environment, body, created_ms) "
                                                     "VALUES (?, ?, ?, ?, ?, ?)"),
                                      {scope.accountId, id, scope.container, scope.environment,
                                       storedJsonText(notification.body), nowMs});
        SONAVERT_TRY(inserted);
        stored.append(notification);
    }
    auto pruned =
        m_session.run(QStringLiteral("DELETE FROM notifications WHERE account_id = ? AND id <= ?"),
                      {scope.accountId, lastId - keep});
    SONAVERT_TRY(pruned);
    if (const QString announce = m_dialect->announceNotificationsStatement(); !announce.isEmpty()) {
        auto announced =
            m_session.run(announce, {NotificationsAnnouncement{scope.accountId, lastId}.toText()});
        SONAVERT_TRY(announced);
    }
    SONAVERT_TRY(transaction.commit());
    return stored;
}

Result<NotificationBacklog> SqlCloudStorage::backlogBounds(qint64 accountId, qint64 sinceId) {
    auto bounds = m_session.run(QStringLiteral("SELECT a.last_notification_id, (SELECT MIN(n.id) "
                                               "FROM notifications n WHERE n.account_id = a.id) "
                                               "FROM accounts a WHERE a.id = ?"),
                                {accountId});
    SONAVERT_TRY(bounds);
    NotificationBacklog backlog;
    if (!bounds.value().next())
        return backlog;
    backlog.lastId = bounds.value().value(0).toLongLong();
    const QVariant oldest = bounds.value().value(1);
    const qint64 oldestHeld = oldest.isNull() ? backlog.lastId + 1 : oldest.toLongLong();
    backlog.isComplete = sinceId >= oldestHeld - 1 && sinceId <= backlog.lastId;
    return backlog;
}

Result<NotificationBacklog> SqlCloudStorage::readNotifications(NotificationBacklog backlog,
                                                               const QString& sql,
                                                               const QVariantList& binds) {
    auto query = m_session.run(sql, binds);
    SONAVERT_TRY(query);
    SqlRows& row = query.value();
    while (row.next()) {
        const QJsonObject body = QJsonDocument::fromJson(row.value(1).toString().toUtf8()).object();
        backlog.missed.append({row.value(0).toLongLong(), row.value(2).toLongLong(),
                               row.value(3).toString(), row.value(4).toString(), body});
    }
    return backlog;
}

Result<NotificationBacklog> SqlCloudStorage::notificationsSince(const DatabaseScope& scope,
                                                                qint64 sinceId) {
    auto bounds = backlogBounds(scope.accountId, sinceId);
    if (!bounds)
        return bounds;
    return readNotifications(bounds.value(),
                             QStringLiteral("SELECT id, body, account_id, container, environment "
                                            "FROM notifications WHERE account_id = ? AND "
                                            "container = ? AND environment = ? AND id > ? "
                                            "ORDER BY id"),
                             {scope.accountId, scope.container, scope.environment, sinceId});
}

Result<NotificationBacklog> SqlCloudStorage::accountNotificationsSince(qint64 accountId,
                                                                       qint64 sinceId) {
    auto bounds = backlogBounds(accountId, sinceId);
    if (!bounds)
        return bounds;
    return readNotifications(bounds.value(),
                             QStringLiteral("SELECT id, body, account_id, container, environment "
                                            "FROM notifications WHERE account_id = ? AND id > ? "
                                            "ORDER BY id"),
                             {accountId, sinceId});
}

Result<QHash<qint64, qint64>> SqlCloudStorage::lastNotificationIds() {
    auto query = m_session.run(QStringLiteral(
        "SELECT id, last_notification_id FROM accounts WHERE last_notification_id > 0"));
    SONAVERT_TRY(query);
    QHash<qint64, qint64> lastIds;
    while (query.value().next())
        lastIds.insert(query.value().value(0).toLongLong(), query.value().value(1).toLongLong());
    return lastIds;
}

} // namespace sonavert::cloud
