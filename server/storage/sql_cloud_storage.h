#pragma once

#include "server/storage/cloud_storage.h"
#include "server/storage/sql_session.h"

#include <memory>

namespace sonavert::cloud {

class SqlDialect;

/// CloudStorage over QtSql. The queries are shared by every engine; the dialect opens the
/// connection and names the migration folder. Each call runs synchronously on the owning
/// thread, and every multi-statement change is one transaction.
/// How a record read holds its fields: parsed, for a write to change them, or as the stored
/// text, for an answer to pass on.
enum class FieldsAs { Object, StoredText };

class SqlCloudStorage final : public CloudStorage {
public:
    /// Opens the database and applies pending migrations.
    static Result<std::unique_ptr<SqlCloudStorage>> open(std::unique_ptr<SqlDialect> dialect);
    ~SqlCloudStorage() override;

    Status beginTransaction() override { return m_session.begin(); }
    Status commitTransaction() override { return m_session.commit(); }
    void rollbackTransaction() override { m_session.rollback(); }

    Result<QByteArray> settleMetaValue(const QString& key, const QByteArray& candidate) override;

    Result<AccountInfo> createAccount(const QString& name, const QString& userRecordName,
                                      qint64 nowMs) override;
    Result<std::optional<AccountInfo>>
    createFirstAccount(const QString& name, const QString& userRecordName, qint64 nowMs) override;
    Result<std::optional<AccountInfo>> accountByName(const QString& name) override;
    Result<std::optional<AccountInfo>> accountByTokenHash(const QString& tokenHash) override;
    Status addToken(qint64 accountId, const QString& tokenHash, const QString& deviceName,
                    qint64 nowMs, const QString& mintedBy) override;
    Result<QList<DeviceToken>> tokensOf(qint64 accountId) override;
    Result<std::optional<QString>> tokenHashNamed(qint64 accountId,
                                                  const QString& deviceName) override;
    Status addPairingCode(const StoredPairingCode& code, qint64 expiresMs) override;
    Result<QList<StoredPairingCode>> livePairingCodes(qint64 nowMs) override;
    Result<bool> takePairingCode(const QString& codeHash) override;
    Result<QStringList> removeToken(qint64 accountId, const QString& tokenHash) override;
    Result<QList<TokenRevocation>> tokenRevocationsSince(qint64 afterId) override;

    Result<ZoneState> zone(const DatabaseScope& scope, const QString& zoneName) override;
    Result<ZoneState> createZone(const DatabaseScope& scope, const QString& zoneName) override;
    Status deleteZone(const DatabaseScope& scope, const QString& zoneName, bool byUser) override;

    Result<QList<WriteOutcome>> writeRecords(qint64 zoneId, const QList<RecordWrite>& writes,
                                             qint64 nowMs) override;
    Result<QList<std::optional<CloudRecord>>> lookupRecords(qint64 zoneId, const QStringList& names,
                                                            qint64 maxBytes) override;
    Result<ZoneLookup> lookupInZone(const DatabaseScope& scope, const QString& zoneName,
                                    const QStringList& names, qint64 maxBytes) override;
    Result<ChangePage> changesSince(qint64 zoneId, qint64 afterSequence, qint64 throughSequence,
                                    int limit, bool withTombstones, qint64 maxBytes) override;
    Result<int> compactTombstones(qint64 deletedBeforeMs) override;

    Result<QList<QJsonObject>> subscriptions(const DatabaseScope& scope) override;
    Result<std::optional<QJsonObject>> subscription(const DatabaseScope& scope,
                                                    const QString& subscriptionID) override;
    Status putSubscription(const DatabaseScope& scope, const QString& subscriptionID,
                           const QJsonObject& subscription) override;
    Result<bool> deleteSubscription(const DatabaseScope& scope,
                                    const QString& subscriptionID) override;
    Result<int> subscriptionCount(qint64 accountId) override;

    Result<QList<PushNotification>> appendNotifications(const DatabaseScope& scope,
                                                        const QList<QJsonObject>& bodies,
                                                        qint64 nowMs, int keep) override;
    Result<NotificationBacklog> notificationsSince(const DatabaseScope& scope,
                                                   qint64 sinceId) override;
    Result<NotificationBacklog> accountNotificationsSince(qint64 accountId,
                                                          qint64 sinceId) override;
    Result<QHash<qint64, qint64>> lastNotificationIds() override;
    Result<int> schemaVersion() override;

private:
    SqlCloudStorage(std::unique_ptr<SqlDialect> dialect, QSqlDatabase db, QString connectionName);

    Result<std::optional<AccountInfo>> oneAccount(const QString& sql, const QVariantList& binds);
    Result<std::optional<StoredRecord>> storedRecord(qint64 zoneId, const QString& recordName,
                                                     FieldsAs fieldsAs = FieldsAs::Object);
    /// Records of `names` from `from` on, until what was read reaches `maxBytes` (counting
    /// `bytes` read before), appended to `found`.
    Status appendRecords(qint64 zoneId, const QStringList& names, qsizetype from, qint64 maxBytes,
                         qint64 bytes, QList<std::optional<CloudRecord>>& found);
    static QVariantList scopeBinds(const DatabaseScope& scope);
    /// A zone's state from a row whose columns from `first` on are id, is_live,
    /// deleted_by_user, last_sequence and compacted_through.
    static ZoneState zoneStateOf(const SqlRows& row, int first);
    Result<WriteOutcome> writeOne(qint64 zoneId, const RecordWrite& write, qint64 sequence,
                                  qint64 nowMs);
    Status upsertRecord(qint64 zoneId, const CloudRecord& record, qint64 sequence);
    /// The account's newest notification id and whether every one after `sinceId` is held.
    Result<NotificationBacklog> backlogBounds(qint64 accountId, qint64 sinceId);
    Result<NotificationBacklog> readNotifications(NotificationBacklog backlog, const QString& sql,
                                                  const QVariantList& binds);

    std::unique_ptr<SqlDialect> m_dialect;
    QString m_connectionName;
    SqlSession m_session;
};

} // namespace sonavert::cloud
