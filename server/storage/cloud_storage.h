#pragma once

#include "server/wire/record_fields_json.h"
#include "src/runtime/result.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace sonavert::cloud {

struct AccountInfo {
    qint64 id = 0;
    QString name;
    QString userRecordName;
};

/// One private database: an account's data in one container and environment.
struct DatabaseScope {
    qint64 accountId = 0;
    QString container;
    QString environment;
};

enum class ZoneStatus { Live, Missing, DeletedByUser };

/// A zone as stored. `zoneId` changes each time the zone is created again, which is what makes
/// the change tokens of an earlier incarnation recognisably stale.
struct ZoneState {
    ZoneStatus status = ZoneStatus::Missing;
    qint64 zoneId = 0;
    qint64 lastSequence = 0;
    /// Tombstones up to this sequence have been compacted away.
    qint64 compactedThrough = 0;
};

/// A zone and records looked up in it, their fields as stored (`CloudRecord::storedFields`).
struct ZoneLookup {
    ZoneState zone;
    QList<std::optional<CloudRecord>> records;
};

struct StoredRecord {
    CloudRecord record;
    qint64 sequence = 0;
    bool isDeleted = false;
    /// The size of its stored fields, what it adds to an answer.
    qint64 storedBytes = 0;
};

/// Create writes the record only where none lives under its name: the write that one of
/// several racing devices wins (an account's first key).
enum class WriteKind { Replace, Update, Delete, Create };

struct RecordWrite {
    WriteKind kind = WriteKind::Replace;
    QString recordName;
    QString recordType;
    /// As sent; for Update a field whose value is null is removed.
    QJsonObject fields;
};

/// What one write did: the live record before it (if any) and the record after it (none after
/// a delete).
struct WriteOutcome {
    std::optional<CloudRecord> before;
    std::optional<CloudRecord> after;
};

struct ChangePage {
    QList<StoredRecord> records; ///< their fields as stored (`CloudRecord::storedFields`)
    /// The sequence a follow-up read continues from.
    qint64 nextSequence = 0;
    bool moreComing = false;
};

struct PushNotification {
    qint64 id = 0;
    qint64 accountId = 0;
    QString container;
    QString environment;
    QJsonObject body;
};

/// What a reconnecting push channel missed.
struct NotificationBacklog {
    qint64 lastId = 0;
    /// False when notifications after the requested id were already dropped.
    bool isComplete = true;
    QList<PushNotification> missed;
};

/// A token taken away; every process sharing the database reads these to close the token's
/// push channels.
struct TokenRevocation {
    qint64 id = 0;
    QString tokenHash;
};

/// A device's token as listed: its name and when it was issued, never the token.
struct DeviceToken {
    QString name;
    qint64 createdMs = 0;
};

/// A pairing code still to be claimed, as stored: its hash, whose it is, and the hash of the
/// token that asked for it (empty when none did).
struct StoredPairingCode {
    QString codeHash;
    qint64 accountId = 0;
    QString creatorTokenHash;
};

/// What an instance tells the others sharing its database after storing notifications: whose
/// they are and the newest id, so a listener that already delivered that far need not look.
struct NotificationsAnnouncement {
    qint64 accountId = 0;
    qint64 lastId = 0;

    QString toText() const;
    static std::optional<NotificationsAnnouncement> fromText(const QString& text);
};

/// Failures of the storage layer in this process so far (statements, connections, commits),
/// for the metrics.
quint64 storageErrorCount();

/// Everything the server keeps. Every record, zone and subscription call is confined to one
/// account's scope. Errors outside the cloud error domain are internal failures.
class CloudStorage {
public:
    virtual ~CloudStorage() = default;

    /// Opens a transaction around the calls that follow. Opened inside another one it is a
    /// savepoint of it: the calls' own transactions nest the same way, so many calls can be
    /// committed (and flushed to disk) once, while each can still be undone alone.
    virtual Status beginTransaction() = 0;
    /// Commits the innermost open transaction; on failure it is rolled back.
    virtual Status commitTransaction() = 0;
    virtual void rollbackTransaction() = 0;

    /// A server-wide value that is set once and then never changes (e.g. the token secret).
    virtual Result<QByteArray> settleMetaValue(const QString& key, const QByteArray& candidate) = 0;

