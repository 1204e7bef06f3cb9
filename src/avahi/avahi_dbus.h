#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

namespace sonavert::avahi {

/// The pieces of avahi-daemon's D-Bus API that publishing and browsing share.
inline const QString kService = QStringLiteral("org.freedesktop.Avahi");
inline const QString kServerInterface = QStringLiteral("org.freedesktop.Avahi.Server");
inline const QString kServer2Interface = QStringLiteral("org.freedesktop.Avahi.Server2");
inline const QString kEntryGroupInterface = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
inline const QString kBrowserInterface = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
inline const QString kCollisionError = QStringLiteral("org.freedesktop.Avahi.CollisionError");

constexpr int kAnyInterface = -1; // AVAHI_IF_UNSPEC
constexpr int kAnyProtocol = -1;  // AVAHI_PROTO_UNSPEC
constexpr int kProtocolInet = 0;  // AVAHI_PROTO_INET
constexpr int kProtocolInet6 = 1; // AVAHI_PROTO_INET6

/// "_tessary._tcp" for "tessary".
QString dnsServiceType(const QString& serviceType);

/// A method call to the daemon.
QDBusMessage methodCall(const QString& path, const QString& interface, const QString& method,
                        const QVariantList& arguments = {});
/// Sends a call and awaits its answer; resolving waits on the other host, so the wait is long.
QCoro::Task<QDBusMessage> send(QDBusConnection bus, QDBusMessage message);
bool isError(const QDBusMessage& reply);
/// The object path an EntryGroupNew or ServiceBrowserPrepare answered with.
QString objectPath(const QDBusMessage& reply);
/// Frees a daemon object (entry group or browser) without waiting for the answer.
void freeObject(QDBusConnection& bus, const QString& path, const QString& interface);
/// `name` cut to the 63 bytes a DNS label may hold, on a character boundary.
QString serviceLabel(QString name);

} // namespace sonavert::avahi
