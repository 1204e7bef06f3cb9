// Handoff commands: the playback state sent to a target device, which consumes it within 60
// seconds; and the queued-push probe over the handoffs this device sent.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/cloud/service_error.h"
#include "src/model/record_json.h"

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

void logHandoffRejected(const ReceivedCommand& command) {
    logEvent(LogCategory::Handoff, LogLevel::Default,
             "event=handoff_rejected message_id=%{public}s reason=invalid_or_expired "
             "age_seconds=%{public}f "
             "has_payload=%{bool,public}d",
             command.id, command.ageSeconds, command.hasPayloadField);
}

const CommandRecordKind kHandoffKind{
    .recordType = QStringLiteral("HandoffCommand"),
    .namePrefix = QStringLiteral("handoff_"),
    .idField = QStringLiteral("messageID"),
    .payloadField = QStringLiteral("payload"),
    .proofField = {}, // the payload is sealed, bound to the record
    .retryKind = QStringLiteral("handoff"),
    .category = LogCategory::Handoff,
    .saveSucceeded = "event=handoff_save_succeeded message_id=%{public}s attempt=%{public}ld "
                     "duration_seconds=%{public}f",
    .saveTimedOut = "event=handoff_save_timed_out message_id=%{public}s attempts=%{public}ld "
                    "timeout_seconds_per_attempt=%{public}f",
    .saveFailed = "event=handoff_save_failed message_id=%{public}s error=%{private}s",
    .fetchStarted = "event=handoff_fetch_started target_device_id=%{private,mask.hash}s",
    .fetchNotFound = "event=handoff_fetch_not_found duration_seconds=%{public}f",
    .deleteSucceeded = "event=handoff_delete_succeeded message_id=%{public}s",
    .deleteFailed = "event=handoff_delete_failed message_id=%{public}s error=%{private}s",
    .logRejected = logHandoffRejected,
    .acceptsQueuedWhileOff = true,
    .isSettledLater = true,
    .duplicateIgnored = "event=handoff_duplicate_ignored message_id=%{public}s",
};

Error encodingError() {
    return makeError(service_error::EncodingCode::CannotEncode,
                     QStringLiteral("The playback state could not be encoded for sending."));
}

Error decodingError() {
    return makeError(
        service_error::DecodingCode::WrongFormat,
        QStringLiteral("The handoff could not be read because it is not in the correct format."));
}

Result<CloudRecord> handoffRecord(const PlaybackState& state, const QString& targetID,
                                  const QString& messageID, Timestamp now) {
    const auto json = encodeJson(state);
    if (!json)
        return encodingError();
    logEvent(
        LogCategory::Handoff, LogLevel::Info,
        "event=handoff_save_started message_id=%{public}s target_device_id=%{private,mask.hash}s "
        "payload_bytes=%{public}ld",
        messageID, targetID, json->size());
    CloudRecord record{kHandoffKind.namePrefix + targetID,
                       kHandoffKind.recordType,
                       {},
                       std::nullopt,
                       std::nullopt};
    record.fields.insert(QStringLiteral("targetDeviceID"), FieldValue(targetID));
    record.fields.insert(QStringLiteral("messageID"), FieldValue(messageID));
    record.fields.insert(QStringLiteral("schemaVersion"), FieldValue(qint64(1)));
    record.fields.insert(QStringLiteral("payload"), FieldValue(QString::fromUtf8(*json)));
    record.fields.insert(QStringLiteral("timestamp"), FieldValue(now));
    return record;
}

Result<PlaybackState> decodeHandoff(const ReceivedCommand& command) {
    const QByteArray bytes = command.payload->toUtf8();
    logEvent(LogCategory::Handoff, LogLevel::Info,
             "event=handoff_fetch_succeeded message_id=%{public}s age_seconds=%{public}f "
             "payload_bytes=%{public}ld "
             "duration_seconds=%{public}f",
             command.id, command.ageSeconds, bytes.size(), command.fetchSeconds);
    auto state = decodePlaybackState(bytes);
    if (!state) {
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_decode_failed message_id=%{public}s error=%{private}s", command.id,
                 decodingError().description);
        return decodingError();
    }
    state->handoffMessageID = command.id;
    return *state;
}

} // namespace

