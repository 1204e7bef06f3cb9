#include "src/nearby/in_memory_nearby_transport.h"

namespace sonavert {

namespace {

// Calls `work` from the event loop, unless `context` is gone by then.
template <typename F> void post(QObject* context, F work) {
    QMetaObject::invokeMethod(context, std::move(work), Qt::QueuedConnection);
}

} // namespace

std::unique_ptr<InMemoryNearbyTransport>
InMemoryNearbyNetwork::makeTransport(const NearbyAdvertisement& ad) {
    auto transport = std::make_unique<InMemoryNearbyTransport>(this, ad);
    m_transports << transport.get();
    return transport;
}

NearbyTransportFactory InMemoryNearbyNetwork::factory() {
    // A factory kept past its network is a test's mistake, and says so.
    return [network = QPointer(this)](const NearbyAdvertisement& ad) {
        Q_ASSERT(network);
        return std::unique_ptr<NearbyTransport>(network->makeTransport(ad));
    };
}

QList<InMemoryNearbyTransport*> InMemoryNearbyNetwork::transports() const {
    return m_transports;
}

void InMemoryNearbyNetwork::addForeignAdvertisement(const QString& serviceType,
                                                    const QString& peerName,
                                                    std::optional<DiscoveryInfo> info) {
    const Advertisement ad{serviceType, peerName, std::move(info)};
    m_foreign << ad;
    for (auto* browser : transports())
        deliver(browser, ad);
}

void InMemoryNearbyNetwork::inviteAdvertisers(const QString& fromPeer) {
    for (auto* transport : transports()) {
        if (!transport->m_isAdvertising || !transport->m_delegate)
            continue;
        transport->m_delegate->receivedInvitation(fromPeer,
                                                  [this](bool accept) { answers << accept; });
    }
}

std::optional<QString> InMemoryNearbyNetwork::takeError(QStringList& errors) {
    if (errors.isEmpty())
        return std::nullopt;
    return errors.takeFirst();
}

void InMemoryNearbyNetwork::advertisingStarted(InMemoryNearbyTransport* source) {
    if (auto error = takeError(m_advertisingErrors)) {
        source->m_isAdvertising = false;
        post(source, [source, text = *error] {
            if (source->m_delegate)
                source->m_delegate->advertisingFailed(text);
        });
        return;
    }
    const auto& ad = source->m_advertisement;
    for (auto* browser : transports())
        if (browser != source)
            deliver(browser, Advertisement{ad.serviceType, ad.peerName, ad.discoveryInfo});
    // A device also hears its own advertisement, as it does on a real network.
    deliver(source, Advertisement{ad.serviceType, ad.peerName, ad.discoveryInfo});
}

void InMemoryNearbyNetwork::browsingStarted(InMemoryNearbyTransport* browser) {
    if (auto error = takeError(m_browsingErrors)) {
        browser->m_isBrowsing = false;
        post(browser, [browser, text = *error] {
            if (browser->m_delegate)
                browser->m_delegate->browsingFailed(text);
        });
        return;
    }
    for (auto* source : transports()) {
        const auto& ad = source->m_advertisement;
        if (source->m_isAdvertising)
            deliver(browser, Advertisement{ad.serviceType, ad.peerName, ad.discoveryInfo});
    }
    for (const auto& ad : m_foreign)
        deliver(browser, ad);
}

void InMemoryNearbyNetwork::deliver(InMemoryNearbyTransport* browser, const Advertisement& ad) {
    if (ad.serviceType != browser->m_advertisement.serviceType)
        return;
    post(browser, [browser, ad] {
        // Like a real browser, each advertisement is reported once per browse.
        if (!browser->m_isBrowsing || browser->m_reported.contains(ad.peerName))
            return;
        browser->m_reported.insert(ad.peerName);
        if (browser->m_delegate)
            browser->m_delegate->foundPeer(ad.peerName, ad.info);
    });
}

InMemoryNearbyTransport::InMemoryNearbyTransport(InMemoryNearbyNetwork* network,
                                                 NearbyAdvertisement advertisement)
    : m_network(network)
    , m_advertisement(std::move(advertisement)) {}

InMemoryNearbyTransport::~InMemoryNearbyTransport() {
    if (m_network)
        m_network->m_transports.removeOne(this);
}

void InMemoryNearbyTransport::startAdvertising() {
    if (m_isAdvertising || !m_network)
        return;
    m_isAdvertising = true;
    m_network->advertisingStarted(this);
}

void InMemoryNearbyTransport::stopAdvertising() {
    m_isAdvertising = false;
}

void InMemoryNearbyTransport::startBrowsing() {
    if (m_isBrowsing || !m_network)
        return;
    m_isBrowsing = true;
    m_network->browsingStarted(this);
}

void InMemoryNearbyTransport::stopBrowsing() {
    m_isBrowsing = false;
    m_reported.clear();
}

} // namespace sonavert
