// "Nothing plays here" answers to pull requests: the source writes one to the requester so
// that the requester can stop waiting at once instead of running into its timeout. The record
// is a handoff command by type, so the requester's handoff subscription wakes it, but it has
// its own name: older devices read only "handoff_" + their id and never see it, and it can
// never replace a handoff that waits for the requester. Like a pull request it carries its id
// sealed as its proof, so the server cannot end a pull by answering in the source's name.

#include "src/cloud/cloud_kit_handoff_service_p.h"

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

void logReplyRejected(const ReceivedCommand& command) {
    logEvent(LogCategory::Pull, LogLevel::Default,
             "event=pull_unavailable_rejected reply_id=%{public}s reason=invalid_or_expired",
             command.id);
}

const CommandRecordKind kPullUnavailableKind{
    .recordType = QStringLiteral("HandoffCommand"),
    .namePrefix = QStringLiteral("pullunavailable_"),
    .idField = QStringLiteral("replyID"),
    .payloadField = QStringLiteral("sourceDeviceID"),
    .proofField = QStringLiteral("proof"),
    .retryKind = QStringLiteral("pull"),
    .category = LogCategory::Pull,
    .saveSucceeded = "event=pull_unavailable_save_succeeded reply_id=%{public}s "
                     "attempt=%{public}ld duration_seconds=%{public}f",
    .saveTimedOut = "event=pull_unavailable_save_timed_out reply_id=%{public}s "
                    "attempts=%{public}ld timeout_seconds_per_attempt=%{public}f",
    .saveFailed = "event=pull_unavailable_save_failed reply_id=%{public}s error=%{private}s",
    .fetchStarted = {},
    .fetchNotFound = {},
    .deleteSucceeded = "event=pull_unavailable_delete_succeeded reply_id=%{public}s",
    .deleteFailed = "event=pull_unavailable_delete_failed reply_id=%{public}s error=%{private}s",
    .logRejected = logReplyRejected,
    .duplicateIgnored = "event=pull_unavailable_duplicate_ignored reply_id=%{public}s",
};

Result<CloudRecord> replyRecord(const QString& requesterID, const QString& sourceID,
                                const QString& replyID, Timestamp now) {
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_unavailable_save_started reply_id=%{public}s "
             "requester_device_id=%{private,mask.hash}s",
             replyID, requesterID);
    CloudRecord record{kPullUnavailableKind.namePrefix + requesterID,
                       kPullUnavailableKind.recordType,
                       {},
                       std::nullopt,
                       std::nullopt};
    record.fields.insert(QStringLiteral("targetDeviceID"), FieldValue(requesterID));
    record.fields.insert(QStringLiteral("replyID"), FieldValue(replyID));
    record.fields.insert(QStringLiteral("sourceDeviceID"), FieldValue(sourceID));
    record.fields.insert(QStringLiteral("timestamp"), FieldValue(now));
    record.fields.insert(kPullUnavailableKind.proofField, FieldValue(replyID));
    return record;
}

Result<QString> sourceOf(const ReceivedCommand& command) {
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_unavailable_fetched reply_id=%{public}s "
             "source_device_id=%{private,mask.hash}s age_seconds=%{public}f",
             command.id, *command.payload, command.ageSeconds);
    return *command.payload;
}

} // namespace

QCoro::Task<Status> CloudKitHandoffService::sendPullUnavailable(QString requesterDeviceID,
                                                                QString sourceDeviceID) {
    CommandRecordDraft draft = [requesterDeviceID, sourceDeviceID](const QString& id,
                                                                   Timestamp now) {
        return replyRecord(requesterDeviceID, sourceDeviceID, id, now);
    };
    co_return co_await sendCommandRecord(&kPullUnavailableKind, std::move(draft));
}

QCoro::Task<Result<std::optional<QString>>>
CloudKitHandoffService::fetchPullUnavailable(QString deviceID) {
    CommandDecoder<QString> decode = sourceOf;
    co_return co_await fetchCommandRecord(&kPullUnavailableKind, std::move(decode), deviceID);
}

} // namespace sonavert
