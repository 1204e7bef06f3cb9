// Handoff commands: sending with the queued-push probe, receiving with the 60-second rule,
// subscriptions, and the record fetch and delete that pull requests share.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/cloud/service_error.h"
#include "src/model/device_identity_store.h"
#include "src/model/record_json.h"

#include <QPointer>

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

const QString kHandoffType = QStringLiteral("HandoffCommand");
const QString kHandoffPrefix = QStringLiteral("handoff_");
const QString kLegacyID = QStringLiteral("legacy");

CloudRecord handoffRecord(const QString& targetID, const QString& messageID, const QString& payload,
                          Timestamp now) {
    CloudRecord record{kHandoffPrefix + targetID, kHandoffType, {}, std::nullopt, std::nullopt};
    record.fields.insert(QStringLiteral("targetDeviceID"), FieldValue(targetID));
    record.fields.insert(QStringLiteral("messageID"), FieldValue(messageID));
    record.fields.insert(QStringLiteral("schemaVersion"), FieldValue(qint64(1)));
    record.fields.insert(QStringLiteral("payload"), FieldValue(payload));
    record.fields.insert(QStringLiteral("timestamp"), FieldValue(now));
    return record;
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

Error encodingError() {
    return Error{QStringLiteral("EncodingError"),
                 1,
                 QStringLiteral("The playback state could not be encoded for sending."),
                 {},
                 {},
                 {}};
}

Error decodingError() {
    return Error{
        QStringLiteral("DecodingError"),
        1,
        QStringLiteral("The handoff could not be read because it is not in the correct format."),
        {},
        {},
        {}};
}

} // namespace

QCoro::Task<Status> CloudKitHandoffService::sendHandoff(PlaybackState state,
                                                        QString targetDeviceID) {
    QPointer guard(this);
    if (const auto account = co_await ensureAccountAvailable(); !account)
        co_return account.error();
    if (!guard)
        co_return Status();
    const QString messageID = makeUpperCaseUUID();
    const Duration start = m_clock->monotonicNow();
    const auto json = encodeJson(state);
    if (!json)
        co_return encodingError();
    logEvent(
        LogCategory::Handoff, LogLevel::Info,
        "event=handoff_save_started message_id=%{public}s target_device_id=%{private,mask.hash}s "
        "payload_bytes=%{public}ld",
        messageID, targetDeviceID, json->size());
    const CloudRecord record =
        handoffRecord(targetDeviceID, messageID, QString::fromUtf8(*json), m_clock->now());
    const Result<int> sent =
        co_await publishWithRetry(listOf(record), messageID, QStringLiteral("handoff"));
    if (!guard)
        co_return sent ? Status() : Status(sent.error());
    if (sent) {
        m_outboundSent.insert(targetDeviceID);
        logEvent(LogCategory::Handoff, LogLevel::Info,
                 "event=handoff_save_succeeded message_id=%{public}s attempt=%{public}ld "
                 "duration_seconds=%{public}f",
                 messageID, sent.value(), secondsBetween(start, m_clock->monotonicNow()));
        co_return Status();
    }
    if (service_error::isRequestTimedOut(sent.error()))
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_save_timed_out message_id=%{public}s attempts=%{public}ld "
                 "timeout_seconds_per_attempt=%{public}f",
                 messageID, kMaximumAttempts,
                 std::chrono::duration<double>(kAttemptTimeout).count());
    else
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_save_failed message_id=%{public}s error=%{private}s", messageID,
                 sent.error().description);
    co_return sent.error();
}

QCoro::Task<QSet<QString>> CloudKitHandoffService::fetchQueuedPushTargets() {
    if (m_outboundSent.isEmpty())
        co_return QSet<QString>();
    QPointer guard(this);
    if (!co_await ensureAccountAvailable() || !guard)
        co_return QSet<QString>();
    QStringList names;
    for (const QString& target : m_outboundSent)
        names << kHandoffPrefix + target;
    auto database = m_database;
    const auto found =
        co_await database->fetchRecords(kDefaultZone, names, QStringList(), requestOptions());
    if (!guard)
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
            consumed.insert(names[i].mid(kHandoffPrefix.size()));
    m_outboundSent.subtract(consumed);
    co_return QSet<QString>(m_outboundSent);
}

