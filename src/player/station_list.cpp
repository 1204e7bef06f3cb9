#include "src/player/station_list.h"

#include "src/player/catalog_links.h"
#include "src/player/url_normalization.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>

namespace sonavert::station_list {

QString fileIn(const Profile& profile) {
    return profile.dataDirectory + QStringLiteral("/stations.txt");
}

QString stationIdentifier(const QString& streamUrl) {
    const QByteArray digest =
        QCryptographicHash::hash(normalizedUrl(streamUrl).toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("ra") + QString::fromLatin1(digest.toHex().left(24));
}

QList<RadioStation> parse(const QString& text) {
    static const QRegularExpression line(QStringLiteral("^(\\S+)\\s+(.*\\S)\\s*$"));
    QList<RadioStation> stations;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString trimmed = raw.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpressionMatch match = line.match(trimmed);
        const QUrl stream(match.captured(1), QUrl::StrictMode);
        const QString scheme = stream.scheme().toLower();
        if (!match.hasMatch() || !stream.isValid() ||
            (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            continue;
        const QString id = stationIdentifier(match.captured(1));
        stations.append(RadioStation{id, match.captured(2), match.captured(1), stationWebLink(id)});
    }
    return stations;
}

QList<RadioStation> load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parse(QString::fromUtf8(file.readAll()));
}

} // namespace sonavert::station_list
