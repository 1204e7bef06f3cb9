#include "src/coordinator/device_handoff_view_model.h"

#include "src/coordinator/device_list_merge.h"
#include "src/runtime/log_channel.h"

namespace sonavert {

namespace {

template <typename T, typename Signal>
void assign(DeviceHandoffViewModel* self, T& field, T value, Signal changed) {
    if (field == value)
        return;
    field = std::move(value);
    Q_EMIT(self->*changed)();
}

QCoro::Task<> markOfflineDetached(std::weak_ptr<HandoffServiceProtocol> weakService,
                                  QString deviceID) {
    auto service = weakService.lock();
    if (!service)
        co_return;
    // The outcome is ignored: there is nobody left to tell.
    (void)co_await service->markOffline(deviceID);
}

} // namespace

DeviceHandoffViewModel::DeviceHandoffViewModel(Dependencies dependencies, AppDevice thisDevice,
                                               bool startImmediately, QObject* parent)
    : QObject(parent)
    , m_deps(std::move(dependencies))
    , m_thisDevice(std::move(thisDevice)) {
    DeviceList stored = m_deps.rosterStore->loadRoster();
    stored.removeIf([this](const AppDevice& device) { return device.id == m_thisDevice.id; });
    m_devices = std::move(stored);
    if (startImmediately)
        start();
}

DeviceHandoffViewModel::~DeviceHandoffViewModel() {
    // Sleeping loops wake up cancelled and find the coordinator gone.
    for (auto* task : {&m_pollingTask, &m_playbackPollingTask, &m_commandPollingTask,
                       &m_pullTimeoutTask, &m_subscriptionTask})
        if (*task)
            (*task)->cancel();
    // Nearby discovery tears itself down quietly with the coordinator: a stop event here
    // would report a stop nobody asked for.
}

AppDevice DeviceHandoffViewModel::makeThisDevice(const QString& id, const QString& name,
                                                 Timestamp now) {
    AppDevice device;
    device.id = id;
    device.name = name;
    device.lastSeen = now;
    device.presence = DevicePresence::Online;
    return device;
}

bool DeviceHandoffViewModel::isRunning() const {
    return m_pollingTask && !m_pollingTask->isCancelled();
}

void DeviceHandoffViewModel::pauseWithoutAccount(const QString& reason) {
    stop();
    setSyncError(reason);
}

void DeviceHandoffViewModel::start() {
    if (isRunning())
        return;
    setIsDiscovering(true);
    m_subscriptionTask.emplace();
    runSubscriptionSetup();
    runStartup();
    m_playbackPollingTask.emplace();
    runPlaybackLoop(m_playbackPollingTask->token());
    m_commandPollingTask.emplace();
    runCommandLoop(m_commandPollingTask->token());
    m_pollingTask.emplace();
    runPresenceLoop(m_pollingTask->token());
}

void DeviceHandoffViewModel::stop() {
    setIsDiscovering(false);
    for (auto* task :
         {&m_pollingTask, &m_playbackPollingTask, &m_commandPollingTask, &m_pullTimeoutTask})
        if (*task)
            (*task)->cancel();
    if (m_nearbyDiscovery)
        m_nearbyDiscovery->stop();
}

QCoro::Task<> DeviceHandoffViewModel::shutdown() {
    stop();
    return markOfflineDetached(m_deps.handoffService, m_thisDevice.id);
}

// `device` is often an element of `m_devices` itself (the view passes what it shows), so these
// two copy what they need before the list is replaced.
void DeviceHandoffViewModel::toggleFavorite(const AppDevice& device) {
    const QString id = device.id;
    const bool isNowFavorite = m_deps.rosterStore->toggleFavorite(id);
    DeviceList devices = m_devices;
    for (auto& listed : devices)
        listed.isFavorite = listed.id == id && isNowFavorite;
    sortByRosterOrder(devices);
    setDevices(std::move(devices));
}

void DeviceHandoffViewModel::forget(const AppDevice& device) {
    const QString id = device.id;
    m_deps.rosterStore->forgetDevice(id, device.sessionID);
    DeviceList devices = m_devices;
    devices.removeIf([&](const AppDevice& listed) { return listed.id == id; });
    setDevices(std::move(devices));
    QSet<QString> targets = m_queuedPushTargets;
    targets.remove(id);
    setQueuedPushTargets(std::move(targets));
}

void DeviceHandoffViewModel::applyIncomingDevices(const DeviceList& incoming) {
    setDevices(mergeIncomingDevices(incoming, *m_deps.rosterStore, m_thisDevice.id,
                                    m_queuedPushTargets, m_unverifiedDevices));
}

void DeviceHandoffViewModel::handleNearbyPeer(const NearbyPeer& peer) {
    const bool isFavorite =
        std::any_of(m_devices.begin(), m_devices.end(),
                    [&](const AppDevice& d) { return d.id == peer.deviceID && d.isFavorite; });
    // Only the favourite is trusted on the strength of a local-network sighting.
    if (!isFavorite)
        return;
    runNearbyPeer(peer);
}

void DeviceHandoffViewModel::setDevices(DeviceList devices) {
    assign(this, m_devices, std::move(devices), &DeviceHandoffViewModel::devicesChanged);
}

void DeviceHandoffViewModel::setQueuedPushTargets(QSet<QString> targets) {
    assign(this, m_queuedPushTargets, std::move(targets),
           &DeviceHandoffViewModel::queuedPushTargetsChanged);
}

void DeviceHandoffViewModel::setCurrentState(std::optional<PlaybackState> state) {
    assign(this, m_currentState, std::move(state), &DeviceHandoffViewModel::currentStateChanged);
}

void DeviceHandoffViewModel::setSyncError(std::optional<QString> text) {
    assign(this, m_syncError, std::move(text), &DeviceHandoffViewModel::syncErrorChanged);
}

void DeviceHandoffViewModel::setIsTransferring(bool value) {
    assign(this, m_isTransferring, value, &DeviceHandoffViewModel::isTransferringChanged);
}

void DeviceHandoffViewModel::setIsPulling(bool value) {
    assign(this, m_isPulling, value, &DeviceHandoffViewModel::isPullingChanged);
}

void DeviceHandoffViewModel::setActivityLabel(std::optional<QString> text) {
    assign(this, m_activityLabel, std::move(text), &DeviceHandoffViewModel::activityLabelChanged);
}

void DeviceHandoffViewModel::setTransferError(std::optional<QString> text) {
    assign(this, m_transferError, std::move(text), &DeviceHandoffViewModel::transferErrorChanged);
}

void DeviceHandoffViewModel::setShouldRequestReview(bool value) {
    assign(this, m_shouldRequestReview, value, &DeviceHandoffViewModel::shouldRequestReviewChanged);
}

void DeviceHandoffViewModel::setIsDiscovering(bool value) {
    assign(this, m_isDiscovering, value, &DeviceHandoffViewModel::isDiscoveringChanged);
}

} // namespace sonavert