QCoro::Task<Status> CloudKitHandoffService::ensureSubscription(QString subscriptionID,
                                                               QString recordType, QString deviceID,
                                                               QString typeName) {
    QPointer guard(this);
    if (const auto account = co_await ensureAccountAvailable(); !account)
        co_return account.error();
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

QCoro::Task<Status> CloudKitHandoffService::ensureHandoffSubscription(QString deviceID) {
    co_return co_await ensureSubscription(QStringLiteral("handoff-sub-") + deviceID, kHandoffType,
                                          deviceID, QStringLiteral("handoff"));
}

QCoro::Task<Result<CloudRecord>> CloudKitHandoffService::fetchTransferRecord(QString recordName) {
    auto database = m_database;
    const auto fetched = co_await database->fetchRecords(kDefaultZone, listOf(recordName),
                                                         std::nullopt, requestOptions());
    if (!fetched)
        co_return fetched.error();
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

QCoro::Task<Result<std::optional<PlaybackState>>>
CloudKitHandoffService::fetchHandoff(QString deviceID) {
    using Fetched = std::optional<PlaybackState>;
    QPointer guard(this);
    if (const auto account = co_await ensureAccountAvailable(); !account)
        co_return account.error();
    const Duration start = m_clock->monotonicNow();
    logEvent(LogCategory::Handoff, LogLevel::Debug,
             "event=handoff_fetch_started target_device_id=%{private,mask.hash}s", deviceID);
    const auto fetched = co_await fetchTransferRecord(kHandoffPrefix + deviceID);
    if (!guard)
        co_return Fetched();
    if (!fetched) {
        if (!isCloudError(fetched.error(), CloudErrorCode::UnknownItem))
            co_return fetched.error();
        logEvent(LogCategory::Handoff, LogLevel::Debug,
                 "event=handoff_fetch_not_found duration_seconds=%{public}f",
                 secondsBetween(start, m_clock->monotonicNow()));
        co_return Fetched();
    }
    const CloudRecord& record = fetched.value();
    const QString messageID = record.string(QStringLiteral("messageID")).value_or(kLegacyID);
    const auto timestamp = record.timestamp(QStringLiteral("timestamp"));
    const auto payload = record.string(QStringLiteral("payload"));
    const double age = timestamp ? m_clock->now().secondsSince(*timestamp) : -1.0;
    if (!timestamp || age >= kMaximumCommandAgeSeconds || !payload) {
        logEvent(LogCategory::Handoff, LogLevel::Default,
                 "event=handoff_rejected message_id=%{public}s reason=invalid_or_expired "
                 "age_seconds=%{public}f "
                 "has_payload=%{bool,public}d",
                 messageID, age, record.fields.contains(QStringLiteral("payload")));
        co_return Fetched();
    }
    const QByteArray bytes = payload->toUtf8();
    logEvent(LogCategory::Handoff, LogLevel::Info,
             "event=handoff_fetch_succeeded message_id=%{public}s age_seconds=%{public}f "
             "payload_bytes=%{public}ld "
             "duration_seconds=%{public}f",
             messageID, age, bytes.size(), secondsBetween(start, m_clock->monotonicNow()));
    auto state = decodePlaybackState(bytes);
    if (!state) {
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_decode_failed message_id=%{public}s error=%{private}s", messageID,
                 decodingError().description);
        co_return decodingError();
    }
    const Status deleted = co_await deleteTransferRecord(record.recordName);
    if (deleted)
        logEvent(LogCategory::Handoff, LogLevel::Info,
                 "event=handoff_delete_succeeded message_id=%{public}s", messageID);
    else
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_delete_failed message_id=%{public}s error=%{private}s", messageID,
                 deleted.error().description);
    state->handoffMessageID = messageID;
    co_return state;
}

} // namespace sonavert
