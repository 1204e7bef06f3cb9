#pragma once

#include "src/account/cloud_server_browser.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QHash>
#include <memory>

namespace sonavert {

class AvahiBrowser;
struct AvahiResolvedService;
struct AvahiServiceRoute;

/// The cloud servers that announce themselves through avahi-daemon (`_sonavert-cloud._tcp`).
/// A server seen on several interfaces, or over IPv4 and IPv6, is listed once, under the
/// address a device can best use: IPv4, else a routable IPv6 address, else a link-local one
/// with its interface named. Servers that speak another protocol version are left out.
class AvahiCloudServerBrowser final : public CloudServerBrowser {
    Q_OBJECT
public:
    static constexpr char kServiceType[] = "_sonavert-cloud._tcp";

    /// `bus` is the system bus, or a private bus where a test's daemon runs.
    explicit AvahiCloudServerBrowser(QDBusConnection bus, QObject* parent = nullptr);
    ~AvahiCloudServerBrowser() override;

    void start() override;
    void stop() override;
    QList<FoundCloudServer> servers() const override { return m_servers; }

    /// The list the resolved routes make: one entry per service name, in name order.
    static QList<FoundCloudServer> serversOf(const QList<AvahiResolvedService>& routes);

private:
    void onRouteAdded(const AvahiServiceRoute& route);
    void onRouteRemoved(const AvahiServiceRoute& route);
    void forgetAll();
    QCoro::Task<> resolve(quint64 generation, AvahiServiceRoute route);
    void update();

    std::unique_ptr<AvahiBrowser> m_browser;
    quint64 m_generation = 0;
    /// Per service name, its routes by route key, resolved or (until then) not.
    QHash<QString, QHash<QString, std::optional<AvahiResolvedService>>> m_routes;
    QList<FoundCloudServer> m_servers;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
