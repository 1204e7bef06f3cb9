#include "src/nearby/avahi_nearby_transport.h"

#include "src/avahi/avahi_browser.h"
#include "src/avahi/avahi_dbus.h"
#include "src/avahi/avahi_publisher.h"

namespace sonavert {

namespace {

// Nothing ever connects to the advertised service, but an SRV record needs a port: 9 is the
// discard port, which says so.
constexpr quint16 kNominalPort = 9;

// The service name shown in service browsers: the device's name when it has one.
QString initialServiceName(const NearbyAdvertisement& ad) {
    const QString name = ad.discoveryInfo.value(QStringLiteral("deviceName"));
    return name.trimmed().isEmpty() ? ad.peerName : name;
}

} // namespace

AvahiNearbyTransport::AvahiNearbyTransport(NearbyAdvertisement advertisement, QDBusConnection bus,
                                           QObject* parent)
    : QObject(parent) {
    const QString type = dnsServiceType(advertisement.serviceType);
    m_publisher = std::make_unique<AvahiPublisher>(
        AvahiServiceEntry{initialServiceName(advertisement), type, kNominalPort,
                          encodeTxt(advertisement.discoveryInfo)},
        bus);
    m_browser = std::make_unique<AvahiBrowser>(type, bus);
    connect(m_publisher.get(), &AvahiPublisher::established, this,
            &AvahiNearbyTransport::advertisementEstablished);
    connect(m_publisher.get(), &AvahiPublisher::failed, this,
            &AvahiNearbyTransport::reportAdvertisingFailure);
    connect(m_browser.get(), &AvahiBrowser::routeAdded, this, &AvahiNearbyTransport::onRouteAdded);
    connect(m_browser.get(), &AvahiBrowser::routeRemoved, this,
            &AvahiNearbyTransport::onRouteRemoved);
    connect(m_browser.get(), &AvahiBrowser::routesForgotten, this, [this] {
        ++m_browsingGeneration;
        m_seen.clear();
    });
    connect(m_browser.get(), &AvahiBrowser::failed, this,
            &AvahiNearbyTransport::reportBrowsingFailure);
}

AvahiNearbyTransport::~AvahiNearbyTransport() {
    m_delegate = nullptr;
}

NearbyTransportFactory AvahiNearbyTransport::systemBusFactory() {
    return [](const NearbyAdvertisement& ad) {
        return std::unique_ptr<NearbyTransport>(
            new AvahiNearbyTransport(ad, QDBusConnection::systemBus()));
    };
}

const QString& AvahiNearbyTransport::serviceName() const {
    return m_publisher->serviceName();
}

QString AvahiNearbyTransport::dnsServiceType(const QString& serviceType) {
    return avahi::dnsServiceType(serviceType);
}

QList<QByteArray> AvahiNearbyTransport::encodeTxt(const DiscoveryInfo& info) {
    QList<QByteArray> txt;
    for (auto it = info.begin(); it != info.end(); ++it)
        txt << (it.key() + QLatin1Char('=') + it.value()).toUtf8();
    return txt;
}

DiscoveryInfo AvahiNearbyTransport::decodeTxt(const QList<QByteArray>& txt) {
    DiscoveryInfo info;
    for (const QByteArray& entry : txt) {
        const qsizetype equals = entry.indexOf('=');
        if (equals <= 0)
            continue;
        info.insert(QString::fromUtf8(entry.left(equals)),
                    QString::fromUtf8(entry.mid(equals + 1)));
    }
    return info;
}

void AvahiNearbyTransport::reportAdvertisingFailure(const QString& error) {
    if (m_delegate)
        m_delegate->advertisingFailed(error);
}

void AvahiNearbyTransport::reportBrowsingFailure(const QString& error) {
    if (m_delegate)
        m_delegate->browsingFailed(error);
}

void AvahiNearbyTransport::startAdvertising() {
    m_publisher->start();
}

void AvahiNearbyTransport::stopAdvertising() {
    m_publisher->stop();
}

void AvahiNearbyTransport::startBrowsing() {
    m_browser->start();
}

void AvahiNearbyTransport::stopBrowsing() {
    ++m_browsingGeneration;
    m_seen.clear();
    m_browser->stop();
}

void AvahiNearbyTransport::onRouteAdded(const AvahiServiceRoute& route) {
    const bool isNew = !m_seen.contains(route.name);
    m_seen[route.name].insert(route.routeKey());
    if (isNew)
        resolve(m_browsingGeneration, route);
}

void AvahiNearbyTransport::onRouteRemoved(const AvahiServiceRoute& route) {
    auto found = m_seen.find(route.name);
    if (found == m_seen.end())
        return;
    found->remove(route.routeKey());
    if (!found->isEmpty())
        return;
    m_seen.erase(found);
    if (m_delegate)
        m_delegate->lostPeer(route.name);
}

QCoro::Task<> AvahiNearbyTransport::resolve(quint64 generation, AvahiServiceRoute route) {
    const std::stop_token stop = m_tasks.token();
    const auto resolved = co_await m_browser->resolve(route);
    if (stop.stop_requested() || generation != m_browsingGeneration)
        co_return;
    if (!resolved) {
        // It may have gone already; forget it so that its next appearance is tried again.
        m_seen.remove(route.name);
        co_return;
    }
    const DiscoveryInfo info = decodeTxt(resolved->txt);
    if (m_delegate)
        m_delegate->foundPeer(route.name, info.isEmpty() ? std::nullopt : std::optional(info));
}

} // namespace sonavert
