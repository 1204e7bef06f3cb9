#pragma once

#include "src/coordinator/nearby_discovery_protocol.h"
#include "src/nearby/nearby_transport.h"
#include "src/runtime/clock.h"

#include <QObject>
#include <optional>

namespace sonavert {

/// Advertises this device and browses for the same service for a short window after each
/// start, reporting every other complete advertisement it finds. No connection is ever made:
/// the advertisement is the whole message. Lives on the main thread.
class NearbyLaunchDiscoveryService final : public QObject,
                                           public NearbyDiscoveryProtocol,
                                           private NearbyTransportDelegate {
    Q_OBJECT
public:
    using Peer = NearbyPeer;
    using PeerFoundCallback = std::function<void(const Peer&)>;

    static constexpr char kServiceType[] = "tessary";
    static constexpr Duration kAutomaticStopDelay = 12s;

    NearbyLaunchDiscoveryService(const QString& deviceID, const QString& deviceName,
                                 const QString& sessionID, PeerFoundCallback onPeerFound,
                                 std::shared_ptr<Clock> clock,
                                 const NearbyTransportFactory& makeTransport,
                                 QObject* parent = nullptr);
    /// Stops advertising and browsing and drops a pending automatic stop, without an event.
    ~NearbyLaunchDiscoveryService() override;

    /// Begins (or keeps) advertising and browsing and restarts the 12-second window.
    void start();
    /// Replaces the found-peer callback, then starts.
    void start(std::function<void(const NearbyPeer&)> onPeer) override;
    /// Stops advertising and browsing and drops the pending automatic stop.
    void stop() override;

    bool hasPendingStop() const { return m_stopTask.has_value(); }
    /// The discovery information this device advertises.
    static DiscoveryInfo makeDiscoveryInfo(const QString& deviceID, const QString& deviceName,
                                           const QString& sessionID);

private:
    void foundPeer(const QString& peerName, const std::optional<DiscoveryInfo>& info) override;
    void lostPeer(const QString& peerName) override;
    void browsingFailed(const QString& error) override;
    void advertisingFailed(const QString& error) override;
    void receivedInvitation(const QString& fromPeer,
                            const std::function<void(bool accept)>& answer) override;
    void cancelStopTask();

    QString m_localPeerID;
    std::unique_ptr<NearbyTransport> m_transport;
    PeerFoundCallback m_onPeerFound;
    std::shared_ptr<Clock> m_clock;
    std::optional<Clock::TimerId> m_stopTask;
};

} // namespace sonavert
