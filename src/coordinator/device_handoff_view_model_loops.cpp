// The coordinator's background work: subscription set-up, start-up, the playback and presence
// loops and the presence steps they share. Every coroutine here checks the coordinator's
// cancellation after each suspension (the loops their own handle's, the steps `m_tasks`'s):
// the coordinator may be gone by then, and the task then ends quietly. Services are copied
// into locals first so that a call already started can finish.

#include "src/coordinator/device_handoff_view_model_p.h"
#include "src/coordinator/device_list_merge.h"
#include "src/runtime/join_all.h"
#include "src/runtime/log_channel.h"

namespace sonavert {

namespace {

constexpr Duration kPlaybackInterval = 2s;
constexpr Duration kPresenceInterval = 2s;
constexpr Duration kHandshakePresenceInterval = 300ms;

QCoro::Task<> logSubscriptionFailure(QCoro::Task<Status> setup) {
    const Status status = co_await std::move(setup);
    if (!status)
        logEvent(LogCategory::Push, LogLevel::Error,
                 "event=subscription_configuration_failed error=%{private}s",
                 status.error().description);
}

} // namespace

QCoro::Task<> DeviceHandoffViewModel::runSubscriptionSetup() {
    auto service = m_deps.handoffService;
    const QString id = m_thisDevice.id;
    // Each failure is logged on its own and affects nothing else: commands are still found
    // by polling.
    co_await whenAll(logSubscriptionFailure(service->removeLegacyPresenceSubscription()),
                     logSubscriptionFailure(service->ensureHandoffSubscription(id)),
                     logSubscriptionFailure(service->ensurePullSubscription(id)));
}

QCoro::Task<> DeviceHandoffViewModel::runStartup() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    const QString sessionID = co_await service->sessionID();
    if (stop.stop_requested() || sessionID.isEmpty() || !m_deps.makeNearbyDiscovery)
        co_return;
    m_nearbySessionID = sessionID;
    m_nearbyDiscovery = m_deps.makeNearbyDiscovery(m_thisDevice.id, m_thisDevice.name, sessionID);
    if (!m_nearbyDiscovery)
        co_return;
    m_nearbyDiscovery->start([this, stop](const NearbyPeer& peer) {
        if (!stop.stop_requested())
            handleNearbyPeer(peer);
    });
}

QCoro::Task<> DeviceHandoffViewModel::runNearbyPeer(NearbyPeer peer) {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    const QString id = m_thisDevice.id;
    co_await service->noteNearbyPeer(peer.deviceID, peer.deviceName, peer.sessionID,
                                     m_nearbySessionID, id);
    const DeviceList peers = co_await service->peerDevices(id);
    if (stop.stop_requested())
        co_return;
    applyIncomingDevices(peers);
    // Publish at once so the peer sees this device too; a failure waits for the next pass.
    (void)co_await runPublishStep();
}

QCoro::Task<> DeviceHandoffViewModel::runPlaybackLoop(std::stop_token token) {
    auto music = m_deps.musicService;
    auto clock = m_deps.clock;
    while (!token.stop_requested()) {
        auto state = co_await music->currentPlaybackState();
        if (token.stop_requested())
            co_return;
        setCurrentState(std::move(state));
        co_await clock->sleep(kPlaybackInterval, token);
    }
}

QCoro::Task<> DeviceHandoffViewModel::runPresenceLoop(std::stop_token token) {
    auto service = m_deps.handoffService;
    auto clock = m_deps.clock;
    co_await runFirstPresencePass();
    while (!token.stop_requested()) {
        co_await syncPresence();
        if (token.stop_requested())
            co_return;
        const int pending = co_await service->pendingHandshakes();
        co_await clock->sleep(pending > 0 ? kHandshakePresenceInterval : kPresenceInterval, token);
    }
}

