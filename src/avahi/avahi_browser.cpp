#include "src/avahi/avahi_browser.h"

#include "src/avahi/avahi_dbus.h"

#include <QDBusMetaType>
#include <QDBusServiceWatcher>

namespace sonavert {

namespace {

struct BrowserSignal {
    const char* name;
    const char* slot;
};
const BrowserSignal kBrowserSignals[] = {
    {"ItemNew", SLOT(onItemNew(QDBusMessage))},
    {"ItemRemove", SLOT(onItemRemove(QDBusMessage))},
    {"Failure", SLOT(onFailure(QDBusMessage))},
};

// ItemNew and ItemRemove carry interface, protocol, name, type, domain and flags.
AvahiServiceRoute routeOf(const QVariantList& a) {
    return AvahiServiceRoute{a.value(0).toInt(), a.value(1).toInt(), a.value(2).toString(),
                             a.value(3).toString(), a.value(4).toString()};
}

// Braced lists of Qt values do not compile inside a coroutine with g++ 12.
QVariantList browserArguments(const QString& type) {
    return {avahi::kAnyInterface, avahi::kAnyProtocol, type, QString(), 0u};
}

// The address is asked for in the protocol the route was seen on. Asked for any, the daemon
// answers whichever record comes first, and since it publishes AAAA records over IPv4 too, a
// route seen over IPv4 could resolve to a link-local IPv6 address and the IPv4 one would never
// be offered.
QVariantList resolveArguments(const AvahiServiceRoute& route) {
    return {route.interfaceIndex, route.protocol, route.name, route.type,
            route.domain,         route.protocol, 0u};
}

// ResolveService answers interface, protocol, name, type, domain, host, address protocol,
// address, port, TXT and flags.
AvahiResolvedService resolvedOf(const AvahiServiceRoute& route, const QVariantList& a) {
    AvahiResolvedService resolved;
    resolved.route = route;
    resolved.host = a.value(5).toString();
    resolved.addressProtocol = a.value(6).toInt();
    resolved.address = a.value(7).toString();
    resolved.port = static_cast<quint16>(a.value(8).toUInt());
    resolved.txt = qdbus_cast<QList<QByteArray>>(a.value(9));
    return resolved;
}

} // namespace

QString AvahiServiceRoute::routeKey() const {
    return QString::number(interfaceIndex) + QLatin1Char('/') + QString::number(protocol);
}

AvahiBrowser::AvahiBrowser(QString type, QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_type(std::move(type))
    , m_bus(std::move(bus)) {
    qDBusRegisterMetaType<QList<QByteArray>>();
    m_watcher = new QDBusServiceWatcher(avahi::kService, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &AvahiBrowser::onDaemonRegistered);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &AvahiBrowser::onDaemonUnregistered);
}

AvahiBrowser::~AvahiBrowser() {
    stop();
}

void AvahiBrowser::start() {
    if (m_isWanted)
        return;
    m_isWanted = true;
    browse(++m_generation);
}

void AvahiBrowser::stop() {
    if (!m_isWanted)
        return;
    m_isWanted = false;
    ++m_generation;
    releaseBrowser();
}

void AvahiBrowser::connectBrowserSignals(bool isConnecting) {
    // Matched by path from any sender: naming the daemon's well-known name would make QtDBus
    // look its owner up with a blocking call.
    for (const BrowserSignal& signal : kBrowserSignals) {
        const QString name = QString::fromLatin1(signal.name);
        if (isConnecting)
            m_bus.connect(QString(), m_browserPath, avahi::kBrowserInterface, name, this,
                          signal.slot);
        else
            m_bus.disconnect(QString(), m_browserPath, avahi::kBrowserInterface, name, this,
                             signal.slot);
    }
}

void AvahiBrowser::releaseBrowser() {
    if (m_browserPath.isEmpty())
        return;
    connectBrowserSignals(false);
    avahi::freeObject(m_bus, m_browserPath, avahi::kBrowserInterface);
    m_browserPath.clear();
}

QCoro::Task<> AvahiBrowser::browse(quint64 generation) {
    const std::stop_token stop = m_tasks.token();
    QDBusConnection bus = m_bus;
    // A prepared browser reports nothing until Start, so no item can slip past before the
    // signals below are connected.
    const QDBusMessage reply = co_await avahi::send(
        bus, avahi::methodCall(QStringLiteral("/"), avahi::kServer2Interface,
                               QStringLiteral("ServiceBrowserPrepare"), browserArguments(m_type)));
    const bool isCurrent = !stop.stop_requested() && generation == m_generation;
    if (avahi::isError(reply)) {
        if (isCurrent)
            Q_EMIT failed(reply.errorMessage());
        co_return;
    }
    if (!isCurrent) {
        avahi::freeObject(bus, avahi::objectPath(reply), avahi::kBrowserInterface);
        co_return;
    }
    m_browserPath = avahi::objectPath(reply);
    connectBrowserSignals(true);
    const QDBusMessage started = co_await avahi::send(
        bus, avahi::methodCall(m_browserPath, avahi::kBrowserInterface, QStringLiteral("Start")));
    if (!stop.stop_requested() && generation == m_generation && avahi::isError(started))
        Q_EMIT failed(started.errorMessage());
}

QCoro::Task<std::optional<AvahiResolvedService>> AvahiBrowser::resolve(AvahiServiceRoute route) {
    const QDBusMessage reply = co_await avahi::send(
        m_bus, avahi::methodCall(QStringLiteral("/"), avahi::kServerInterface,
                                 QStringLiteral("ResolveService"), resolveArguments(route)));
    if (avahi::isError(reply))
        co_return std::nullopt;
    co_return resolvedOf(route, reply.arguments());
}

void AvahiBrowser::onItemNew(const QDBusMessage& message) {
    if (message.path() == m_browserPath && m_isWanted)
        Q_EMIT routeAdded(routeOf(message.arguments()));
}

void AvahiBrowser::onItemRemove(const QDBusMessage& message) {
    if (message.path() == m_browserPath && m_isWanted)
        Q_EMIT routeRemoved(routeOf(message.arguments()));
}

void AvahiBrowser::onFailure(const QDBusMessage& message) {
    if (message.path() == m_browserPath && m_isWanted)
        Q_EMIT failed(message.arguments().value(0).toString());
}

void AvahiBrowser::onDaemonUnregistered() {
    // The daemon's objects died with it; whatever was in flight belongs to the old one.
    ++m_generation;
    m_browserPath.clear();
    Q_EMIT routesForgotten();
    if (m_isWanted)
        Q_EMIT failed(QStringLiteral("avahi-daemon left the bus"));
}

void AvahiBrowser::onDaemonRegistered() {
    if (m_isWanted)
        browse(++m_generation);
}

} // namespace sonavert
