#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert {

/// A song or station named by a catalog link.
struct CatalogLink {
    enum class Kind { Song, Station };
    Kind kind;
    QString id;

    friend bool operator==(const CatalogLink&, const CatalogLink&) = default;
};

/// Name of the receiver Shortcut; letter case matters to the Shortcuts tool.
inline const QString kReceiverShortcutName = QStringLiteral("SonavertReceiver");

/// "https://" + catalog host + "/us/song/id" + id.
QString songWebLink(const QString& songId);
/// "https://" + catalog host + "/station/" + id.
QString stationWebLink(const QString& stationId);
/// The link with every "https://" + catalog host prefix replaced by "music://" + catalog host.
QString musicSchemeForm(const QString& webLink);
/// shortcuts://run-shortcut?name=SonavertReceiver&input=<song id>, percent-encoded.
QUrl receiverShortcutLink(const QString& songId);

/// The song or station a link names, when it is a catalog link: scheme "music", "https" or
/// "http" on the catalog host, path "/song/id<ID>" or "/station/<ID>", each optionally after a
/// two-letter storefront ("/us") and with an optional name segment before the id
/// ("/us/song/blue-in-green/id<ID>"). Anything else gives nothing.
std::optional<CatalogLink> parseCatalogLink(const QString& link);

} // namespace sonavert
