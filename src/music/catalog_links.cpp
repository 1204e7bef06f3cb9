#include "catalog_links.h"

#include "runtime/app_identity.h"

#include <QUrlQuery>

namespace sonavert::catalog_links {

namespace {

QString webPrefix() {
    return QStringLiteral("https://") + QLatin1String(app_identity::kCatalogWebHost);
}

QString musicPrefix() {
    return QStringLiteral("music://") + QLatin1String(app_identity::kCatalogWebHost);
}

} // namespace

QString songWebLink(const QString& songID) {
    return webPrefix() + QStringLiteral("/us/song/id") + songID;
}

QString stationWebLink(const QString& stationID) {
    return webPrefix() + QStringLiteral("/station/") + stationID;
}

QString musicSchemeForm(const QString& link) {
    QString form = link;
    return form.replace(webPrefix(), musicPrefix());
}

QUrl receiverShortcutLink(const QString& songID) {
    // QUrlQuery leaves '&', '=', '+' and '#' alone unless told otherwise; an identifier holding
    // one of them must still arrive whole as the input.
    const auto encode = [](const QString& value) {
        return QString::fromLatin1(QUrl::toPercentEncoding(value));
    };
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("name"), encode(kReceiverShortcutName));
    query.addQueryItem(QStringLiteral("input"), encode(songID));
    QUrl link;
    link.setScheme(QStringLiteral("shortcuts"));
    link.setHost(QStringLiteral("run-shortcut"));
    link.setQuery(query);
    return link;
}

} // namespace sonavert::catalog_links
