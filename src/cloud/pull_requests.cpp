// Pull requests: written by the requester to the source device, fetched and consumed there.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/cloud/service_error.h"
#include "src/model/device_identity_store.h"

#include <QPointer>

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

const QString kRequestType = QStringLiteral("HandoffRequest");
const QString kRequestPrefix = QStringLiteral("pullrequest_");

CloudRecord pullRequestRecord(const QString& sourceID, const QString& requesterID,
                              const QString& requestID, Timestamp now) {
    CloudRecord record{kRequestPrefix + sourceID, kRequestType, {}, std::nullopt, std::nullopt};
    record.fields.insert(QStringLiteral("targetDeviceID"), FieldValue(sourceID));
    record.fields.insert(QStringLiteral("requesterDeviceID"), FieldValue(requesterID));
    record.fields.insert(QStringLiteral("requestID"), FieldValue(requestID));
    record.fields.insert(QStringLiteral("timestamp"), FieldValue(now));
    return record;
}

} // namespace

QCoro::Task<Status> CloudKitHandoffService::sendPullRequest(QString sourceDeviceID,
                                                            QString requesterDeviceID) {
    QPointer guard(this);
    if (const auto account = co_await ensureAccountAvailable(); !account)
        co_return account.error();
    if (!guard)
        co_return Status();
    const QString requestID = makeUpperCaseUUID();
    const Duration start = m_clock->monotonicNow();
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_request_save_started request_id=%{public}s "
             "source_device_id=%{private,mask.hash}s "
             "requester_device_id=%{private,mask.hash}s",
             requestID, sourceDeviceID, requesterDeviceID);
    const CloudRecord record =
        pullRequestRecord(sourceDeviceID, requesterDeviceID, requestID, m_clock->now());
    const Result<int> sent =
        co_await publishWithRetry(listOf(record), requestID, QStringLiteral("pull"));
    if (sent) {
        logEvent(LogCategory::Pull, LogLevel::Info,
                 "event=pull_request_save_succeeded request_id=%{public}s attempt=%{public}ld "
                 "duration_seconds=%{public}f",
                 requestID, sent.value(), secondsBetween(start, m_clock->monotonicNow()));
        co_return Status();
    }
    if (service_error::isRequestTimedOut(sent.error()))
        logEvent(LogCategory::Pull, LogLevel::Error,
                 "event=pull_request_save_timed_out request_id=%{public}s attempts=%{public}ld "
                 "timeout_seconds_per_attempt=%{public}f",
                 requestID, kMaximumAttempts,
                 std::chrono::duration<double>(kAttemptTimeout).count());
    else
        logEvent(LogCategory::Pull, LogLevel::Error,
                 "event=pull_request_save_failed request_id=%{public}s error=%{private}s",
                 requestID, sent.error().description);
    co_return sent.error();
}

QCoro::Task<Status> CloudKitHandoffService::ensurePullSubscription(QString deviceID) {
    co_return co_await ensureSubscription(QStringLiteral("pull-sub-") + deviceID, kRequestType,
                                          deviceID, QStringLiteral("pull"));
}

QCoro::Task<Result<std::optional<QString>>>
CloudKitHandoffService::fetchPullRequest(QString deviceID) {
    using Fetched = std::optional<QString>;
    QPointer guard(this);
    if (const auto account = co_await ensureAccountAvailable(); !account)
        co_return account.error();
    const auto fetched = co_await fetchTransferRecord(kRequestPrefix + deviceID);
    if (!guard)
        co_return Fetched();
    if (!fetched) {
        if (!isCloudError(fetched.error(), CloudErrorCode::UnknownItem))
            co_return fetched.error();
        co_return Fetched();
    }
    const CloudRecord& record = fetched.value();
    const QString requestID =
        record.string(QStringLiteral("requestID")).value_or(QStringLiteral("legacy"));
    const auto timestamp = record.timestamp(QStringLiteral("timestamp"));
    const auto requester = record.string(QStringLiteral("requesterDeviceID"));
    const double age = timestamp ? m_clock->now().secondsSince(*timestamp) : -1.0;
    if (!timestamp || age >= kMaximumCommandAgeSeconds || !requester) {
        logEvent(LogCategory::Pull, LogLevel::Default,
                 "event=pull_request_rejected request_id=%{public}s reason=invalid_or_expired",
                 requestID);
        co_return Fetched();
    }
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_request_fetched request_id=%{public}s "
             "requester_device_id=%{private,mask.hash}s "
             "age_seconds=%{public}f",
             requestID, *requester, age);
    const Status deleted = co_await deleteTransferRecord(record.recordName);
    if (deleted)
        logEvent(LogCategory::Pull, LogLevel::Info,
                 "event=pull_request_delete_succeeded request_id=%{public}s", requestID);
    else
        logEvent(LogCategory::Pull, LogLevel::Error,
                 "event=pull_request_delete_failed request_id=%{public}s error=%{private}s",
                 requestID, deleted.error().description);
    co_return Fetched(*requester);
}

} // namespace sonavert
