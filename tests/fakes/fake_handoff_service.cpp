#include "tests/fakes/fake_handoff_service.h"

#include "src/runtime/log_channel.h"

using namespace Qt::StringLiterals;

namespace sonavert {

// QCoro 0.8's promise moves from a non-const lvalue given to co_return, so every member
// returned here is copied into a temporary first.

namespace {
class FakeDatabase final : public PrivateDatabase {};

/// The next queued answer, else the default.
template <typename T> T takeNext(std::deque<T>& queue, T fallback) {
    if (queue.empty())
        return fallback;
    T next = queue.front();
    queue.pop_front();
    return next;
}

bool isZoneMissing(const Status& status) {
    return !status &&
           (clouddb::isCloudError(status.error(), clouddb::CloudErrorCode::ZoneNotFound) ||
            clouddb::isCloudError(status.error(), clouddb::CloudErrorCode::UserDeletedZone));
}
} // namespace

FakeHandoffService::FakeHandoffService(std::shared_ptr<Clock> clock)
    : m_clock(std::move(clock)) {}

Error FakeHandoffService::cloudError(clouddb::CloudErrorCode code, const QString& description) {
    return makeError(code, description);
}

int FakeHandoffService::callCount(const QString& operation) const {
    return int(timesOf(operation).size());
}

QList<Duration> FakeHandoffService::timesOf(const QString& operation) const {
    QList<Duration> out;
    for (qsizetype i = 0; i < calls.size(); ++i)
        if (calls[i] == operation || calls[i].startsWith(operation + QLatin1Char(':')))
            out << callTimes[i];
    return out;
}

QCoro::Task<> FakeHandoffService::enter(QString operation, QString detail) {
    calls << (detail.isEmpty() ? operation : operation + QLatin1Char(':') + detail);
    callTimes << m_clock->monotonicNow();
    const Duration delay = latency.value(operation, Duration::zero());
    if (delay > Duration::zero())
        co_await m_clock->sleep(delay);
}

QCoro::Task<Result<DatabaseRef>> FakeHandoffService::ensureAccountAvailable() {
    co_await enter(u"ensureAccountAvailable"_s);
    if (!accountStatus)
        co_return Error(accountStatus.error());
    co_return DatabaseRef(std::make_shared<FakeDatabase>());
}

QCoro::Task<Status> FakeHandoffService::withPresenceZoneRecovery(DatabaseRef database,
                                                                 PresenceOperation operation) {
    co_await enter(u"withPresenceZoneRecovery"_s);
    Q_ASSERT(database);
    Status first = co_await operation();
    if (!isZoneMissing(first))
        co_return first;
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_zone_missing action=recreate");
    calls << u"recreateZone"_s;
    callTimes << m_clock->monotonicNow();
    co_return co_await operation();
}

QCoro::Task<Status> FakeHandoffService::publishPresence(QString deviceID, QString deviceName,
                                                        std::optional<PlaybackState> nowPlaying) {
    co_await enter(u"publishPresence"_s, deviceID + QLatin1Char('/') + deviceName);
    lastPublishedNowPlaying = nowPlaying;
    co_return takeNext(publishResults, Status());
}

QCoro::Task<Result<DeviceList>> FakeHandoffService::fetchPresence(QString deviceID) {
    co_await enter(u"fetchPresence"_s, deviceID);
    co_return takeNext(fetchResults, Result<DeviceList>(fetchDefault));
}

QCoro::Task<DeviceList> FakeHandoffService::peerDevices(QString deviceID) {
    co_await enter(u"peerDevices"_s, deviceID);
    co_return DeviceList(peers);
}

QCoro::Task<> FakeHandoffService::noteNearbyPeer(QString peerID, QString peerName,
                                                 QString peerSessionID, QString localSessionID,
                                                 QString deviceID) {
    const QString detail = peerID + QLatin1Char('/') + peerName + QLatin1Char('/') + peerSessionID +
                           QLatin1Char('/') + localSessionID + QLatin1Char('/') + deviceID;
    co_await enter(u"noteNearbyPeer"_s, detail);
}

QCoro::Task<> FakeHandoffService::seedObservedSessions(QMap<QString, QString> sessions) {
    co_await enter(u"seedObservedSessions"_s);
    lastSeeds = sessions;
}

QCoro::Task<Status> FakeHandoffService::markOffline(QString deviceID) {
    co_await enter(u"markOffline"_s, deviceID);
    markedOffline << deviceID;
    co_return Status();
}

QCoro::Task<QSet<QString>> FakeHandoffService::fetchQueuedPushTargets() {
    co_await enter(u"fetchQueuedPushTargets"_s);
    co_return QSet<QString>(queuedTargets);
}

QCoro::Task<Status> FakeHandoffService::removeLegacyPresenceSubscription() {
    co_await enter(u"removeLegacyPresenceSubscription"_s);
    co_return Status();
}

QCoro::Task<Status> FakeHandoffService::ensureHandoffSubscription(QString deviceID) {
    co_await enter(u"ensureHandoffSubscription"_s, deviceID);
    co_return Status(handoffSubscriptionStatus);
}

QCoro::Task<Status> FakeHandoffService::ensurePullSubscription(QString deviceID) {
    co_await enter(u"ensurePullSubscription"_s, deviceID);
    co_return Status();
}

QCoro::Task<Status> FakeHandoffService::sendHandoff(PlaybackState state, QString targetDeviceID) {
    co_await enter(u"sendHandoff"_s, targetDeviceID);
    sentHandoffs.append({state, targetDeviceID});
    co_return Status(sendHandoffStatus);
}

QCoro::Task<Result<std::optional<PlaybackState>>>
FakeHandoffService::fetchHandoff(QString deviceID) {
    co_await enter(u"fetchHandoff"_s, deviceID);
    co_return takeNext(handoffResults, Result<std::optional<PlaybackState>>(std::nullopt));
}

void FakeHandoffService::settleHandoff(QString messageID) {
    calls << u"settleHandoff:"_s + messageID;
    callTimes << m_clock->monotonicNow();
    settledHandoffs << messageID;
}

QCoro::Task<Status> FakeHandoffService::sendPullRequest(QString sourceDeviceID,
                                                        QString requesterDeviceID) {
    co_await enter(u"sendPullRequest"_s, sourceDeviceID);
    sentPullRequests.append({sourceDeviceID, requesterDeviceID});
    co_return Status(sendPullStatus);
}

QCoro::Task<Result<std::optional<QString>>> FakeHandoffService::fetchPullRequest(QString deviceID) {
    co_await enter(u"fetchPullRequest"_s, deviceID);
    co_return takeNext(pullRequestResults, Result<std::optional<QString>>(std::nullopt));
}

QCoro::Task<Status> FakeHandoffService::sendPullUnavailable(QString requesterDeviceID,
                                                            QString sourceDeviceID) {
    co_await enter(u"sendPullUnavailable"_s, requesterDeviceID);
    sentPullUnavailable.append({requesterDeviceID, sourceDeviceID});
    co_return Status();
}

QCoro::Task<Result<std::optional<QString>>>
FakeHandoffService::fetchPullUnavailable(QString deviceID) {
    co_await enter(u"fetchPullUnavailable"_s, deviceID);
    co_return takeNext(pullUnavailableResults, Result<std::optional<QString>>(std::nullopt));
}

QCoro::Task<QString> FakeHandoffService::sessionID() {
    co_await enter(u"sessionID"_s);
    co_return QString(session);
}

QCoro::Task<int> FakeHandoffService::pendingHandshakes() {
    co_await enter(u"pendingHandshakes"_s);
    co_return int(pendingHandshakeCount);
}

} // namespace sonavert
