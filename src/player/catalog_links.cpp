#include "catalog_links.h"

#include "runtime/app_identity.h"

#include <QRegularExpression>
#include <QUrl>

namespace sonavert {

namespace {

QString host() {
    return QString::fromLatin1(app_identity::kCatalogWebHost);
}

QString webLink(const QString& path) {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host());
    url.setPath(path);
    return url.toString(QUrl::FullyEncoded);
}

} // namespace

QString songWebLink(const QString& songId) {
    return webLink(QStringLiteral("/us/song/id") + songId);
}

QString stationWebLink(const QString& stationId) {
    return webLink(QStringLiteral("/station/") + stationId);
}

QString musicSchemeForm(const QString& link) {
    QString result = link;
    return result.replace(QStringLiteral("https://") + host(), QStringLiteral("music://") + host());
}

std::optional<CatalogLink> parseCatalogLink(const QString& link) {
    static const QRegularExpression song(
        QStringLiteral("^/(?:[A-Za-z]{2}/)?song/(?:[^/]+/)?id([^/]+)/?$"));
    static const QRegularExpression station(
        QStringLiteral("^/(?:[A-Za-z]{2}/)?station/(?:[^/]+/)?([^/]+)/?$"));
    const QUrl url(link.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const bool isCatalogScheme = scheme == QLatin1String("music") ||
                                 scheme == QLatin1String("https") ||
                                 scheme == QLatin1String("http");
    if (!url.isValid() || !isCatalogScheme || url.host().compare(host(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QString path = url.path(QUrl::FullyDecoded);
    if (const auto match = song.match(path); match.hasMatch())
        return CatalogLink{CatalogLink::Kind::Song, match.captured(1)};
    if (const auto match = station.match(path); match.hasMatch())
        return CatalogLink{CatalogLink::Kind::Station, match.captured(1)};
    return std::nullopt;
}

} // namespace sonavert
