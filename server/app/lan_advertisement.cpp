#include "server/app/lan_advertisement.h"

#include "src/avahi/avahi_publisher.h"

#include <QDBusError>
#include <QLoggingCategory>
#include <QSysInfo>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcLan, "sonavert.cloud.lan")

// Withdrawing at exit waits this long for the daemon at most.
constexpr int kWithdrawTimeoutMs = 2000;
} // namespace

LanAdvertisement::LanAdvertisement(QString name, const QHostAddress& listenAddress, quint16 port,
                                   bool isSecure, QDBusConnection bus, QObject* parent)
    : QObject(parent) {
    if (!isReachableFromNetwork(listenAddress)) {
        qCInfo(lcLan).noquote() << "not advertised on the local network: serving on"
                                << listenAddress.toString()
                                << "only, which nothing on the network can reach";
        return;
    }
    if (!bus.isConnected()) {
        qCWarning(lcLan).noquote() << "not advertised on the local network: no system bus (" +
                                          bus.lastError().message() + "); serving on without it";
        return;
    }
    if (name.trimmed().isEmpty())
        name = QSysInfo::machineHostName();
    m_publisher = std::make_unique<AvahiPublisher>(
        AvahiServiceEntry{name, QString::fromLatin1(kServiceType), port, txtRecord({}, isSecure)},
        std::move(bus));
    connect(m_publisher.get(), &AvahiPublisher::failed, this, &LanAdvertisement::onFailed);
    connect(m_publisher.get(), &AvahiPublisher::established, this, [this, port](const QString& n) {
        m_hasReportedFailure = false;
        m_isAdvertised = true;
        qCInfo(lcLan).noquote() << QStringLiteral("advertised on the local network as \"%1\" "
                                                  "(%2, port %3)")
                                       .arg(n, QLatin1String(kServiceType))
                                       .arg(port);
        Q_EMIT established(n);
    });
}

LanAdvertisement::~LanAdvertisement() = default;

bool LanAdvertisement::isReachableFromNetwork(const QHostAddress& listenAddress) {
    return !listenAddress.isNull() && !listenAddress.isLoopback();
}

QList<QByteArray> LanAdvertisement::txtRecord(const QString& path, bool isSecure) {
    QList<QByteArray> txt{QByteArray("protocol=") + kProtocolVersion};
    if (isSecure)
        txt << "tls=1";
    if (!path.isEmpty() && path != QLatin1String("/"))
        txt << "path=" + path.toUtf8();
    return txt;
}

void LanAdvertisement::start() {
    if (m_publisher)
        m_publisher->start();
}

void LanAdvertisement::withdraw() {
    if (!m_publisher || !m_publisher->isStarted())
        return;
    m_publisher->stopAndWait(kWithdrawTimeoutMs);
    // Without a daemon nothing was on the network to withdraw; saying so would mislead.
    if (std::exchange(m_isAdvertised, false))
        qCInfo(lcLan).noquote() << "advertisement withdrawn from the local network";
}

void LanAdvertisement::onFailed(const QString& error) {
    // The daemon went away, taking the advertisement with it.
    m_isAdvertised = false;
    // One line per outage: the daemon coming back ends it, and the advertisement with it.
    if (std::exchange(m_hasReportedFailure, true))
        return;
    qCWarning(lcLan).noquote() << "not advertised on the local network: avahi-daemon is not "
                                  "reachable (" +
                                      error + "); serving on, and advertising once it is";
}

} // namespace sonavert::cloud
