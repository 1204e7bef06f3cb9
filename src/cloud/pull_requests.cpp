// Pull requests: written by the requester to the source device, fetched and consumed there. A
// request carries its id sealed as its proof: the source hands its song only to a holder of the
// account key, never to a request the server made up.

#include "src/cloud/cloud_kit_handoff_service_p.h"

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

void logPullRequestRejected(const ReceivedCommand& command) {
    logEvent(LogCategory::Pull, LogLevel::Default,
             "event=pull_request_rejected request_id=%{public}s reason=invalid_or_expired",
             command.id);
}

const CommandRecordKind kPullRequestKind{
    .recordType = QStringLiteral("HandoffRequest"),
    .namePrefix = QStringLiteral("pullrequest_"),
    .idField = QStringLiteral("requestID"),
    .payloadField = QStringLiteral("requesterDeviceID"),
    .proofField = QStringLiteral("proof"),
    .retryKind = QStringLiteral("pull"),
    .category = LogCategory::Pull,
    .saveSucceeded = "event=pull_request_save_succeeded request_id=%{public}s attempt=%{public}ld "
                     "duration_seconds=%{public}f",
    .saveTimedOut = "event=pull_request_save_timed_out request_id=%{public}s "
                    "attempts=%{public}ld timeout_seconds_per_attempt=%{public}f",
    .saveFailed = "event=pull_request_save_failed request_id=%{public}s error=%{private}s",
    .fetchStarted = {},
    .fetchNotFound = {},
    .deleteSucceeded = "event=pull_request_delete_succeeded request_id=%{public}s",
    .deleteFailed = "event=pull_request_delete_failed request_id=%{public}s error=%{private}s",
    .logRejected = logPullRequestRejected,
    .duplicateIgnored = "event=pull_request_duplicate_ignored request_id=%{public}s",
};

Result<CloudRecord> pullRequestRecord(const QString& sourceID, const QString& requesterID,
                                      const QString& requestID, Timestamp now) {
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_request_save_started request_id=%{public}s "
             "source_device_id=%{private,mask.hash}s "
             "requester_device_id=%{private,mask.hash}s",
             requestID, sourceID, requesterID);
    CloudRecord record{kPullRequestKind.namePrefix + sourceID,
                       kPullRequestKind.recordType,
                       {},
                       std::nullopt,
                       std::nullopt};
    record.fields.insert(QStringLiteral("targetDeviceID"), FieldValue(sourceID));
    record.fields.insert(QStringLiteral("requesterDeviceID"), FieldValue(requesterID));
    record.fields.insert(QStringLiteral("requestID"), FieldValue(requestID));
    record.fields.insert(QStringLiteral("timestamp"), FieldValue(now));
    record.fields.insert(kPullRequestKind.proofField, FieldValue(requestID));
    return record;
}

Result<QString> requesterOf(const ReceivedCommand& command) {
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_request_fetched request_id=%{public}s "
             "requester_device_id=%{private,mask.hash}s "
             "age_seconds=%{public}f",
             command.id, *command.payload, command.ageSeconds);
    return *command.payload;
}

} // namespace

QCoro::Task<Status> CloudKitHandoffService::sendPullRequest(QString sourceDeviceID,
                                                            QString requesterDeviceID) {
    CommandRecordDraft draft = [sourceDeviceID, requesterDeviceID](const QString& id,
                                                                   Timestamp now) {
        return pullRequestRecord(sourceDeviceID, requesterDeviceID, id, now);
    };
    co_return co_await sendCommandRecord(&kPullRequestKind, std::move(draft));
}

QCoro::Task<Status> CloudKitHandoffService::ensurePullSubscription(QString deviceID) {
    co_return co_await ensureSubscription(QStringLiteral("pull-sub-") + deviceID,
                                          kPullRequestKind.recordType, deviceID,
                                          QStringLiteral("pull"));
}

QCoro::Task<Result<std::optional<QString>>>
CloudKitHandoffService::fetchPullRequest(QString deviceID) {
    CommandDecoder<QString> decode = requesterOf;
    co_return co_await fetchCommandRecord(&kPullRequestKind, std::move(decode), deviceID);
}

} // namespace sonavert
