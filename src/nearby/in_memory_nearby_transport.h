#pragma once

#include "src/nearby/nearby_transport.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>

namespace sonavert {

class InMemoryNearbyTransport;

/// A pretend local network for tests: every transport made on it sees the advertisements of
/// the others while it browses. Deliveries are posted to the event loop, as a real network's
/// would be, so nothing is reported inside the call that started it.
class InMemoryNearbyNetwork : public QObject {
    Q_OBJECT
public:
    /// A transport on this network for `advertisement`.
    std::unique_ptr<InMemoryNearbyTransport> makeTransport(const NearbyAdvertisement& ad);
    /// A factory for NearbyLaunchDiscoveryService that makes transports on this network.
    NearbyTransportFactory factory();

    /// Something else on the network advertises the service type with `info` (absent: no
    /// discovery information at all). Browsing transports see it now, later ones on start.
    void addForeignAdvertisement(const QString& serviceType, const QString& peerName,
                                 std::optional<DiscoveryInfo> info);
    /// The next start of advertising (browsing) on any transport fails with `error`.
    void failNextAdvertising(const QString& error) { m_advertisingErrors << error; }
    void failNextBrowsing(const QString& error) { m_browsingErrors << error; }
    /// Another device invites every advertising transport; the answers arrive in `answers`.
    void inviteAdvertisers(const QString& fromPeer);

    QList<bool> answers; ///< one entry per answered invitation, in answer order
    /// The transports made on this network that still exist.
    QList<InMemoryNearbyTransport*> transports() const;

private:
    friend class InMemoryNearbyTransport;
    struct Advertisement {
        QString serviceType;
        QString peerName;
        std::optional<DiscoveryInfo> info;
    };
    void advertisingStarted(InMemoryNearbyTransport* source);
    void browsingStarted(InMemoryNearbyTransport* browser);
    void deliver(InMemoryNearbyTransport* browser, const Advertisement& ad);
    std::optional<QString> takeError(QStringList& errors);

    /// Owned by the devices that joined; each leaves the list when it goes.
    QList<InMemoryNearbyTransport*> m_transports;
    QList<Advertisement> m_foreign;
    QStringList m_advertisingErrors;
    QStringList m_browsingErrors;
};

/// A transport on an InMemoryNearbyNetwork. It records how often it was started and stopped.
class InMemoryNearbyTransport final : public QObject, public NearbyTransport {
    Q_OBJECT
public:
    InMemoryNearbyTransport(InMemoryNearbyNetwork* network, NearbyAdvertisement advertisement);
    ~InMemoryNearbyTransport() override;

    void setDelegate(NearbyTransportDelegate* delegate) override { m_delegate = delegate; }
    void startAdvertising() override;
    void stopAdvertising() override;
    void startBrowsing() override;
    void stopBrowsing() override;

    const NearbyAdvertisement& advertisement() const { return m_advertisement; }
    bool isAdvertising() const { return m_isAdvertising; }
    bool isBrowsing() const { return m_isBrowsing; }
    bool hasDelegate() const { return m_delegate != nullptr; }

private:
    friend class InMemoryNearbyNetwork;
    /// A test's network may go before the transports that joined it.
    QPointer<InMemoryNearbyNetwork> m_network;
    NearbyAdvertisement m_advertisement;
    NearbyTransportDelegate* m_delegate = nullptr;
    bool m_isAdvertising = false;
    bool m_isBrowsing = false;
    QSet<QString> m_reported; ///< peers reported during the current browse
};

} // namespace sonavert
