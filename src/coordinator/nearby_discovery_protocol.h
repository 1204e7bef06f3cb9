#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace sonavert {

/// A device found on the local network.
struct NearbyPeer {
    QString deviceID;
    QString deviceName;
    QString sessionID;
};

/// Short-lived local-network discovery started by the coordinator after start-up.
class NearbyDiscoveryProtocol {
public:
    virtual ~NearbyDiscoveryProtocol() = default;
    /// Advertises this device and reports each peer found, on the main thread.
    virtual void start(std::function<void(const NearbyPeer&)> onPeer) = 0;
    virtual void stop() = 0;
};

/// Makes the discovery service for this device (device id, name, the session it advertises).
using NearbyDiscoveryFactory = std::function<std::unique_ptr<NearbyDiscoveryProtocol>(
    const QString& deviceID, const QString& deviceName, const QString& sessionID)>;

} // namespace sonavert