QCoro::Task<Status> CloudKitHandoffService::sendHandoff(PlaybackState state,
                                                        QString targetDeviceID) {
    const std::stop_token stop = m_tasks.token();
    CommandRecordDraft draft = [state, targetDeviceID](const QString& id, Timestamp now) {
        return handoffRecord(state, targetDeviceID, id, now);
    };
    const Status sent = co_await sendCommandRecord(&kHandoffKind, std::move(draft));
    // The queued-push probe asks about the targets marked here.
    if (sent && !stop.stop_requested())
        m_outboundSent.insert(targetDeviceID);
    co_return sent;
}

QCoro::Task<QSet<QString>> CloudKitHandoffService::fetchQueuedPushTargets() {
    if (m_outboundSent.isEmpty())
        co_return QSet<QString>();
    const std::stop_token stop = m_tasks.token();
    if (!co_await ensureAccountAvailable() || stop.stop_requested())
        co_return QSet<QString>();
    const QString& prefix = kHandoffKind.namePrefix;
    QStringList names;
    for (const QString& target : m_outboundSent)
        names << prefix + target;
    auto database = m_database;
    const auto found =
        co_await database->fetchRecords(kDefaultZone, names, QStringList(), requestOptions());
    if (stop.stop_requested())
        co_return QSet<QString>();
    if (!found) {
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=queued_push_probe_failed error=%{private}s", found.error().description);
        co_return QSet<QString>(m_outboundSent);
    }
    // Only targets that were asked about and found missing leave the set: a send that
    // succeeded while this lookup was in flight added a target the lookup never asked about,
    // and replacing the set wholesale would lose its queued mark.
    QSet<QString> consumed;
    for (qsizetype i = 0; i < found.value().size() && i < names.size(); ++i)
        if (!found.value()[i].ok())
            consumed.insert(names[i].mid(prefix.size()));
    m_outboundSent.subtract(consumed);
    co_return QSet<QString>(m_outboundSent);
}

QCoro::Task<Status> CloudKitHandoffService::ensureHandoffSubscription(QString deviceID) {
    co_return co_await ensureSubscription(QStringLiteral("handoff-sub-") + deviceID,
                                          kHandoffKind.recordType, deviceID,
                                          QStringLiteral("handoff"));
}

QCoro::Task<Result<std::optional<PlaybackState>>>
CloudKitHandoffService::fetchHandoff(QString deviceID) {
    // What was taken and not yet played comes first: after a restart it is the song the user
    // is waiting for, and nothing new is taken while it waits.
    if (const auto taken = m_ledger.taken())
        co_return restoreTakenHandoff(*taken);
    CommandDecoder<PlaybackState> decode = decodeHandoff;
    co_return co_await fetchCommandRecord(&kHandoffKind, std::move(decode), deviceID);
}

void CloudKitHandoffService::settleHandoff(QString messageID) {
    m_ledger.settle(messageID);
}

Result<std::optional<PlaybackState>>
CloudKitHandoffService::restoreTakenHandoff(const TakenCommand& taken) {
    logEvent(LogCategory::Handoff, LogLevel::Info,
             "event=handoff_taken_restored message_id=%{public}s taken_seconds_ago=%{public}f",
             taken.id, m_clock->now().secondsSince(taken.takenAt));
    auto state = decodePlaybackState(taken.payload.toUtf8());
    if (!state) {
        // It was decoded once before it was taken, so only damage to the stored copy gets here;
        // settling it keeps a damaged copy from blocking every later handoff.
        m_ledger.settle(taken.id);
        return decodingError();
    }
    state->handoffMessageID = taken.id;
    return std::optional<PlaybackState>(*state);
}

} // namespace sonavert
