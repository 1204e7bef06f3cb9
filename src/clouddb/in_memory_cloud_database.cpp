#include "src/clouddb/in_memory_cloud.h"

#include <algorithm>

namespace sonavert::clouddb {

namespace {
constexpr qsizetype kMaxItemsPerRequest = 200;
constexpr Duration kNeverAnswers = std::chrono::hours(24 * 365);

CloudRecord withKeys(CloudRecord record, const std::optional<QStringList>& desiredKeys) {
    if (!desiredKeys)
        return record;
    QMap<QString, FieldValue> kept;
    for (const QString& key : *desiredKeys)
        if (record.fields.contains(key))
            kept.insert(key, record.fields.value(key));
    record.fields = kept;
    return record;
}

Error itemError(Error error, const QString& itemID) {
    error.itemID = itemID;
    return error;
}
} // namespace

InMemoryCloudDatabase::InMemoryCloudDatabase(std::shared_ptr<InMemoryCloud> cloud, QString account)
    : m_cloud(std::move(cloud))
    , m_account(std::move(account)) {}

void InMemoryCloudDatabase::addFault(const QString& operation, RequestFault fault) {
    m_faults[operation].push_back(std::move(fault));
}

QCoro::Task<std::optional<Error>> InMemoryCloudDatabase::enter(QString operation,
                                                               RequestOptions options) {
    ++requestCounts[operation];
    std::optional<RequestFault> fault;
    if (auto& queue = m_faults[operation]; !queue.empty()) {
        fault = queue.front();
        queue.pop_front();
    }
    auto clock = m_cloud->m_clock;
    const Duration wait = latency + (fault ? fault->delay : Duration::zero());
    using Kind = RequestFault::Kind;
    if (fault && fault->kind == Kind::Hang) {
        co_await clock->sleep(kNeverAnswers, options.cancellation);
        ++cancelledCount;
        co_return cloudError(CloudErrorCode::OperationCancelled);
    }
    if (fault && fault->kind == Kind::LateAnswer) {
        co_await clock->sleep(wait);
        cancelledCount += options.cancellation.stop_requested();
        co_return std::nullopt;
    }
    const bool timesOut = wait > options.timeout;
    bool isCancelled = options.cancellation.stop_requested();
    if (wait > Duration::zero())
        isCancelled = !co_await clock->sleep(std::min(wait, options.timeout), options.cancellation);
    if (isCancelled) {
        ++cancelledCount;
        co_return cloudError(CloudErrorCode::OperationCancelled);
    }
    if (timesOut)
        co_return cloudError(CloudErrorCode::NetworkFailure,
                             QStringLiteral("the request timed out"));
    if (fault && fault->kind == Kind::Fail)
        co_return fault->error;
    co_return std::nullopt;
}

QCoro::Task<Result<AccountStatus>> InMemoryCloudDatabase::accountStatus(RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("accountStatus"), options))
        co_return *error;
    co_return AccountStatus(m_cloud->account(m_account).status);
}

QCoro::Task<Result<QString>> InMemoryCloudDatabase::userRecordName(RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("userRecordName"), options))
        co_return *error;
    co_return QString(m_cloud->account(m_account).userRecordName);
}

QCoro::Task<Status> InMemoryCloudDatabase::saveZone(QString zoneName, RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("saveZone"), options))
        co_return *error;
    m_cloud->createZone(m_cloud->account(m_account), zoneName);
    co_return Status();
}

QCoro::Task<Status> InMemoryCloudDatabase::deleteZone(QString zoneName, RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("deleteZone"), options))
        co_return *error;
    m_cloud->deleteZone(m_cloud->account(m_account), zoneName, false);
    co_return Status();
}

QCoro::Task<ModifyResult> InMemoryCloudDatabase::modifyRecords(QString zoneName,
                                                               QList<RecordSave> saves,
                                                               QStringList deletions,
                                                               SavePolicy policy,
                                                               RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("modifyRecords"), options))
        co_return ModifyResult{{}, *error};
    if (saves.size() + deletions.size() > kMaxItemsPerRequest)
        co_return ModifyResult{{}, cloudError(CloudErrorCode::LimitExceeded)};
    auto zone = m_cloud->liveZone(m_cloud->account(m_account), zoneName);
    if (!zone)
        co_return ModifyResult{{}, zone.error()};
    if (policy == SavePolicy::IfNew) {
        // As the server does: the whole write fails, nothing of it is applied.
        for (const RecordSave& save : saves)
            if (m_cloud->hasLiveRecord(*zone.value(), save.record.recordName))
                co_return ModifyResult{
                    {}, cloudError(CloudErrorCode::ServerRecordChanged, save.record.recordName)};
    }
    ModifyResult result;
    std::vector<Error> itemErrors;
    for (const RecordSave& save : saves) {
        const auto injected = m_recordErrors.find(save.record.recordName);
        if (injected == m_recordErrors.end()) {
            result.outcomes << m_cloud->applySave(m_account, *zone.value(), zoneName, save, policy);
            continue;
        }
        Error error = itemError(injected->second, save.record.recordName);
        itemErrors.push_back(error);
        result.outcomes << RecordOutcome{save.record.recordName, false, std::nullopt, error};
    }
    for (const QString& name : deletions)
        result.outcomes << m_cloud->applyDelete(m_account, *zone.value(), zoneName, name);
    if (!itemErrors.empty())
        result.overall = partialFailure(std::move(itemErrors));
    co_return result;
}

