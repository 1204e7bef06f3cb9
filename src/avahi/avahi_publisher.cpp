#include "src/avahi/avahi_publisher.h"

#include "src/avahi/avahi_dbus.h"

#include <QDBusMetaType>
#include <QDBusServiceWatcher>

namespace sonavert {

namespace {

// Entry group states.
constexpr int kGroupEstablished = 2;
constexpr int kGroupCollision = 3;
constexpr int kGroupFailure = 4;
// Renames in a row before giving up on a crowded name.
constexpr int kMaxRenames = 32;
const QString kStateChanged = QStringLiteral("StateChanged");

QVariantList addServiceArguments(const AvahiServiceEntry& entry) {
    return {avahi::kAnyInterface,
            avahi::kAnyProtocol,
            0u,
            entry.name,
            entry.type,
            QString(),
            QString(),
            QVariant::fromValue(entry.port),
            QVariant::fromValue(entry.txt)};
}

// Braced lists of Qt values do not compile inside a coroutine with g++ 12.
QVariantList nameArguments(const QString& name) {
    return {name};
}

} // namespace

AvahiPublisher::AvahiPublisher(AvahiServiceEntry entry, QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_entry(std::move(entry))
    , m_bus(std::move(bus)) {
    qDBusRegisterMetaType<QList<QByteArray>>();
    m_entry.name = avahi::serviceLabel(m_entry.name);
    m_watcher = new QDBusServiceWatcher(avahi::kService, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &AvahiPublisher::onDaemonRegistered);
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &AvahiPublisher::onDaemonUnregistered);
}

AvahiPublisher::~AvahiPublisher() {
    stop();
}

void AvahiPublisher::start() {
    if (m_isWanted)
        return;
    m_isWanted = true;
    publish(++m_generation);
}

void AvahiPublisher::stop() {
    if (!m_isWanted)
        return;
    m_isWanted = false;
    ++m_generation;
    const QString path = releaseGroup();
    if (!path.isEmpty())
        avahi::freeObject(m_bus, path, avahi::kEntryGroupInterface);
}

void AvahiPublisher::stopAndWait(int timeoutMs) {
    if (!m_isWanted)
        return;
    m_isWanted = false;
    ++m_generation;
    const QString path = releaseGroup();
    if (!path.isEmpty())
        m_bus.call(avahi::methodCall(path, avahi::kEntryGroupInterface, QStringLiteral("Free")),
                   QDBus::Block, timeoutMs);
}

// Gives the group's path, no longer listened to, for the caller to free.
QString AvahiPublisher::releaseGroup() {
    if (!m_groupPath.isEmpty())
        m_bus.disconnect(QString(), m_groupPath, avahi::kEntryGroupInterface, kStateChanged, this,
                         SLOT(onGroupStateChanged(QDBusMessage)));
    return std::exchange(m_groupPath, QString());
}

void AvahiPublisher::fail(const QString& error) {
    Q_EMIT failed(error);
}

QCoro::Task<> AvahiPublisher::publish(quint64 generation) {
    const std::stop_token stop = m_tasks.token();
    QDBusConnection bus = m_bus;
    const QDBusMessage reply =
        co_await avahi::send(bus, avahi::methodCall(QStringLiteral("/"), avahi::kServerInterface,
                                                    QStringLiteral("EntryGroupNew")));
    const bool isWanted = !stop.stop_requested() && isCurrent(generation);
    if (avahi::isError(reply)) {
        if (isWanted)
            fail(reply.errorMessage());
        co_return;
    }
    if (!isWanted) {
        // Stopped while the group was being made: give it back.
        avahi::freeObject(bus, avahi::objectPath(reply), avahi::kEntryGroupInterface);
        co_return;
    }
    m_groupPath = avahi::objectPath(reply);
    // Matched by path from any sender: naming the daemon's well-known name would make QtDBus
    // look its owner up with a blocking call.
    m_bus.connect(QString(), m_groupPath, avahi::kEntryGroupInterface, kStateChanged, this,
                  SLOT(onGroupStateChanged(QDBusMessage)));
    co_await addAndCommit(generation);
}

QCoro::Task<bool> AvahiPublisher::addAndCommit(quint64 generation) {
    const std::stop_token stop = m_tasks.token();
    for (int attempt = 0; attempt <= kMaxRenames; ++attempt) {
        const QDBusMessage added = co_await avahi::send(
            m_bus, avahi::methodCall(m_groupPath, avahi::kEntryGroupInterface,
                                     QStringLiteral("AddService"), addServiceArguments(m_entry)));
        if (stop.stop_requested() || !isCurrent(generation))
            co_return false;
        // Another service on this host holds the name already.
        if (avahi::isError(added) && added.errorName() == avahi::kCollisionError) {
            if (co_await takeAlternativeName(generation))
                continue;
            co_return false;
        }
        if (avahi::isError(added)) {
            fail(added.errorMessage());
            co_return false;
        }
        const QDBusMessage committed =
            co_await avahi::send(m_bus, avahi::methodCall(m_groupPath, avahi::kEntryGroupInterface,
                                                          QStringLiteral("Commit")));
        if (stop.stop_requested() || !isCurrent(generation))
            co_return false;
        if (avahi::isError(committed))
            fail(committed.errorMessage());
        co_return !avahi::isError(committed);
    }
    fail(QStringLiteral("no free service name"));
    co_return false;
}

QCoro::Task<bool> AvahiPublisher::takeAlternativeName(quint64 generation) {
    const std::stop_token stop = m_tasks.token();
    const QDBusMessage renamed =
        co_await avahi::send(m_bus, avahi::methodCall(QStringLiteral("/"), avahi::kServerInterface,
                                                      QStringLiteral("GetAlternativeServiceName"),
                                                      nameArguments(m_entry.name)));
    if (stop.stop_requested() || !isCurrent(generation))
        co_return false;
    if (avahi::isError(renamed)) {
        fail(renamed.errorMessage());
        co_return false;
    }
    m_entry.name = renamed.arguments().value(0).toString();
    co_return true;
}

QCoro::Task<> AvahiPublisher::rename(quint64 generation) {
    const std::stop_token stop = m_tasks.token();
    // Another host on the network published the same name first: take the next one.
    if (!co_await takeAlternativeName(generation) || stop.stop_requested())
        co_return;
    const QDBusMessage reset =
        co_await avahi::send(m_bus, avahi::methodCall(m_groupPath, avahi::kEntryGroupInterface,
                                                      QStringLiteral("Reset")));
    if (stop.stop_requested() || !isCurrent(generation))
        co_return;
    if (avahi::isError(reset)) {
        fail(reset.errorMessage());
        co_return;
    }
    co_await addAndCommit(generation);
}

void AvahiPublisher::onGroupStateChanged(const QDBusMessage& message) {
    if (message.path() != m_groupPath || !m_isWanted)
        return;
    const int state = message.arguments().value(0).toInt();
    if (state == kGroupEstablished)
        Q_EMIT established(m_entry.name);
    else if (state == kGroupCollision)
        rename(m_generation);
    else if (state == kGroupFailure)
        fail(message.arguments().value(1).toString());
}

void AvahiPublisher::onDaemonUnregistered() {
    // The daemon's objects died with it; whatever was in flight belongs to the old one.
    ++m_generation;
    releaseGroup();
    if (m_isWanted)
        fail(QStringLiteral("avahi-daemon left the bus"));
}

void AvahiPublisher::onDaemonRegistered() {
    if (m_isWanted)
        publish(++m_generation);
}

} // namespace sonavert
