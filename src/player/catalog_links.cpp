#include "src/player/catalog_links.h"

#include "src/runtime/app_identity.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace sonavert {

namespace {

QString host() {
    return QString::fromLatin1(app_identity::kCatalogWebHost);
}

QString webPrefix() {
    return QStringLiteral("https://") + host();
}

} // namespace

// Links are built by plain concatenation, as peers build them: an identifier is sent as it is
// and parseCatalogLink decodes the path, so both sides agree on every identifier.
QString songWebLink(const QString& songId) {
    return webPrefix() + QStringLiteral("/us/song/id") + songId;
}

QString stationWebLink(const QString& stationId) {
    return webPrefix() + QStringLiteral("/station/") + stationId;
}

QString musicSchemeForm(const QString& link) {
    QString result = link;
    return result.replace(webPrefix(), QStringLiteral("music://") + host());
}

QUrl receiverShortcutLink(const QString& songId) {
    // QUrlQuery leaves '&', '=', '+' and '#' alone unless told otherwise; an identifier holding
    // one of them must still arrive whole as the input.
    const auto encode = [](const QString& value) {
        return QString::fromLatin1(QUrl::toPercentEncoding(value));
    };
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("name"), encode(kReceiverShortcutName));
    query.addQueryItem(QStringLiteral("input"), encode(songId));
    QUrl link;
    link.setScheme(QStringLiteral("shortcuts"));
    link.setHost(QStringLiteral("run-shortcut"));
    link.setQuery(query);
    return link;
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
