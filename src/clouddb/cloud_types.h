#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"
#include "src/runtime/timestamp.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <optional>
#include <stop_token>
#include <variant>

namespace sonavert::clouddb {

/// The zone every database has.
inline const QString kDefaultZone = QStringLiteral("_defaultZone");

/// A field value: STRING, INT64 or TIMESTAMP (millisecond precision on the wire).
using FieldValue = std::variant<QString, qint64, Timestamp>;

/// A record of the private database.
struct CloudRecord {
    QString recordName;
    QString recordType;
    QMap<QString, FieldValue> fields;
    std::optional<Timestamp> created;  ///< set by the server
    std::optional<Timestamp> modified; ///< set by the server, from the server's clock

    std::optional<QString> string(const QString& field) const;
    std::optional<qint64> integer(const QString& field) const;
    std::optional<Timestamp> timestamp(const QString& field) const;

    friend bool operator==(const CloudRecord&, const CloudRecord&) = default;
};

/// How a save treats fields the record does not carry.
enum class SavePolicy {
    AllKeys,     ///< the record becomes exactly the fields sent
    ChangedKeys, ///< only the fields sent are written; a field in `removedFields` is removed
    /// Written only where no record of that name lives; otherwise the whole save fails with
    /// ServerRecordChanged and nothing is written. What one of several racing devices wins.
    IfNew,
};

/// A record to save, with the fields a changed-keys save removes.
struct RecordSave {
    CloudRecord record;
    QStringList removedFields;
};

/// Limits of one request: how long it may take and a token that cancels it.
struct RequestOptions {
    Duration timeout = 15s;
    std::stop_token cancellation;
};

enum class AccountStatus {
    CouldNotDetermine = 0,
    Available = 1,
    Restricted = 2,
    NoAccount = 3,
    TemporarilyUnavailable = 4,
};

/// What one record of a modify request came to.
struct RecordOutcome {
    QString recordName;
    bool isDeleted = false;           ///< a deletion that succeeded
    std::optional<CloudRecord> saved; ///< a save that succeeded, as the server stored it
    std::optional<Error> error;       ///< this record failed
};

/// The answer to a modify request: one outcome per record in request order, and the overall
/// result (a partial failure, code 2, with the per-record errors, when any record failed).
struct ModifyResult {
    QList<RecordOutcome> outcomes;
    Status overall;
};

/// What changed in a zone since a token.
struct ZoneChanges {
    QList<CloudRecord> changed; ///< created or changed, each once, in commit order
    QStringList deleted;        ///< record names deleted
    QByteArray token;           ///< where the next fetch continues
};

/// A query subscription: fires for records of `recordType` whose fields equal every value of
/// `filters`, on the listed events.
struct Subscription {
    QString subscriptionID;
    QString recordType;
    QMap<QString, FieldValue> filters;
    bool firesOnCreate = true;
    bool firesOnUpdate = true;
    bool firesOnDelete = true;

    friend bool operator==(const Subscription&, const Subscription&) = default;
};

/// One notification of the push channel. Notifications are hints: clients fetch what changed.
struct PushNotification {
    qint64 id = 0;
    QString subscriptionID;
    QString zoneName;
    QString recordName;
    QString reason; ///< "create", "update" or "delete"
};

} // namespace sonavert::clouddb

Q_DECLARE_METATYPE(sonavert::clouddb::PushNotification)
