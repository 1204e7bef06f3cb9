#include "src/player/mpris_reading_p.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace sonavert::detail {

namespace {

QVariant unwrap(const QVariant& value) {
    if (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        return qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

QString joinedText(const QVariant& value) {
    const QVariant plain = unwrap(value);
    if (plain.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QStringList>(plain).join(QStringLiteral(", "));
    if (plain.userType() == QMetaType::QStringList)
        return plain.toStringList().join(QStringLiteral(", "));
    return plain.toString();
}

QString objectPathText(const QVariant& value) {
    const QVariant plain = unwrap(value);
    if (plain.userType() == qMetaTypeId<QDBusObjectPath>())
        return qvariant_cast<QDBusObjectPath>(plain).path();
    return plain.toString();
}

} // namespace

QVariantMap unpackMap(const QVariant& value) {
    const QVariant plain = unwrap(value);
    if (plain.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QVariantMap>(plain);
    return plain.toMap();
}

MprisReading decodePlayerProperties(const QVariantMap& properties) {
    MprisReading reading;
    reading.status = unwrap(properties.value(QStringLiteral("PlaybackStatus"))).toString();
    reading.positionUs = unwrap(properties.value(QStringLiteral("Position"))).toLongLong();
    const QVariant canSeek = unwrap(properties.value(QStringLiteral("CanSeek")));
    reading.canSeek = !canSeek.isValid() || canSeek.toBool();
    const QVariantMap metadata = unpackMap(properties.value(QStringLiteral("Metadata")));
    reading.trackId = objectPathText(metadata.value(QStringLiteral("mpris:trackid")));
    reading.track.name = joinedText(metadata.value(QStringLiteral("xesam:title")));
    reading.track.artist = joinedText(metadata.value(QStringLiteral("xesam:artist")));
    reading.track.album = joinedText(metadata.value(QStringLiteral("xesam:album")));
    reading.track.uri = joinedText(metadata.value(QStringLiteral("xesam:url")));
    const qint64 lengthUs = unwrap(metadata.value(QStringLiteral("mpris:length"))).toLongLong();
    reading.track.duration = static_cast<double>(lengthUs) / 1e6;
    return reading;
}

PlayerState stateFromStatus(const QString& status) {
    if (status == QLatin1String("Playing"))
        return PlayerState::Playing;
    if (status == QLatin1String("Paused"))
        return PlayerState::Paused;
    return PlayerState::Stopped;
}

} // namespace sonavert::detail
