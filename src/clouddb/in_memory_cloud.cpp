#include "src/clouddb/in_memory_cloud.h"

#include <QCryptographicHash>

namespace sonavert::clouddb {

namespace {
constexpr std::size_t kBacklogLimit = 1000;

bool matches(const Subscription& subscription, const CloudRecord& record) {
    if (subscription.recordType != record.recordType)
        return false;
    for (auto it = subscription.filters.begin(); it != subscription.filters.end(); ++it) {
        const auto field = record.fields.constFind(it.key());
        if (field == record.fields.constEnd() || *field != it.value())
            return false;
    }
    return true;
}

bool firesOn(const Subscription& subscription, const QString& reason) {
    if (reason == QLatin1String("create"))
        return subscription.firesOnCreate;
    if (reason == QLatin1String("update"))
        return subscription.firesOnUpdate;
    return subscription.firesOnDelete;
}
} // namespace

std::shared_ptr<InMemoryCloud> InMemoryCloud::create(std::shared_ptr<Clock> clock) {
    return std::shared_ptr<InMemoryCloud>(new InMemoryCloud(std::move(clock)));
}

InMemoryCloud::InMemoryCloud(std::shared_ptr<Clock> clock)
    : m_clock(std::move(clock)) {}

std::shared_ptr<InMemoryCloudDatabase> InMemoryCloud::connect(const QString& accountName) {
    account(accountName);
    return std::make_shared<InMemoryCloudDatabase>(shared_from_this(), accountName);
}

std::unique_ptr<InMemoryPushChannel> InMemoryCloud::pushChannel(const QString& accountName) {
    account(accountName);
    return std::make_unique<InMemoryPushChannel>(shared_from_this(), accountName);
}

InMemoryCloud::Account& InMemoryCloud::account(const QString& name) {
    auto [it, isNew] = m_accounts.try_emplace(name);
    if (isNew) {
        it->second.userRecordName =
            QStringLiteral("_") +
            QString::fromLatin1(QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256)
                                    .toHex()
                                    .left(32));
        createZone(it->second, kDefaultZone);
    }
    return it->second;
}

void InMemoryCloud::setAccountStatus(const QString& accountName, AccountStatus status) {
    account(accountName).status = status;
}

void InMemoryCloud::createZone(Account& account, const QString& zoneName) {
    Zone& zone = account.zones[zoneName];
    if (zone.exists)
        return;
    zone = Zone{};
    zone.exists = true;
    zone.generation = m_nextGeneration++;
}

void InMemoryCloud::deleteZone(Account& account, const QString& zoneName, bool byUser) {
    Zone& zone = account.zones[zoneName];
    zone = Zone{};
    zone.isDeletedByUser = byUser;
}

void InMemoryCloud::deleteZoneByUser(const QString& accountName, const QString& zoneName) {
    deleteZone(account(accountName), zoneName, true);
}

Result<InMemoryCloud::Zone*> InMemoryCloud::liveZone(Account& account, const QString& zoneName) {
    Zone& zone = account.zones[zoneName];
    if (zone.exists)
        return &zone;
    return cloudError(zone.isDeletedByUser ? CloudErrorCode::UserDeletedZone
                                           : CloudErrorCode::ZoneNotFound,
                      zoneName);
}

bool InMemoryCloud::hasLiveRecord(const Zone& zone, const QString& recordName) {
    const auto found = zone.records.find(recordName);
    return found != zone.records.end() && !found->second.isDeleted && found->second.sequence > 0;
}

RecordOutcome InMemoryCloud::applySave(const QString& accountName, Zone& zone,
                                       const QString& zoneName, const RecordSave& save,
                                       SavePolicy policy) {
    StoredRecord& stored = zone.records[save.record.recordName];
    const bool existed = !stored.isDeleted && stored.sequence > 0;
    CloudRecord next = save.record;
    if (policy == SavePolicy::ChangedKeys && existed) {
        next.fields = stored.record.fields;
        for (auto it = save.record.fields.begin(); it != save.record.fields.end(); ++it)
            next.fields.insert(it.key(), it.value());
    }
    for (const QString& removed : save.removedFields)
        next.fields.remove(removed);
    const Timestamp now = serverNow();
    next.created = existed ? stored.record.created : std::optional(now);
    // The wire carries milliseconds; keep the in-memory dates at the same precision.
    next.modified = Timestamp::fromUnixMilliseconds(now.unixMilliseconds());
    next.created = Timestamp::fromUnixMilliseconds(next.created->unixMilliseconds());
    stored = StoredRecord{next, ++zone.sequence, false};
    notify(accountName, zoneName, next,
           existed ? QStringLiteral("update") : QStringLiteral("create"));
    return RecordOutcome{next.recordName, false, next, std::nullopt};
}

