#include "tests/fakes/fake_handoff_service.h"

#include "src/runtime/log_channel.h"

namespace sonavert {

// QCoro 0.8's promise moves from a non-const lvalue given to co_return, so every member
// returned here is copied into a temporary first.

namespace {
class FakeDatabase final : public PrivateDatabase {};

bool isZoneMissing(const Status& status) {
    return !status && status.error().domain == QLatin1String("CloudDatabase") &&
           (status.error().code == 26 || status.error().code == 28);
}
} // namespace

FakeHandoffService::FakeHandoffService(std::shared_ptr<Clock> clock)
    : m_clock(std::move(clock)) {}

Error FakeHandoffService::cloudError(int code, const QString& description) {
    return Error{QStringLiteral("CloudDatabase"), code, description, {}, {}, {}};
}

int FakeHandoffService::callCount(const QString& operation) const {
    int count = 0;
    for (const auto& call : calls)
        count += call == operation || call.startsWith(operation + QLatin1Char(':'));
    return count;
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
    co_await enter(QStringLiteral("ensureAccountAvailable"));
    if (!accountStatus)
        co_return Error(accountStatus.error());
    co_return DatabaseRef(std::make_shared<FakeDatabase>());
}

QCoro::Task<Status> FakeHandoffService::withPresenceZoneRecovery(DatabaseRef database,
                                                                 PresenceOperation operation) {
    co_await enter(QStringLiteral("withPresenceZoneRecovery"));
    Q_ASSERT(database);
    Status first = co_await operation();
    if (!isZoneMissing(first))
        co_return first;
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_zone_missing action=recreate");
    calls << QStringLiteral("recreateZone");
    callTimes << m_clock->monotonicNow();
    co_return co_await operation();
}

QCoro::Task<Status> FakeHandoffService::publishPresence(QString deviceID, QString deviceName,
                                                        std::optional<PlaybackState> nowPlaying) {
    co_await enter(QStringLiteral("publishPresence"), deviceID + QLatin1Char('/') + deviceName);
    lastPublishedNowPlaying = nowPlaying;
    if (publishResults.empty())
        co_return Status();
    Status next = publishResults.front();
    publishResults.pop_front();
    co_return next;
}

QCoro::Task<Result<DeviceList>> FakeHandoffService::fetchPresence(QString deviceID) {
    co_await enter(QStringLiteral("fetchPresence"), deviceID);
    if (fetchResults.empty())
        co_return DeviceList(fetchDefault);
    Result<DeviceList> next = fetchResults.front();
    fetchResults.pop_front();
    co_return next;
}

QCoro::Task<DeviceList> FakeHandoffService::peerDevices(QString deviceID) {
    co_await enter(QStringLiteral("peerDevices"), deviceID);
    co_return DeviceList(peers);
}

QCoro::Task<> FakeHandoffService::noteNearbyPeer(QString peerID, QString peerName,
                                                 QString peerSessionID, QString localSessionID,
                                                 QString deviceID) {
    const QString detail = peerID + QLatin1Char('/') + peerName + QLatin1Char('/') + peerSessionID +
                           QLatin1Char('/') + localSessionID + QLatin1Char('/') + deviceID;
    co_await enter(QStringLiteral("noteNearbyPeer"), detail);
}

QCoro::Task<> FakeHandoffService::seedObservedSessions(QMap<QString, QString> sessions) {
    co_await enter(QStringLiteral("seedObservedSessions"));
    lastSeeds = sessions;
}

QCoro::Task<Status> FakeHandoffService::markOffline(QString deviceID) {
    co_await enter(QStringLiteral("markOffline"), deviceID);
    markedOffline << deviceID;
    co_return Status();
}

QCoro::Task<QSet<QString>> FakeHandoffService::fetchQueuedPushTargets() {
    co_await enter(QStringLiteral("fetchQueuedPushTargets"));
    co_return QSet<QString>(queuedTargets);
}

QCoro::Task<Status> FakeHandoffService::removeLegacyPresenceSubscription() {
    co_await enter(QStringLiteral("removeLegacyPresenceSubscription"));
    co_return Status();
}

QCoro::Task<Status> FakeHandoffService::ensureHandoffSubscription(QString deviceID) {
    co_await enter(QStringLiteral("ensureHandoffSubscription"), deviceID);
    co_return Status(handoffSubscriptionStatus);
}

QCoro::Task<Status> FakeHandoffService::ensurePullSubscription(QString deviceID) {
    co_await enter(QStringLiteral("ensurePullSubscription"), deviceID);
    co_return Status();
}

QCoro::Task<Status> FakeHandoffService::sendHandoff(PlaybackState state, QString targetDeviceID) {
    co_await enter(QStringLiteral("sendHandoff"), targetDeviceID);
    sentHandoffs.append({state, targetDeviceID});
    co_return Status(sendHandoffStatus);
}

QCoro::Task<Result<std::optional<PlaybackState>>>
FakeHandoffService::fetchHandoff(QString deviceID) {
    co_await enter(QStringLiteral("fetchHandoff"), deviceID);
    if (handoffResults.empty())
        co_return std::optional<PlaybackState>();
    auto next = handoffResults.front();
    handoffResults.pop_front();
    co_return next;
}

QCoro::Task<Status> FakeHandoffService::sendPullRequest(QString sourceDeviceID,
                                                        QString requesterDeviceID) {
    co_await enter(QStringLiteral("sendPullRequest"), sourceDeviceID);
    sentPullRequests.append({sourceDeviceID, requesterDeviceID});
    co_return Status(sendPullStatus);
}

QCoro::Task<Result<std::optional<QString>>> FakeHandoffService::fetchPullRequest(QString deviceID) {
    co_await enter(QStringLiteral("fetchPullRequest"), deviceID);
    if (pullRequestResults.empty())
        co_return std::optional<QString>();
    auto next = pullRequestResults.front();
    pullRequestResults.pop_front();
    co_return next;
}

QCoro::Task<QString> FakeHandoffService::sessionID() {
    co_await enter(QStringLiteral("sessionID"));
    co_return QString(session);
}

QCoro::Task<int> FakeHandoffService::pendingHandshakes() {
    co_await enter(QStringLiteral("pendingHandshakes"));
    co_return int(pendingHandshakeCount);
}

} // namespace sonavert
