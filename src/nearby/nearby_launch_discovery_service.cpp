#include "src/nearby/nearby_launch_discovery_service.h"

#include "src/runtime/log_channel.h"

namespace sonavert {

namespace {

const QString kDeviceIDKey = QStringLiteral("deviceID");
const QString kDeviceNameKey = QStringLiteral("deviceName");
const QString kSessionIDKey = QStringLiteral("sessionID");

} // namespace

NearbyLaunchDiscoveryService::NearbyLaunchDiscoveryService(
    const QString& deviceID, const QString& deviceName, const QString& sessionID,
    PeerFoundCallback onPeerFound, std::shared_ptr<Clock> clock,
    const NearbyTransportFactory& makeTransport, QObject* parent)
    : QObject(parent)
    , m_localPeerID(deviceID)
    , m_transport(
          makeTransport(NearbyAdvertisement{deviceID, QString::fromLatin1(kServiceType),
                                            makeDiscoveryInfo(deviceID, deviceName, sessionID)}))
    , m_onPeerFound(std::move(onPeerFound))
    , m_clock(std::move(clock)) {
    // Only a fully built object may receive the transport's callbacks.
    m_transport->setDelegate(this);
}

NearbyLaunchDiscoveryService::~NearbyLaunchDiscoveryService() {
    m_transport->setDelegate(nullptr);
    m_transport->stopAdvertising();
    m_transport->stopBrowsing();
    cancelStopTask();
}

DiscoveryInfo NearbyLaunchDiscoveryService::makeDiscoveryInfo(const QString& deviceID,
                                                              const QString& deviceName,
                                                              const QString& sessionID) {
    DiscoveryInfo info;
    info.insert(kDeviceIDKey, deviceID);
    info.insert(kDeviceNameKey, deviceName);
    info.insert(kSessionIDKey, sessionID);
    return info;
}

void NearbyLaunchDiscoveryService::start() {
    m_transport->startAdvertising();
    m_transport->startBrowsing();
    logEvent(LogCategory::Nearby, LogLevel::Default, "event=nearby_launch_discovery_started");
    cancelStopTask();
    // The destructor cancels the call: it never outlives the service.
    m_stopTask = m_clock->schedule(kAutomaticStopDelay, [this] {
        m_stopTask.reset();
        stop();
    });
}

void NearbyLaunchDiscoveryService::start(std::function<void(const NearbyPeer&)> onPeer) {
    m_onPeerFound = std::move(onPeer);
    start();
}

void NearbyLaunchDiscoveryService::stop() {
    m_transport->stopAdvertising();
    m_transport->stopBrowsing();
    cancelStopTask();
    logEvent(LogCategory::Nearby, LogLevel::Default, "event=nearby_launch_discovery_stopped");
}

void NearbyLaunchDiscoveryService::cancelStopTask() {
    if (m_stopTask)
        m_clock->cancelScheduled(*m_stopTask);
    m_stopTask.reset();
}

void NearbyLaunchDiscoveryService::foundPeer(const QString& peerName,
                                             const std::optional<DiscoveryInfo>& info) {
    Q_UNUSED(peerName);
    if (!info || !info->contains(kDeviceIDKey))
        return;
    const QString deviceID = info->value(kDeviceIDKey);
    // This device itself, seen again through another network interface.
    if (deviceID == m_localPeerID)
        return;
    if (!info->contains(kDeviceNameKey) || !info->contains(kSessionIDKey))
        return;
    logEvent(LogCategory::Nearby, LogLevel::Default,
             "event=nearby_peer_found peer_device_id=%{public}s", deviceID.left(8));
    if (m_onPeerFound)
        m_onPeerFound(Peer{deviceID, info->value(kDeviceNameKey), info->value(kSessionIDKey)});
}

void NearbyLaunchDiscoveryService::lostPeer(const QString& peerName) {
    // A peer that goes away keeps its place: the cloud presence decides when it is offline.
    Q_UNUSED(peerName);
}

void NearbyLaunchDiscoveryService::browsingFailed(const QString& error) {
    logEvent(LogCategory::Nearby, LogLevel::Error, "event=nearby_browse_failed error=%{private}s",
             error);
}

void NearbyLaunchDiscoveryService::advertisingFailed(const QString& error) {
    logEvent(LogCategory::Nearby, LogLevel::Error,
             "event=nearby_advertise_failed error=%{private}s", error);
}

void NearbyLaunchDiscoveryService::receivedInvitation(
    const QString& fromPeer, const std::function<void(bool accept)>& answer) {
    // Nothing ever travels over a connection, so none is ever accepted.
    Q_UNUSED(fromPeer);
    answer(false);
}

} // namespace sonavert
