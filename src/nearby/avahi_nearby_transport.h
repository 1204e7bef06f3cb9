#pragma once

#include "src/nearby/nearby_transport.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QSet>
#include <memory>

namespace sonavert {

class AvahiBrowser;
class AvahiPublisher;
struct AvahiServiceRoute;

/// DNS-SD through avahi-daemon's D-Bus API: the advertisement is published as a service of
/// type "_" + serviceType + "._tcp" whose TXT record holds the discovery information, and
/// services of that type are browsed and resolved. Every call is asynchronous. A missing
/// daemon, or one that goes away, is reported as a failure; when it comes (back) while
/// advertising or browsing is wanted, both start again by themselves.
class AvahiNearbyTransport final : public QObject, public NearbyTransport {
    Q_OBJECT
public:
    /// `bus` is the system bus, or a private bus where a test's daemon runs.
    AvahiNearbyTransport(NearbyAdvertisement advertisement, QDBusConnection bus,
                         QObject* parent = nullptr);
    ~AvahiNearbyTransport() override;

    /// A factory that makes Avahi transports on the system bus.
    static NearbyTransportFactory systemBusFactory();

    void setDelegate(NearbyTransportDelegate* delegate) override { m_delegate = delegate; }
    void startAdvertising() override;
    void stopAdvertising() override;
    void startBrowsing() override;
    void stopBrowsing() override;

    /// The service name currently published (it changes when another device holds it).
    const QString& serviceName() const;
    /// "_tessary._tcp" for "tessary".
    static QString dnsServiceType(const QString& serviceType);
    /// TXT strings "key=value" of `info`, and back; strings without "=" are skipped.
    static QList<QByteArray> encodeTxt(const DiscoveryInfo& info);
    static DiscoveryInfo decodeTxt(const QList<QByteArray>& txt);

Q_SIGNALS:
    /// The advertisement is established on the network under serviceName().
    void advertisementEstablished(const QString& serviceName);

private:
    void onRouteAdded(const AvahiServiceRoute& route);
    void onRouteRemoved(const AvahiServiceRoute& route);
    QCoro::Task<> resolve(quint64 generation, AvahiServiceRoute route);
    void reportAdvertisingFailure(const QString& error);
    void reportBrowsingFailure(const QString& error);

    NearbyTransportDelegate* m_delegate = nullptr;
    std::unique_ptr<AvahiPublisher> m_publisher;
    std::unique_ptr<AvahiBrowser> m_browser;
    quint64 m_browsingGeneration = 0;
    /// Services seen during this browse, each with the interface/protocol pairs it is on;
    /// a service is reported once, however many ways it is reachable.
    QHash<QString, QSet<QString>> m_seen;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
