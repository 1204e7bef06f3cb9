#include "src/nearby/avahi_nearby_transport.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QPointer>

namespace sonavert {

namespace {

const QString kAvahiService = QStringLiteral("org.freedesktop.Avahi");
const QString kServerInterface = QStringLiteral("org.freedesktop.Avahi.Server");
const QString kServer2Interface = QStringLiteral("org.freedesktop.Avahi.Server2");
const QString kEntryGroupInterface = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
const QString kBrowserInterface = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
const QString kCollisionError = QStringLiteral("org.freedesktop.Avahi.CollisionError");

constexpr int kAnyInterface = -1; // AVAHI_IF_UNSPEC
constexpr int kAnyProtocol = -1;  // AVAHI_PROTO_UNSPEC
// Entry group states.
constexpr int kGroupEstablished = 2;
constexpr int kGroupCollision = 3;
constexpr int kGroupFailure = 4;
// Nothing ever connects to the advertised service, but an SRV record needs a port: 9 is the
// discard port, which says so.
constexpr quint16 kNominalPort = 9;
// Renames in a row before giving up on a crowded name.
constexpr int kMaxRenames = 32;
// Resolving waits for the other device to answer; Avahi itself gives up after a few seconds.
constexpr int kCallTimeoutMs = 10000;

QCoro::Task<QDBusMessage> send(QDBusConnection bus, QDBusMessage message) {
    const QDBusPendingCall pending = bus.asyncCall(message, kCallTimeoutMs);
    co_return co_await pending;
}

bool isError(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

QString objectPath(const QDBusMessage& reply) {
    return reply.arguments().value(0).value<QDBusObjectPath>().path();
}

QVariantList addServiceArguments(const QString& name, const QString& type,
                                 const QList<QByteArray>& txt) {
    return {kAnyInterface,
            kAnyProtocol,
            0u,
            name,
            type,
            QString(),
            QString(),
            QVariant::fromValue(kNominalPort),
            QVariant::fromValue(txt)};
}

QVariantList nameArguments(const QString& name) {
    return {name};
}

QVariantList browserArguments(const QString& type) {
    return {kAnyInterface, kAnyProtocol, type, QString(), 0u};
}

QVariantList resolveArguments(const QDBusMessage& item) {
    const QVariantList a = item.arguments();
    return {a.value(0), a.value(1), a.value(2), a.value(3), a.value(4), kAnyProtocol, 0u};
}

// The service name shown in service browsers: the device's name when it has one, cut to the
// 63 bytes a DNS label may hold.
QString initialServiceName(const NearbyAdvertisement& ad) {
    QString name = ad.discoveryInfo.value(QStringLiteral("deviceName"));
    if (name.trimmed().isEmpty())
        name = ad.peerName;
    while (name.toUtf8().size() > 63)
        name.chop(1);
    return name;
}

} // namespace

AvahiNearbyTransport::AvahiNearbyTransport(NearbyAdvertisement advertisement, QDBusConnection bus,
                                           QObject* parent)
    : QObject(parent)
    , m_advertisement(std::move(advertisement))
    , m_bus(std::move(bus))
    , m_serviceName(initialServiceName(m_advertisement)) {
    qDBusRegisterMetaType<QList<QByteArray>>();
    m_watcher = new QDBusServiceWatcher(kAvahiService, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &AvahiNearbyTransport::onDaemonRegistered);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &AvahiNearbyTransport::onDaemonUnregistered);
}

AvahiNearbyTransport::~AvahiNearbyTransport() {
    m_delegate = nullptr;
    stopAdvertising();
    stopBrowsing();
}

NearbyTransportFactory AvahiNearbyTransport::systemBusFactory() {
    return [](const NearbyAdvertisement& ad) {
        return std::unique_ptr<NearbyTransport>(
            new AvahiNearbyTransport(ad, QDBusConnection::systemBus()));
    };
}

QString AvahiNearbyTransport::dnsServiceType(const QString& serviceType) {
    return QLatin1Char('_') + serviceType + QStringLiteral("._tcp");
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

QDBusMessage AvahiNearbyTransport::call(const QString& path, const QString& interface,
                                        const QString& method,
                                        const QVariantList& arguments) const {
    QDBusMessage message = QDBusMessage::createMethodCall(kAvahiService, path, interface, method);
    message.setArguments(arguments);
    return message;
}

// Signals are matched by object path from any sender: naming the daemon's well-known name
// here would make QtDBus look its owner up with a blocking call.
bool AvahiNearbyTransport::connectSignal(const QString& path, const QString& interface,
                                         const QString& name, const char* slot) {
    return m_bus.connect(QString(), path, interface, name, this, slot);
}

void AvahiNearbyTransport::disconnectSignal(const QString& path, const QString& interface,
                                            const QString& name, const char* slot) {
    m_bus.disconnect(QString(), path, interface, name, this, slot);
}

void AvahiNearbyTransport::reportAdvertisingFailure(const QString& error) {
    if (m_delegate)
        m_delegate->advertisingFailed(error);
}

void AvahiNearbyTransport::reportBrowsingFailure(const QString& error) {
    if (m_delegate)
        m_delegate->browsingFailed(error);
}

// --- advertising ---------------------------------------------------------------------------

void AvahiNearbyTransport::startAdvertising() {
    if (m_wantsAdvertising)
        return;
    m_wantsAdvertising = true;
    publish(++m_advertisingGeneration);
}

void AvahiNearbyTransport::stopAdvertising() {
    if (!m_wantsAdvertising)
        return;
    m_wantsAdvertising = false;
    ++m_advertisingGeneration;
    releaseGroup();
}

void AvahiNearbyTransport::releaseGroup() {
    if (m_groupPath.isEmpty())
        return;
    disconnectSignal(m_groupPath, kEntryGroupInterface, QStringLiteral("StateChanged"),
                     SLOT(onGroupStateChanged(QDBusMessage)));
    m_bus.send(call(m_groupPath, kEntryGroupInterface, QStringLiteral("Free"), QVariantList()));
    m_groupPath.clear();
}

QCoro::Task<> AvahiNearbyTransport::publish(quint64 generation) {
    QPointer guard(this);
    QDBusConnection bus = m_bus;
    const QDBusMessage reply =
        co_await send(bus, call(QStringLiteral("/"), kServerInterface,
                                QStringLiteral("EntryGroupNew"), QVariantList()));
    const bool isCurrent = guard && generation == m_advertisingGeneration;
    if (isError(reply)) {
        if (isCurrent)
            reportAdvertisingFailure(reply.errorMessage());
        co_return;
    }
    if (!isCurrent) {
        // Stopped while the group was being made: give it back.
        QDBusMessage free = QDBusMessage::createMethodCall(
            kAvahiService, objectPath(reply), kEntryGroupInterface, QStringLiteral("Free"));
        bus.send(free);
        co_return;
    }
    m_groupPath = objectPath(reply);
    connectSignal(m_groupPath, kEntryGroupInterface, QStringLiteral("StateChanged"),
                  SLOT(onGroupStateChanged(QDBusMessage)));
    co_await addAndCommit(generation);
}

QCoro::Task<bool> AvahiNearbyTransport::addAndCommit(quint64 generation) {
    QPointer guard(this);
    const QList<QByteArray> txt = encodeTxt(m_advertisement.discoveryInfo);
    const QString type = dnsServiceType(m_advertisement.serviceType);
    for (int attempt = 0; attempt <= kMaxRenames; ++attempt) {
        const QDBusMessage added = co_await send(
            m_bus, call(m_groupPath, kEntryGroupInterface, QStringLiteral("AddService"),
                        addServiceArguments(m_serviceName, type, txt)));
        if (!guard || generation != m_advertisingGeneration)
            co_return false;
        if (isError(added) && added.errorName() == kCollisionError) {
            // Another service on this host holds the name already.
            const QDBusMessage renamed =
                co_await send(m_bus, call(QStringLiteral("/"), kServerInterface,
                                          QStringLiteral("GetAlternativeServiceName"),
                                          nameArguments(m_serviceName)));
            if (!guard || generation != m_advertisingGeneration)
                co_return false;
            if (!isError(renamed)) {
                m_serviceName = renamed.arguments().value(0).toString();
                continue;
            }
        }
        if (isError(added)) {
            reportAdvertisingFailure(added.errorMessage());
            co_return false;
        }
        const QDBusMessage committed =
            co_await send(m_bus, call(m_groupPath, kEntryGroupInterface, QStringLiteral("Commit"),
                                      QVariantList()));
        if (!guard || generation != m_advertisingGeneration)
            co_return false;
        if (isError(committed))
            reportAdvertisingFailure(committed.errorMessage());
        co_return !isError(committed);
    }
    reportAdvertisingFailure(QStringLiteral("no free service name"));
    co_return false;
}

QCoro::Task<> AvahiNearbyTransport::rename(quint64 generation) {
    QPointer guard(this);
    // Another device on the network published the same name first: take the next one.
    const QDBusMessage renamed = co_await send(
        m_bus, call(QStringLiteral("/"), kServerInterface,
                    QStringLiteral("GetAlternativeServiceName"), nameArguments(m_serviceName)));
    if (!guard || generation != m_advertisingGeneration)
        co_return;
    if (isError(renamed)) {
        reportAdvertisingFailure(renamed.errorMessage());
        co_return;
    }
    m_serviceName = renamed.arguments().value(0).toString();
    const QDBusMessage reset = co_await send(
        m_bus, call(m_groupPath, kEntryGroupInterface, QStringLiteral("Reset"), QVariantList()));
    if (!guard || generation != m_advertisingGeneration)
        co_return;
    if (isError(reset)) {
        reportAdvertisingFailure(reset.errorMessage());
        co_return;
    }
    co_await addAndCommit(generation);
}

void AvahiNearbyTransport::onGroupStateChanged(const QDBusMessage& message) {
    if (message.path() != m_groupPath || !m_wantsAdvertising)
        return;
    const int state = message.arguments().value(0).toInt();
    if (state == kGroupEstablished)
        Q_EMIT advertisementEstablished(m_serviceName);
    else if (state == kGroupCollision)
        rename(m_advertisingGeneration);
    else if (state == kGroupFailure)
        reportAdvertisingFailure(message.arguments().value(1).toString());
}

// --- browsing ------------------------------------------------------------------------------

void AvahiNearbyTransport::startBrowsing() {
    if (m_wantsBrowsing)
        return;
    m_wantsBrowsing = true;
    browse(++m_browsingGeneration);
}

void AvahiNearbyTransport::stopBrowsing() {
    if (!m_wantsBrowsing)
        return;
    m_wantsBrowsing = false;
    ++m_browsingGeneration;
    releaseBrowser();
}

void AvahiNearbyTransport::releaseBrowser() {
    m_seen.clear();
    if (m_browserPath.isEmpty())
        return;
    disconnectSignal(m_browserPath, kBrowserInterface, QStringLiteral("ItemNew"),
                     SLOT(onItemNew(QDBusMessage)));
    disconnectSignal(m_browserPath, kBrowserInterface, QStringLiteral("ItemRemove"),
                     SLOT(onItemRemove(QDBusMessage)));
    disconnectSignal(m_browserPath, kBrowserInterface, QStringLiteral("Failure"),
                     SLOT(onBrowserFailure(QDBusMessage)));
    m_bus.send(call(m_browserPath, kBrowserInterface, QStringLiteral("Free"), QVariantList()));
    m_browserPath.clear();
}

QCoro::Task<> AvahiNearbyTransport::browse(quint64 generation) {
    QPointer guard(this);
    QDBusConnection bus = m_bus;
    // A prepared browser reports nothing until Start, so no item can slip past before the
    // signals below are connected.
    const QDBusMessage reply = co_await send(
        bus, call(QStringLiteral("/"), kServer2Interface, QStringLiteral("ServiceBrowserPrepare"),
                  browserArguments(dnsServiceType(m_advertisement.serviceType))));
    const bool isCurrent = guard && generation == m_browsingGeneration;
    if (isError(reply)) {
        if (isCurrent)
            reportBrowsingFailure(reply.errorMessage());
        co_return;
    }
    if (!isCurrent) {
        bus.send(QDBusMessage::createMethodCall(kAvahiService, objectPath(reply), kBrowserInterface,
                                                QStringLiteral("Free")));
        co_return;
    }
    m_browserPath = objectPath(reply);
    connectSignal(m_browserPath, kBrowserInterface, QStringLiteral("ItemNew"),
                  SLOT(onItemNew(QDBusMessage)));
    connectSignal(m_browserPath, kBrowserInterface, QStringLiteral("ItemRemove"),
                  SLOT(onItemRemove(QDBusMessage)));
    connectSignal(m_browserPath, kBrowserInterface, QStringLiteral("Failure"),
                  SLOT(onBrowserFailure(QDBusMessage)));
    const QDBusMessage started = co_await send(
        bus, call(m_browserPath, kBrowserInterface, QStringLiteral("Start"), QVariantList()));
    if (guard && generation == m_browsingGeneration && isError(started))
        reportBrowsingFailure(started.errorMessage());
}

void AvahiNearbyTransport::onItemNew(const QDBusMessage& message) {
    if (message.path() != m_browserPath || !m_wantsBrowsing)
        return;
    const QVariantList a = message.arguments();
    const QString name = a.value(2).toString();
    const QString route = a.value(0).toString() + QLatin1Char('/') + a.value(1).toString();
    const bool isNew = !m_seen.contains(name);
    m_seen[name].insert(route);
    if (isNew)
        resolve(m_browsingGeneration, message);
}

void AvahiNearbyTransport::onItemRemove(const QDBusMessage& message) {
    if (message.path() != m_browserPath)
        return;
    const QVariantList a = message.arguments();
    const QString name = a.value(2).toString();
    auto found = m_seen.find(name);
    if (found == m_seen.end())
        return;
    found->remove(a.value(0).toString() + QLatin1Char('/') + a.value(1).toString());
    if (!found->isEmpty())
        return;
    m_seen.erase(found);
    if (m_delegate)
        m_delegate->lostPeer(name);
}

void AvahiNearbyTransport::onBrowserFailure(const QDBusMessage& message) {
    if (message.path() == m_browserPath && m_wantsBrowsing)
        reportBrowsingFailure(message.arguments().value(0).toString());
}

QCoro::Task<> AvahiNearbyTransport::resolve(quint64 generation, QDBusMessage item) {
    QPointer guard(this);
    const QString name = item.arguments().value(2).toString();
    const QDBusMessage reply =
        co_await send(m_bus, call(QStringLiteral("/"), kServerInterface,
                                  QStringLiteral("ResolveService"), resolveArguments(item)));
    if (!guard || generation != m_browsingGeneration)
        co_return;
    if (isError(reply)) {
        // It may have gone already; forget it so that its next appearance is tried again.
        m_seen.remove(name);
        co_return;
    }
    const auto txt = qdbus_cast<QList<QByteArray>>(reply.arguments().value(9));
    const DiscoveryInfo info = decodeTxt(txt);
    if (m_delegate)
        m_delegate->foundPeer(name, info.isEmpty() ? std::nullopt : std::optional(info));
}

// --- the daemon coming and going ----------------------------------------------------------

void AvahiNearbyTransport::onDaemonUnregistered() {
    // The daemon's objects died with it; whatever was in flight belongs to the old one.
    ++m_advertisingGeneration;
    ++m_browsingGeneration;
    m_groupPath.clear();
    m_browserPath.clear();
    m_seen.clear();
    const QString error = QStringLiteral("avahi-daemon left the bus");
    if (m_wantsAdvertising)
        reportAdvertisingFailure(error);
    if (m_wantsBrowsing)
        reportBrowsingFailure(error);
}

void AvahiNearbyTransport::onDaemonRegistered() {
    if (m_wantsAdvertising)
        publish(++m_advertisingGeneration);
    if (m_wantsBrowsing)
        browse(++m_browsingGeneration);
}

} // namespace sonavert
