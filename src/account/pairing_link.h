#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert {

/// What a pairing link carries: where the account's server is and the one-time code.
struct PairingLinkContent {
    QUrl server;
    QString code;
};

/// `sonavert://pair?server=…&code=…`, the link an invitation shows and the desktop opens.
QUrl makePairingLink(const QUrl& server, const QString& code);

/// The server and code of a pairing link; nothing when the link is not one, names a server
/// that is not an http(s) address, or carries no plausible code. A link comes from outside
/// (a chat, a web page), so nothing in it is trusted beyond that shape.
std::optional<PairingLinkContent> parsePairingLink(const QUrl& link);

} // namespace sonavert
