#include "src/avahi/avahi_dbus.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusObjectPath>
#include <QDBusPendingCall>

namespace sonavert::avahi {

namespace {
// Resolving waits for the other host to answer; Avahi itself gives up after a few seconds.
constexpr int kCallTimeoutMs = 10000;
} // namespace

QString dnsServiceType(const QString& serviceType) {
    return QLatin1Char('_') + serviceType + QStringLiteral("._tcp");
}

QDBusMessage methodCall(const QString& path, const QString& interface, const QString& method,
                        const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(arguments);
    return message;
}

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

void freeObject(QDBusConnection& bus, const QString& path, const QString& interface) {
    bus.send(methodCall(path, interface, QStringLiteral("Free")));
}

QString serviceLabel(QString name) {
    while (name.toUtf8().size() > 63)
        name.chop(1);
    return name;
}

} // namespace sonavert::avahi