    virtual Result<AccountInfo> createAccount(const QString& name, const QString& userRecordName,
                                              qint64 nowMs) = 0;
    /// Creates the server's first account, unless one exists or ever was made this way:
    /// nothing when that door is shut. Checked and created in one transaction, so of two
    /// racing calls (even through two instances) one gets nothing.
    virtual Result<std::optional<AccountInfo>>
    createFirstAccount(const QString& name, const QString& userRecordName, qint64 nowMs) = 0;
    virtual Result<std::optional<AccountInfo>> accountByName(const QString& name) = 0;
    virtual Result<std::optional<AccountInfo>> accountByTokenHash(const QString& tokenHash) = 0;
    /// `deviceName` is empty or unique within the account. `mintedBy`: the hash of the token
    /// whose pairing code this one was claimed with, or empty.
    virtual Status addToken(qint64 accountId, const QString& tokenHash, const QString& deviceName,
                            qint64 nowMs, const QString& mintedBy) = 0;
    /// The account's tokens, oldest first.
    virtual Result<QList<DeviceToken>> tokensOf(qint64 accountId) = 0;
    /// The hash of the account's token named `deviceName`, if there is one.
    virtual Result<std::optional<QString>> tokenHashNamed(qint64 accountId,
                                                          const QString& deviceName) = 0;
    /// Removes the account's token with this hash, every token minted through its pairing
    /// codes and theirs in turn, and the codes they asked for that are still unclaimed, in one
    /// transaction that records each removal as a revocation. The hashes removed, this one
    /// first; none when it was not the account's.
    virtual Result<QStringList> removeToken(qint64 accountId, const QString& tokenHash) = 0;
    /// Revocations recorded after `afterId`, in id order.
    virtual Result<QList<TokenRevocation>> tokenRevocationsSince(qint64 afterId) = 0;

    virtual Status addPairingCode(const StoredPairingCode& code, qint64 expiresMs) = 0;
    /// Forgets the codes expired at `nowMs` and gives the others.
    virtual Result<QList<StoredPairingCode>> livePairingCodes(qint64 nowMs) = 0;
    /// Deletes the code; false when it was gone already (claimed by someone else).
    virtual Result<bool> takePairingCode(const QString& codeHash) = 0;

    virtual Result<ZoneState> zone(const DatabaseScope& scope, const QString& zoneName) = 0;
    /// Creates the zone, or keeps it when it is live already.
    virtual Result<ZoneState> createZone(const DatabaseScope& scope, const QString& zoneName) = 0;
    /// Deletes a live zone and its records; `byUser` leaves a marker until it is created again.
    virtual Status deleteZone(const DatabaseScope& scope, const QString& zoneName, bool byUser) = 0;

    /// Applies the writes in one transaction, each with its own next sequence of the zone.
    /// Fails with ZONE_NOT_FOUND when the zone is no longer live.
    virtual Result<QList<WriteOutcome>>
    writeRecords(qint64 zoneId, const QList<RecordWrite>& writes, qint64 nowMs) = 0;
    /// Live records by name, in the order asked; nothing for a missing or deleted one. Stops
    /// after the record that brings what was read to `maxBytes`: the list is then shorter than
    /// the names.
    virtual Result<QList<std::optional<CloudRecord>>>
    lookupRecords(qint64 zoneId, const QStringList& names, qint64 maxBytes) = 0;
    /// The zone as `zone` gives it and, when it is live, its records as `lookupRecords` gives
    /// them; when it is not, no records.
    virtual Result<ZoneLookup> lookupInZone(const DatabaseScope& scope, const QString& zoneName,
                                            const QStringList& names, qint64 maxBytes) = 0;
    /// Records changed after `afterSequence`, at most `limit`, in sequence order, ending the
    /// page after the record that brings it to `maxBytes` (none when that is spent already).
    /// Tombstones are included only when `withTombstones`.
    /// Only records up to `throughSequence` are read: the zone's last sequence as read before,
    /// up to which every write has committed, so the token handed out never skips a write still
    /// in flight.
    virtual Result<ChangePage> changesSince(qint64 zoneId, qint64 afterSequence,
                                            qint64 throughSequence, int limit, bool withTombstones,
                                            qint64 maxBytes) = 0;
    /// Forgets tombstones older than `deletedBeforeMs`; returns how many went.
    virtual Result<int> compactTombstones(qint64 deletedBeforeMs) = 0;

    virtual Result<QList<QJsonObject>> subscriptions(const DatabaseScope& scope) = 0;
    virtual Result<std::optional<QJsonObject>> subscription(const DatabaseScope& scope,
                                                            const QString& subscriptionID) = 0;
    virtual Status putSubscription(const DatabaseScope& scope, const QString& subscriptionID,
                                   const QJsonObject& subscription) = 0;
    virtual Result<bool> deleteSubscription(const DatabaseScope& scope,
                                            const QString& subscriptionID) = 0;
    /// Subscriptions of the account in all its databases.
    virtual Result<int> subscriptionCount(qint64 accountId) = 0;

    /// Stores notifications with the account's next ids, keeping the newest `keep` of the
    /// account.
    virtual Result<QList<PushNotification>> appendNotifications(const DatabaseScope& scope,
                                                                const QList<QJsonObject>& bodies,
                                                                qint64 nowMs, int keep) = 0;
    /// Notifications of the scope with an id above `sinceId`.
    virtual Result<NotificationBacklog> notificationsSince(const DatabaseScope& scope,
                                                           qint64 sinceId) = 0;
    /// Notifications of the account in every container and environment with an id above
    /// `sinceId`, in id order.
    virtual Result<NotificationBacklog> accountNotificationsSince(qint64 accountId,
                                                                  qint64 sinceId) = 0;
    /// The newest notification id of every account that has stored any.
    virtual Result<QHash<qint64, qint64>> lastNotificationIds() = 0;

    /// The newest migration applied: also the trivial query that shows the storage answers.
    virtual Result<int> schemaVersion() = 0;
};

} // namespace sonavert::cloud
