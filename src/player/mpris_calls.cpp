#include "src/player/mpris_calls_p.h"

#include <QDBusObjectPath>

namespace sonavert::detail {

namespace {

const QString kNamePrefix = QString::fromUtf8("org.mpris.MediaPlayer2.");
const QString kObjectPath = QString::fromUtf8("/org/mpris/MediaPlayer2");
const QString kRootInterface = QString::fromUtf8("org.mpris.MediaPlayer2");
const QString kPlayerInterface = QString::fromUtf8("org.mpris.MediaPlayer2.Player");
const QString kTrackListInterface = QString::fromUtf8("org.mpris.MediaPlayer2.TrackList");
const QString kPropertiesInterface = QString::fromUtf8("org.freedesktop.DBus.Properties");
const QString kNoTrack = QString::fromUtf8("/org/mpris/MediaPlayer2/TrackList/NoTrack");

QDBusMessage playerCall(const QString& service, const QString& interface, const QString& method,
                        const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, kObjectPath, interface, method);
    message.setArguments(arguments);
    return message;
}

} // namespace

const QString& mprisNamePrefix() {
    return kNamePrefix;
}

QDBusMessage playerPropertiesCall(const QString& service) {
    return playerCall(service, kPropertiesInterface, QString::fromUtf8("GetAll"),
                      {kPlayerInterface});
}

QDBusMessage playerPropertyCall(const QString& service, const QString& name) {
    return playerCall(service, kPropertiesInterface, QString::fromUtf8("Get"),
                      {kPlayerInterface, name});
}

QDBusMessage rootPropertyCall(const QString& service, const QString& name) {
    return playerCall(service, kPropertiesInterface, QString::fromUtf8("Get"),
                      {kRootInterface, name});
}

QDBusMessage playerMethodCall(const QString& service, const QString& method) {
    return playerCall(service, kPlayerInterface, method);
}

QDBusMessage listNamesCall() {
    return QDBusMessage::createMethodCall(
        QString::fromUtf8("org.freedesktop.DBus"), QString::fromUtf8("/org/freedesktop/DBus"),
        QString::fromUtf8("org.freedesktop.DBus"), QString::fromUtf8("ListNames"));
}

QDBusMessage setPositionCall(const QString& service, const QString& trackId, double seconds) {
    return playerCall(service, kPlayerInterface, QString::fromUtf8("SetPosition"),
                      {QVariant::fromValue(QDBusObjectPath(trackId)),
                       QVariant::fromValue(static_cast<qint64>(seconds * 1e6))});
}

QDBusMessage seekCall(const QString& service, double offsetSeconds) {
    return playerCall(service, kPlayerInterface, QString::fromUtf8("Seek"),
                      {QVariant::fromValue(static_cast<qint64>(offsetSeconds * 1e6))});
}

QDBusMessage openUriCall(const QString& service, const QString& uri) {
    return playerCall(service, kPlayerInterface, QString::fromUtf8("OpenUri"), {uri});
}

QDBusMessage addTrackCall(const QString& service, const QString& uri) {
    return playerCall(service, kTrackListInterface, QString::fromUtf8("AddTrack"),
                      {uri, QVariant::fromValue(QDBusObjectPath(kNoTrack)), true});
}

QDBusMessage nativeOpenCall(const NativeOpenMethod& method, const QString& uri) {
    QDBusMessage message = QDBusMessage::createMethodCall(method.service, method.path,
                                                          method.interface, method.method);
    message.setArguments({QStringList{uri}});
    return message;
}

bool isError(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

Error busError(const QDBusMessage& reply) {
    return playerError(PlayerErrorCode::BusFailure,
                       reply.errorName() + QString::fromUtf8(": ") + reply.errorMessage());
}

// The error names players use for "I do not have that method".
bool isMissingMethod(const QDBusMessage& reply) {
    static const QStringList names{
        QString::fromUtf8("org.freedesktop.DBus.Error.UnknownMethod"),
        QString::fromUtf8("org.freedesktop.DBus.Error.NotSupported"),
        QString::fromUtf8("org.freedesktop.DBus.Error.UnknownInterface")};
    return names.contains(reply.errorName());
}

QVariant firstArgument(const QDBusMessage& reply) {
    const QVariantList arguments = reply.arguments();
    return arguments.isEmpty() ? QVariant() : arguments.first();
}

} // namespace sonavert::detail
