// Bounded one-shot writes: one attempt races an 8-second watchdog through a CompletionGate;
// only a watchdog timeout is retried, up to three attempts in all, with no pause.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/cloud/completion_gate.h"
#include "src/cloud/service_error.h"

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

QCoro::Task<> runWatchdog(std::shared_ptr<Clock> clock, Duration timeout, std::stop_token cancelled,
                          std::shared_ptr<CompletionGate> gate,
                          std::shared_ptr<std::stop_source> operation) {
    // An interrupted sleep goes on to the checks all the same.
    co_await clock->sleep(timeout, cancelled);
    if (cancelled.stop_requested())
        co_return;
    // The operation is cancelled only after the gate has decided; its late result (the
    // cancellation error included) then finds the gate completed and is dropped.
    if (gate->complete(service_error::requestTimedOut()))
        operation->request_stop();
}

QCoro::Task<> runOperation(std::shared_ptr<CloudDatabase> database, QList<RecordSave> saves,
                           RequestOptions options, std::shared_ptr<CompletionGate> gate,
                           std::shared_ptr<std::stop_source> watchdog) {
    const ModifyResult result = co_await database->modifyRecords(kDefaultZone, saves, QStringList(),
                                                                 SavePolicy::AllKeys, options);
    if (gate->complete(result.overall))
        watchdog->request_stop();
}

QList<RecordSave> savesOf(const QList<CloudRecord>& records) {
    QList<RecordSave> saves;
    for (const CloudRecord& record : records)
        saves.append(RecordSave{record, QStringList()});
    return saves;
}

} // namespace

QCoro::Task<Status>
CloudKitHandoffService::performPublicationAttempt(QList<CloudRecord> recordsToSave) {
    auto gate = std::make_shared<CompletionGate>();
    auto operationCancel = std::make_shared<std::stop_source>();
    auto watchdogCancel = std::make_shared<std::stop_source>();
    RequestOptions options;
    options.timeout = kAttemptTimeout;
    options.cancellation = operationCancel->get_token();
    // The watchdog starts first, so that when its deadline and the request timeout fall on the
    // same instant the watchdog's timeout is the one the caller sees.
    runWatchdog(m_clock, kAttemptTimeout, watchdogCancel->get_token(), gate, operationCancel);
    runOperation(m_database, savesOf(recordsToSave), options, gate, watchdogCancel);
    co_return co_await gate->outcome();
}

QCoro::Task<Result<int>> CloudKitHandoffService::publishWithRetry(QList<CloudRecord> recordsToSave,
                                                                  QString correlationID,
                                                                  QString kind) {
    const std::stop_token stop = m_tasks.token();
    for (int attempt = 1;; ++attempt) {
        const Status outcome = co_await performPublicationAttempt(recordsToSave);
        if (outcome)
            co_return attempt;
        if (stop.stop_requested() || !service_error::isRequestTimedOut(outcome.error()) ||
            attempt == kMaximumAttempts)
            co_return outcome.error();
        logEvent(LogCategory::CloudKit, LogLevel::Default,
                 "event=publication_retry_scheduled kind=%{public}s correlation_id=%{public}s "
                 "completed_attempt=%{public}ld next_attempt=%{public}ld",
                 kind, correlationID, attempt, attempt + 1);
    }
}

} // namespace sonavert
