// Command records, whatever their kind: the bounded send with its save lines, the fetch that
// judges, decodes and consumes a record, the record fetch and delete under them, and the
// subscriptions that announce new ones.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/cloud/service_error.h"
#include "src/model/device_identity_store.h"
#include "src/model/playback_state.h"

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

// A command is meant to act within moments of being written: one that a running device left
// for 60 seconds is stale and would surprise whoever is listening there now. A command written
// before this run of the receiver began is different: it was queued while the device was off,
// and the user was told it plays when the device comes online, however long that took; up to
// a day, that is, for the ledger remembers a command's id that long, and a copy of a command
// older than it would play again. The two are told apart by the command's own time against the
// moment this run began; a sender whose clock runs behind only widens the second case by its
// lag.
ReceivedCommand readCommand(const CommandRecordKind& kind, const CloudRecord& record, Timestamp now,
                            Timestamp runStartedAt, double fetchSeconds) {
    ReceivedCommand command;
    const std::optional<QString> id = record.string(kind.idField);
    command.id = id.value_or(ConsumedMessageLedger::kLegacyID);
    command.recordName = record.recordName;
    command.payload = record.string(kind.payloadField);
    command.hasPayloadField = record.fields.contains(kind.payloadField);
    command.sentAt = record.timestamp(QStringLiteral("timestamp"));
    const std::optional<Timestamp>& timestamp = command.sentAt;
    command.ageSeconds = timestamp ? now.secondsSince(*timestamp) : -1.0;
    command.wasQueuedWhileOff =
        kind.acceptsQueuedWhileOff && timestamp && *timestamp < runStartedAt;
    const bool isFresh = command.ageSeconds < CloudKitHandoffService::kMaximumCommandAgeSeconds;
    const bool isRemembered = command.ageSeconds < ConsumedMessageLedger::kRememberedSeconds;
    // Opened, the proof is the record's own id; what does not open never gets here.
    const bool isProven = kind.proofField.isEmpty() || (id && record.string(kind.proofField) == id);
    command.isValid = timestamp && (isFresh || (command.wasQueuedWhileOff && isRemembered)) &&
                      command.payload && isProven;
    command.fetchSeconds = fetchSeconds;
    return command;
}

void logSendFailure(const CommandRecordKind& kind, const QString& id, const Error& error) {
    if (service_error::isRequestTimedOut(error))
        logEvent(kind.category, LogLevel::Error, kind.saveTimedOut, id,
                 CloudKitHandoffService::kMaximumAttempts,
                 std::chrono::duration<double>(CloudKitHandoffService::kAttemptTimeout).count());
    else
        logEvent(kind.category, LogLevel::Error, kind.saveFailed, id, error.description);
}

Subscription subscriptionFor(const QString& id, const QString& recordType,
                             const QString& deviceID) {
    Subscription s;
    s.subscriptionID = id;
    s.recordType = recordType;
    s.filters.insert(QStringLiteral("targetDeviceID"), FieldValue(deviceID));
    s.firesOnCreate = true;
    s.firesOnUpdate = true;
    s.firesOnDelete = false;
    return s;
}

} // namespace

QCoro::Task<Status> CloudKitHandoffService::sendCommandRecord(const CommandRecordKind* kind,
                                                              CommandRecordDraft draft) {
    const std::stop_token stop = m_tasks.token();
    SONAVERT_CO_TRY(co_await ensureAccountAvailable());
    if (stop.stop_requested())
        co_return Status();
    const QString id = makeUpperCaseUUID();
    const Duration start = m_clock->monotonicNow();
    const Result<CloudRecord> record = draft(id, m_clock->now());
    SONAVERT_CO_TRY(record);
    const Result<int> sent = co_await publishWithRetry(listOf(record.value()), id, kind->retryKind);
    if (stop.stop_requested())
        co_return sent ? Status() : Status(sent.error());
    if (sent) {
        logEvent(kind->category, LogLevel::Info, kind->saveSucceeded, id, sent.value(),
                 secondsBetween(start, m_clock->monotonicNow()));
        co_return Status();
    }
    logSendFailure(*kind, id, sent.error());
    co_return sent.error();
}