RecordOutcome InMemoryCloud::applyDelete(const QString& accountName, Zone& zone,
                                         const QString& zoneName, const QString& recordName) {
    const auto found = zone.records.find(recordName);
    if (found != zone.records.end() && !found->second.isDeleted) {
        found->second.isDeleted = true;
        found->second.sequence = ++zone.sequence;
        notify(accountName, zoneName, found->second.record, QStringLiteral("delete"));
    }
    return RecordOutcome{recordName, true, std::nullopt, std::nullopt};
}

void InMemoryCloud::notify(const QString& accountName, const QString& zoneName,
                           const CloudRecord& record, const QString& reason) {
    Account& owner = account(accountName);
    for (const auto& [id, subscription] : owner.subscriptions) {
        if (!matches(subscription, record) || !firesOn(subscription, reason))
            continue;
        PushNotification notification{++owner.lastNotificationID, id, zoneName, record.recordName,
                                      reason};
        owner.backlog.push_back(notification);
        if (owner.backlog.size() > kBacklogLimit)
            owner.backlog.pop_front();
        for (const auto& channel : owner.channels)
            if (channel)
                channel->deliver(notification);
    }
}

QByteArray InMemoryCloud::makeToken(const QString& accountName, const QString& zoneName,
                                    const Zone& zone) const {
    return QStringLiteral("mem|%1|%2|%3|%4|%5")
        .arg(accountName, zoneName)
        .arg(zone.generation)
        .arg(zone.sequence)
        .arg(m_tokenEpoch)
        .toUtf8()
        .toBase64();
}

Result<qint64> InMemoryCloud::sequenceOf(const QByteArray& token, const QString& accountName,
                                         const QString& zoneName, const Zone& zone) const {
    const QStringList parts =
        QString::fromUtf8(QByteArray::fromBase64(token)).split(QLatin1Char('|'));
    const bool isOurs = parts.size() == 6 && parts[0] == QLatin1String("mem") &&
                        parts[1] == accountName && parts[2] == zoneName;
    if (!isOurs || parts[3].toLongLong() != zone.generation ||
        parts[5].toLongLong() != m_tokenEpoch)
        return cloudError(CloudErrorCode::ChangeTokenExpired);
    return parts[4].toLongLong();
}

void InMemoryCloud::dropPushChannels() {
    for (auto& [name, owner] : m_accounts)
        for (const auto& channel : owner.channels)
            if (channel)
                channel->drop();
}

std::optional<CloudRecord> InMemoryCloud::record(const QString& accountName,
                                                 const QString& zoneName,
                                                 const QString& recordName) const {
    const auto owner = m_accounts.find(accountName);
    if (owner == m_accounts.end())
        return std::nullopt;
    const auto zone = owner->second.zones.find(zoneName);
    if (zone == owner->second.zones.end())
        return std::nullopt;
    const auto found = zone->second.records.find(recordName);
    if (found == zone->second.records.end() || found->second.isDeleted)
        return std::nullopt;
    return found->second.record;
}

QStringList InMemoryCloud::recordNames(const QString& accountName, const QString& zoneName) const {
    QStringList names;
    const auto owner = m_accounts.find(accountName);
    if (owner == m_accounts.end())
        return names;
    const auto zone = owner->second.zones.find(zoneName);
    if (zone == owner->second.zones.end())
        return names;
    for (const auto& [name, stored] : zone->second.records)
        if (!stored.isDeleted)
            names << name;
    return names;
}

} // namespace sonavert::clouddb
