#pragma once

#include <QMap>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace sonavert {

/// The small text-to-text dictionary a device advertises about itself.
using DiscoveryInfo = QMap<QString, QString>;

/// What one device advertises: its peer name, the service type and its discovery information.
struct NearbyAdvertisement {
    QString peerName;    ///< the local peer's display name: this device's identifier
    QString serviceType; ///< a bare type such as "tessary"; transports map it to their form
    DiscoveryInfo discoveryInfo;
};

/// Receives what the advertiser and the browser of a transport report, on the main thread.
class NearbyTransportDelegate {
public:
    virtual ~NearbyTransportDelegate() = default;
    /// Another advertisement was found; `info` is absent when it carried none.
    virtual void foundPeer(const QString& peerName, const std::optional<DiscoveryInfo>& info) = 0;
    virtual void lostPeer(const QString& peerName) = 0;
    /// Browsing could not start, or stopped working while it was wanted.
    virtual void browsingFailed(const QString& error) = 0;
    /// Advertising could not start, or stopped working while it was wanted.
    virtual void advertisingFailed(const QString& error) = 0;
    /// Another device asks to connect; `answer(accept)` must be called exactly once.
    virtual void receivedInvitation(const QString& fromPeer,
                                    const std::function<void(bool accept)>& answer) = 0;
};

/// One way of being seen by, and seeing, nearby devices: an advertiser and a browser for one
/// advertisement. Start and stop calls never block and may be repeated: starting what already
/// runs, or stopping what is stopped, changes nothing. Outcomes arrive through the delegate.
class NearbyTransport {
public:
    virtual ~NearbyTransport() = default;
    /// The delegate must outlive the transport or be replaced by nullptr first.
    virtual void setDelegate(NearbyTransportDelegate* delegate) = 0;
    virtual void startAdvertising() = 0;
    virtual void stopAdvertising() = 0;
    virtual void startBrowsing() = 0;
    virtual void stopBrowsing() = 0;
};

/// Makes the transport that advertises `advertisement` and browses for its service type.
using NearbyTransportFactory =
    std::function<std::unique_ptr<NearbyTransport>(const NearbyAdvertisement& advertisement)>;

} // namespace sonavert