template <typename T>
QCoro::Task<Result<std::optional<T>>>
CloudKitHandoffService::fetchCommandRecord(const CommandRecordKind* kind, CommandDecoder<T> decode,
                                           QString deviceID) {
    using Fetched = std::optional<T>;
    const std::stop_token stop = m_tasks.token();
    SONAVERT_CO_TRY(co_await ensureAccountAvailable());
    const Duration start = m_clock->monotonicNow();
    if (kind->fetchStarted)
        logEvent(kind->category, LogLevel::Debug, kind->fetchStarted, deviceID);
    const auto fetched = co_await fetchTransferRecord(kind->namePrefix + deviceID);
    if (stop.stop_requested())
        co_return Fetched();
    if (!fetched) {
        if (!isCloudError(fetched.error(), CloudErrorCode::UnknownItem))
            co_return fetched.error();
        if (kind->fetchNotFound)
            logEvent(kind->category, LogLevel::Debug, kind->fetchNotFound,
                     secondsBetween(start, m_clock->monotonicNow()));
        co_return Fetched();
    }
    const ReceivedCommand command =
        readCommand(*kind, fetched.value(), m_clock->now(), m_runStartedAt,
                    secondsBetween(start, m_clock->monotonicNow()));
    if (m_ledger.isKnown(command.id)) {
        // Seen before: written again after its watchdog fired, left by a failed delete, or put
        // back by the server.
        // Deleting it ends the sender's queued mark; playing it again would be the fault.
        if (kind->duplicateIgnored)
            logEvent(kind->category, LogLevel::Default, kind->duplicateIgnored, command.id);
        co_await consumeCommandRecord(kind, command.recordName, command.id);
        co_return Fetched();
    }
    if (!command.isValid) {
        // Polled every two seconds and left in place, the same record would say so at every
        // look: it is said once, and again only when the record is written anew.
        if (noteRefused(*kind, fetched.value(), command.id))
            kind->logRejected(command);
        co_return Fetched();
    }
    Result<T> decoded = decode(command);
    SONAVERT_CO_TRY(decoded);
    if (kind->isSettledLater)
        m_ledger.take(TakenCommand{command.id, *command.payload, m_clock->now(), command.sentAt});
    else
        m_ledger.settle(command.id, command.sentAt);
    co_await consumeCommandRecord(kind, command.recordName, command.id);
    co_return Fetched(std::move(decoded).value());
}

QCoro::Task<> CloudKitHandoffService::consumeCommandRecord(const CommandRecordKind* kind,
                                                           QString recordName, QString id) {
    const Status deleted = co_await deleteTransferRecord(recordName);
    if (deleted)
        logEvent(kind->category, LogLevel::Info, kind->deleteSucceeded, id);
    else
        logEvent(kind->category, LogLevel::Error, kind->deleteFailed, id,
                 deleted.error().description);
}

bool CloudKitHandoffService::noteRefused(const CommandRecordKind& kind, const CloudRecord& record,
                                         const QString& id) {
    const QString written =
        record.modified ? QString::number(record.modified->secondsSinceReferenceDate, 'f', 6)
                        : QString();
    const QString key = kind.recordType + QLatin1Char('|') + record.recordName + QLatin1Char('|') +
                        id + QLatin1Char('|') + written;
    // Each target has one record per kind, so the set stays as small as the kinds; a bound
    // keeps a server that rewrites them endlessly from growing it.
    if (m_refusedCommands.size() >= kRefusedCommandsKept)
        m_refusedCommands.clear();
    if (m_refusedCommands.contains(key))
        return false;
    m_refusedCommands.insert(key);
    return true;
}

template QCoro::Task<Result<std::optional<PlaybackState>>>
CloudKitHandoffService::fetchCommandRecord(const CommandRecordKind*, CommandDecoder<PlaybackState>,
                                           QString);
template QCoro::Task<Result<std::optional<QString>>>
CloudKitHandoffService::fetchCommandRecord(const CommandRecordKind*, CommandDecoder<QString>,
                                           QString);

QCoro::Task<Status> CloudKitHandoffService::ensureSubscription(QString subscriptionID,
                                                               QString recordType, QString deviceID,
                                                               QString typeName) {
    const std::stop_token stop = m_tasks.token();
    SONAVERT_CO_TRY(co_await ensureAccountAvailable());
    auto database = m_database;
    const auto existing = co_await database->fetchSubscription(subscriptionID, requestOptions());
    if (existing) {
        logEvent(LogCategory::Push, LogLevel::Debug,
                 "event=subscription_exists type=%{public}s subscription_id=%{private,mask.hash}s",
                 typeName, subscriptionID);
        co_return Status();
    }
    if (!isCloudError(existing.error(), CloudErrorCode::UnknownItem))
        co_return existing.error();
    const Status saved = co_await database->saveSubscription(
        subscriptionFor(subscriptionID, recordType, deviceID), requestOptions());
    if (!saved)
        co_return saved;
    logEvent(LogCategory::Push, LogLevel::Info,
             "event=subscription_created type=%{public}s subscription_id=%{private,mask.hash}s",
             typeName, subscriptionID);
    co_return Status();
}

QCoro::Task<Result<CloudRecord>> CloudKitHandoffService::fetchTransferRecord(QString recordName) {
    auto database = m_database;
    const auto fetched = co_await database->fetchRecords(kDefaultZone, listOf(recordName),
                                                         std::nullopt, requestOptions());
    SONAVERT_CO_TRY(fetched);
    if (fetched.value().isEmpty())
        co_return cloudError(CloudErrorCode::InternalError);
    co_return fetched.value().first();
}

QCoro::Task<Status> CloudKitHandoffService::deleteTransferRecord(QString recordName) {
    auto database = m_database;
    const ModifyResult deleted =
        co_await database->modifyRecords(kDefaultZone, QList<RecordSave>(), listOf(recordName),
                                         SavePolicy::AllKeys, requestOptions());
    co_return deleted.overall;
}

} // namespace sonavert
