#pragma once

#include <QDBusConnection>
#include <QHostAddress>
#include <QObject>
#include <memory>

namespace sonavert {
class AvahiPublisher;
}

namespace sonavert::cloud {

/// The server announcing itself on the local network through the system's avahi-daemon
/// (DNS-SD `_sonavert-cloud._tcp`), so a device at home finds it without typing its address.
/// The TXT record says the protocol version, "tls=1" when it speaks HTTPS and, when the
/// server is not at the root of its address, its path. Nothing here can stop the server: without a
/// daemon it logs one line and advertises as soon as one appears.
class LanAdvertisement : public QObject {
    Q_OBJECT
public:
    static constexpr char kServiceType[] = "_sonavert-cloud._tcp";
    /// The version of the calls' paths ("/database/1/..."), which a device must speak.
    static constexpr char kProtocolVersion[] = "1";

    /// Advertises `port` (HTTPS when `isSecure`) under `name` (the host name when empty) on
    /// `bus`'s avahi-daemon; does nothing when `listenAddress` is reachable only from this
    /// machine.
    LanAdvertisement(QString name, const QHostAddress& listenAddress, quint16 port, bool isSecure,
                     QDBusConnection bus, QObject* parent = nullptr);
    ~LanAdvertisement() override;

    /// Whether a server listening there can be reached from another machine at all.
    static bool isReachableFromNetwork(const QHostAddress& listenAddress);
    /// TXT strings of the advertisement.
    static QList<QByteArray> txtRecord(const QString& path, bool isSecure);

    void start();
    /// Takes the advertisement back before the process exits.
    void withdraw();

Q_SIGNALS:
    void established(const QString& serviceName);

private:
    void onFailed(const QString& error);

    std::unique_ptr<AvahiPublisher> m_publisher;
    bool m_hasReportedFailure = false;
    /// Established on the network, and not lost since.
    bool m_isAdvertised = false;
};

} // namespace sonavert::cloud