QCoro::Task<> DeviceHandoffViewModel::runFirstPresencePass() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    // Favourites remembered with a session count as already seen, so the handshake with
    // them can complete in the first pass instead of the second.
    QMap<QString, QString> seeds;
    for (const auto& device : m_devices)
        if (device.isFavorite && device.sessionID)
            seeds.insert(device.id, *device.sessionID);
    co_await service->seedObservedSessions(seeds);
    if (stop.stop_requested())
        co_return;
    auto initialPublish = runInitialPublish();
    const auto refreshError = co_await runRefreshStep();
    co_await std::move(initialPublish);
    if (stop.stop_requested())
        co_return;
    const auto publishError = co_await runPublishStep();
    if (stop.stop_requested())
        co_return;
    co_await refreshKeyHolding();
    if (stop.stop_requested())
        co_return;
    setSyncError(publishError ? publishError : refreshError);
    setIsDiscovering(false);
    Q_EMIT presencePassCompleted();
}

QCoro::Task<> DeviceHandoffViewModel::runInitialPublish() {
    const Status status = co_await detail::publishInZone(m_deps.handoffService, m_thisDevice.id,
                                                         m_thisDevice.name, m_currentState);
    if (!status)
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=initial_presence_publish_failed error=%{private}s",
                 status.error().description);
}

QCoro::Task<std::optional<QString>> DeviceHandoffViewModel::runRefreshStep() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    const auto fetched = co_await service->fetchPresence(m_thisDevice.id);
    if (!fetched) {
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=presence_fetch_failed error=%{private}s", fetched.error().description);
        co_return fetched.error().description;
    }
    if (!stop.stop_requested())
        applyIncomingDevices(fetched.value());
    co_return std::nullopt;
}

QCoro::Task<std::optional<QString>> DeviceHandoffViewModel::runPublishStep() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    const QString id = m_thisDevice.id;
    const Status published =
        co_await detail::publishInZone(service, id, m_thisDevice.name, m_currentState);
    if (!published) {
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=presence_publish_failed error=%{private}s", published.error().description);
        co_return published.error().description;
    }
    const DeviceList peers = co_await service->peerDevices(id);
    if (!stop.stop_requested())
        applyIncomingDevices(peers);
    co_return std::nullopt;
}

QCoro::Task<> DeviceHandoffViewModel::syncPresence() {
    const std::stop_token stop = m_tasks.token();
    const auto refreshError = co_await runRefreshStep();
    if (stop.stop_requested())
        co_return;
    const auto publishError = co_await runPublishStep();
    if (stop.stop_requested())
        co_return;
    setSyncError(publishError ? publishError : refreshError);
    co_await refreshQueuedPushes();
    if (stop.stop_requested())
        co_return;
    co_await refreshKeyHolding();
    if (!stop.stop_requested())
        Q_EMIT presencePassCompleted();
}

QCoro::Task<> DeviceHandoffViewModel::refreshQueuedPushes() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    QSet<QString> targets = co_await service->fetchQueuedPushTargets();
    if (stop.stop_requested())
        co_return;
    setQueuedPushTargets(targets);
    DeviceList devices = m_devices;
    markDevices(devices, m_queuedPushTargets, m_unverifiedDevices);
    setDevices(std::move(devices));
}

QCoro::Task<> DeviceHandoffViewModel::refreshKeyHolding() {
    auto keys = m_deps.accountKeys;
    if (!keys)
        co_return;
    // Holding the key is for good (a computer taken out of it leaves the account as well), so
    // once every listed computer holds it there is nothing to read until another one shows.
    const bool isSettled = std::all_of(m_devices.begin(), m_devices.end(), [this](const auto& d) {
        return m_keyHolding.value(d.id, false);
    });
    if (isSettled)
        co_return;
    const std::stop_token stop = m_tasks.token();
    const Result<KeyHolding> holding = co_await keys->keyHolding();
    if (stop.stop_requested())
        co_return;
    if (!holding) {
        logEvent(LogCategory::CloudKit, LogLevel::Debug,
                 "event=key_holding_fetch_failed error=%{private}s", holding.error().description);
        co_return;
    }
    applyKeyHolding(holding.value());
}

void DeviceHandoffViewModel::applyKeyHolding(KeyHolding holding) {
    m_keyHolding = std::move(holding);
    QSet<QString> unverified;
    for (auto it = m_keyHolding.cbegin(); it != m_keyHolding.cend(); ++it)
        if (!it.value())
            unverified.insert(it.key());
    m_unverifiedDevices = std::move(unverified);
    DeviceList devices = m_devices;
    markDevices(devices, m_queuedPushTargets, m_unverifiedDevices);
    setDevices(std::move(devices));
}

} // namespace sonavert
