#include "src/account/avahi_cloud_server_browser.h"

#include "src/avahi/avahi_browser.h"

#include <QHostAddress>
#include <algorithm>
#include <net/if.h>

namespace sonavert {

namespace {

// The version of the calls' paths ("/database/1/...") this device speaks.
constexpr char kProtocolVersion[] = "1";

QByteArray txtValue(const QList<QByteArray>& txt, const QByteArray& key) {
    for (const QByteArray& entry : txt)
        if (entry.startsWith(key + '='))
            return entry.mid(key.size() + 1);
    return {};
}

/// How useful an address is to a device: lower is better; nothing when it is of no use.
std::optional<int> rankOf(const QHostAddress& address) {
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return 0;
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return std::nullopt;
    return address.isLinkLocal() ? 2 : 1;
}

// A link-local address means something only together with the interface it is on.
QString scopeOf(int interfaceIndex) {
    char name[IF_NAMESIZE] = {};
    if (interfaceIndex <= 0 || !if_indextoname(static_cast<unsigned>(interfaceIndex), name))
        return {};
    return QString::fromLocal8Bit(name);
}

std::optional<QUrl> urlOf(const AvahiResolvedService& route) {
    QHostAddress address(route.address);
    if (txtValue(route.txt, "protocol") != kProtocolVersion || !rankOf(address) || route.port == 0)
        return std::nullopt;
    if (address.isLinkLocal() && address.protocol() == QAbstractSocket::IPv6Protocol) {
        const QString scope = scopeOf(route.route.interfaceIndex);
        if (scope.isEmpty())
            return std::nullopt;
        address.setScopeId(scope);
    }
    QUrl url;
    url.setScheme(txtValue(route.txt, "tls") == "1" ? QStringLiteral("https")
                                                    : QStringLiteral("http"));
    url.setHost(address.toString()); // QUrl brackets an IPv6 literal itself
    url.setPort(route.port);
    const QString path = QString::fromUtf8(txtValue(route.txt, "path"));
    url.setPath(path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path);
    return url.isValid() ? std::optional(url) : std::nullopt;
}

} // namespace

AvahiCloudServerBrowser::AvahiCloudServerBrowser(QDBusConnection bus, QObject* parent)
    : CloudServerBrowser(parent)
    , m_browser(std::make_unique<AvahiBrowser>(QString::fromLatin1(kServiceType), bus)) {
    connect(m_browser.get(), &AvahiBrowser::routeAdded, this,
            &AvahiCloudServerBrowser::onRouteAdded);
    connect(m_browser.get(), &AvahiBrowser::routeRemoved, this,
            &AvahiCloudServerBrowser::onRouteRemoved);
    connect(m_browser.get(), &AvahiBrowser::routesForgotten, this,
            &AvahiCloudServerBrowser::forgetAll);
}

AvahiCloudServerBrowser::~AvahiCloudServerBrowser() = default;

void AvahiCloudServerBrowser::start() {
    m_browser->start();
}

void AvahiCloudServerBrowser::stop() {
    m_browser->stop();
    forgetAll();
}

void AvahiCloudServerBrowser::forgetAll() {
    ++m_generation;
    m_routes.clear();
    update();
}

void AvahiCloudServerBrowser::onRouteAdded(const AvahiServiceRoute& route) {
    m_routes[route.name].insert(route.routeKey(), std::nullopt);
    resolve(m_generation, route);
}

void AvahiCloudServerBrowser::onRouteRemoved(const AvahiServiceRoute& route) {
    auto found = m_routes.find(route.name);
    if (found == m_routes.end())
        return;
    found->remove(route.routeKey());
    if (found->isEmpty())
        m_routes.erase(found);
    update();
}

QCoro::Task<> AvahiCloudServerBrowser::resolve(quint64 generation, AvahiServiceRoute route) {
    const std::stop_token stop = m_tasks.token();
    auto resolved = co_await m_browser->resolve(route);
    if (stop.stop_requested() || generation != m_generation || !resolved)
        co_return;
    // Gone while it was resolved: its removal came first and wins.
    auto routes = m_routes.find(route.name);
    if (routes == m_routes.end() || !routes->contains(route.routeKey()))
        co_return;
    (*routes)[route.routeKey()] = std::move(resolved);
    update();
}

void AvahiCloudServerBrowser::update() {
    QList<AvahiResolvedService> resolved;
    for (const auto& routes : std::as_const(m_routes))
        for (const auto& route : routes)
            if (route)
                resolved << *route;
    QList<FoundCloudServer> servers = serversOf(resolved);
    if (servers == m_servers)
        return;
    m_servers = std::move(servers);
    Q_EMIT serversChanged();
}

QList<FoundCloudServer>
AvahiCloudServerBrowser::serversOf(const QList<AvahiResolvedService>& routes) {
    // Per name, the best-ranked usable address. The routes come in no particular order (a
    // hash's), so equal ranks go to the lowest URL: a list that flipped between two equally
    // good addresses on every change would move under the user's pointer.
    QMap<QString, std::pair<int, QString>> best;
    for (const AvahiResolvedService& route : routes) {
        const auto url = urlOf(route);
        if (!url)
            continue;
        const std::pair candidate{*rankOf(QHostAddress(route.address)),
                                  url->toString(QUrl::FullyEncoded)};
        const auto it = best.constFind(route.route.name);
        if (it == best.constEnd() || candidate < *it)
            best.insert(route.route.name, candidate);
    }
    QList<FoundCloudServer> servers;
    for (auto it = best.cbegin(); it != best.cend(); ++it)
        servers.append(FoundCloudServer{it.key(), QUrl(it->second)});
    return servers;
}

} // namespace sonavert
