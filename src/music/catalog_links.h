#pragma once

#include <QString>
#include <QUrl>

namespace sonavert::catalog_links {

/// Name of the receiver Shortcut; letter case matters to the Shortcuts tool.
inline const QString kReceiverShortcutName = QStringLiteral("SonavertReceiver");

/// "https://" + catalog host + "/us/song/id" + song identifier.
QString songWebLink(const QString& songID);
/// "https://" + catalog host + "/station/" + station identifier.
QString stationWebLink(const QString& stationID);
/// The same link with the web prefix (scheme, "://", host) replaced by the "music" scheme's.
QString musicSchemeForm(const QString& link);
/// shortcuts://run-shortcut?name=SonavertReceiver&input=<song id>, percent-encoded.
QUrl receiverShortcutLink(const QString& songID);

} // namespace sonavert::catalog_links