QCoro::Task<Result<QList<Result<CloudRecord>>>>
InMemoryCloudDatabase::fetchRecords(QString zoneName, QStringList recordNames,
                                    std::optional<QStringList> desiredKeys,
                                    RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("fetchRecords"), options))
        co_return *error;
    if (recordNames.size() > kMaxItemsPerRequest)
        co_return cloudError(CloudErrorCode::LimitExceeded);
    auto zone = m_cloud->liveZone(m_cloud->account(m_account), zoneName);
    SONAVERT_CO_TRY(zone);
    QList<Result<CloudRecord>> results;
    for (const QString& name : recordNames) {
        const auto found = zone.value()->records.find(name);
        if (found == zone.value()->records.end() || found->second.isDeleted)
            results << Result<CloudRecord>(
                itemError(cloudError(CloudErrorCode::UnknownItem), name));
        else
            results << Result<CloudRecord>(withKeys(found->second.record, desiredKeys));
    }
    co_return results;
}

QCoro::Task<Result<ZoneChanges>>
InMemoryCloudDatabase::fetchZoneChanges(QString zoneName, std::optional<QByteArray> token,
                                        RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("fetchZoneChanges"), options))
        co_return *error;
    auto zone = m_cloud->liveZone(m_cloud->account(m_account), zoneName);
    SONAVERT_CO_TRY(zone);
    qint64 since = 0;
    if (token) {
        const auto sequence = m_cloud->sequenceOf(*token, m_account, zoneName, *zone.value());
        SONAVERT_CO_TRY(sequence);
        since = sequence.value();
    }
    std::vector<const InMemoryCloud::StoredRecord*> changed;
    for (const auto& [name, stored] : zone.value()->records)
        if (stored.sequence > since && (token || !stored.isDeleted))
            changed.push_back(&stored);
    std::sort(changed.begin(), changed.end(),
              [](auto* a, auto* b) { return a->sequence < b->sequence; });
    ZoneChanges changes;
    for (const auto* stored : changed) {
        if (stored->isDeleted)
            changes.deleted << stored->record.recordName;
        else
            changes.changed << stored->record;
    }
    changes.token = m_cloud->makeToken(m_account, zoneName, *zone.value());
    co_return changes;
}

QCoro::Task<Result<Subscription>> InMemoryCloudDatabase::fetchSubscription(QString subscriptionID,
                                                                           RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("fetchSubscription"), options))
        co_return *error;
    const auto& subscriptions = m_cloud->account(m_account).subscriptions;
    const auto found = subscriptions.find(subscriptionID);
    if (found == subscriptions.end())
        co_return itemError(cloudError(CloudErrorCode::UnknownItem), subscriptionID);
    co_return Subscription(found->second);
}

QCoro::Task<Status> InMemoryCloudDatabase::saveSubscription(Subscription subscription,
                                                            RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("saveSubscription"), options))
        co_return *error;
    m_cloud->account(m_account).subscriptions[subscription.subscriptionID] = subscription;
    co_return Status();
}

QCoro::Task<Status> InMemoryCloudDatabase::deleteSubscription(QString subscriptionID,
                                                              RequestOptions options) {
    if (auto error = co_await enter(QStringLiteral("deleteSubscription"), options))
        co_return *error;
    if (m_cloud->account(m_account).subscriptions.erase(subscriptionID) == 0)
        co_return itemError(cloudError(CloudErrorCode::UnknownItem), subscriptionID);
    co_return Status();
}

InMemoryPushChannel::InMemoryPushChannel(std::shared_ptr<InMemoryCloud> cloud, QString account)
    : m_cloud(std::move(cloud))
    , m_account(std::move(account)) {}

InMemoryPushChannel::~InMemoryPushChannel() {
    close();
}

void InMemoryPushChannel::open() {
    if (m_isConnected)
        return;
    auto& owner = m_cloud->account(m_account);
    owner.channels.removeAll(nullptr);
    owner.channels << this;
    m_isConnected = true;
    // What was missed while away comes first, as a reconnecting client with `since` gets it.
    const bool hasGap =
        m_lastSeenID > 0 && !owner.backlog.empty() && owner.backlog.front().id > m_lastSeenID + 1;
    QList<PushNotification> missed;
    for (const auto& notification : owner.backlog)
        if (m_lastSeenID > 0 && notification.id > m_lastSeenID)
            missed << notification;
    if (m_lastSeenID == 0 && !owner.backlog.empty())
        m_lastSeenID = owner.backlog.back().id;
    QMetaObject::invokeMethod(
        this,
        [this, hasGap, missed] {
            Q_EMIT connected();
            if (hasGap)
                Q_EMIT resetRequired();
            for (const auto& notification : missed)
                deliver(notification);
        },
        Qt::QueuedConnection);
}

void InMemoryPushChannel::close() {
    if (!m_isConnected)
        return;
    m_isConnected = false;
    m_cloud->account(m_account).channels.removeAll(this);
}

void InMemoryPushChannel::deliver(const PushNotification& notification) {
    QMetaObject::invokeMethod(
        this,
        [this, notification] {
            if (!m_isConnected || notification.id <= m_lastSeenID)
                return;
            m_lastSeenID = notification.id;
            Q_EMIT notificationReceived(notification);
        },
        Qt::QueuedConnection);
}

void InMemoryPushChannel::drop() {
    close();
    Q_EMIT disconnected(QStringLiteral("connection lost"));
    QMetaObject::invokeMethod(
        this, [this] { open(); }, Qt::QueuedConnection);
}

} // namespace sonavert::clouddb
