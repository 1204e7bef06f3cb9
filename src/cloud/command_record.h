#pragma once

#include "src/clouddb/cloud_types.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/result.h"
#include "src/runtime/timestamp.h"

#include <QString>
#include <functional>
#include <optional>

namespace sonavert {

struct ReceivedCommand;

/// What tells one kind of command record (a handoff, a pull request) from another. Both are
/// one-shot records named after their target, written with retries and consumed on fetch; the
/// event names differ, so each kind spells its lines out in full.
struct CommandRecordKind {
    QString recordType;   ///< the record type, also what its subscription listens to
    QString namePrefix;   ///< record name = prefix + target device id
    QString idField;      ///< the field that correlates the log lines of both ends
    QString payloadField; ///< the field a valid record must carry
    /// The sealed field that proves the sender holds the account key: its text is the
    /// record's id, sealed bound to the record. Empty where the payload is itself sealed.
    QString proofField;
    QString retryKind; ///< how the bounded write names this kind in its own lines
    LogCategory category;
    EventFormat<QString, int, double> saveSucceeded; ///< (id, attempt, duration)
    EventFormat<QString, int, double> saveTimedOut;  ///< (id, attempts, timeout per attempt)
    EventFormat<QString, QString> saveFailed;        ///< (id, error)
    EventFormat<QString> fetchStarted;    ///< (target device id); none when the kind logs none
    EventFormat<double> fetchNotFound;    ///< (duration); none when the kind logs none
    EventFormat<QString> deleteSucceeded; ///< (id)
    EventFormat<QString, QString> deleteFailed;          ///< (id, error)
    void (*logRejected)(const ReceivedCommand& command); ///< invalid or expired record
    /// Whether a record written before this run of the receiver began is accepted up to the
    /// ledger's remembered day (a command queued while the device was off).
    bool acceptsQueuedWhileOff = false;
    /// Whether an accepted record is only taken, to be settled once it has been acted on; else
    /// it is settled as it is accepted.
    bool isSettledLater = false;
    EventFormat<QString> duplicateIgnored; ///< (id); a record whose id was seen before
};

/// A fetched command record, read but not yet judged.
struct ReceivedCommand {
    QString id; ///< the correlation id, "legacy" when the record has none
    QString recordName;
    std::optional<QString> payload;
    bool hasPayloadField = false;
    std::optional<Timestamp> sentAt; ///< the record's timestamp
    double ageSeconds = -1.0;        ///< -1 when the record carries no timestamp
    double fetchSeconds = 0;         ///< how long the fetch took
    bool isValid = false;            ///< has a timestamp, a payload, its proof, and is young enough
    bool wasQueuedWhileOff = false;  ///< written before this run of the receiver began
};

/// Builds the record to send from its new correlation id and the current time, and logs the
/// kind's start line; fails when the payload cannot be encoded.
using CommandRecordDraft =
    std::function<Result<clouddb::CloudRecord>(const QString& id, Timestamp now)>;

/// Turns a valid received record into the kind's value, logging the kind's fetched line; a
/// failure leaves the record in place.
template <typename T> using CommandDecoder = std::function<Result<T>(const ReceivedCommand&)>;

} // namespace sonavert
