#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert {

/// What a pairing link carries: where the account's server is, the one-time code, and the
/// fingerprint of the server's own certificate key when it serves one no authority vouches
/// for (SHA-256, 32 bytes; empty otherwise).
struct PairingLinkContent {
    QUrl server;
    QString code;
    QByteArray serverKey;
};

/// `sonavert://pair?server=…&code=…[&key=…]`, the link an invitation shows and the desktop
/// opens; the key in base64url without padding.
QUrl makePairingLink(const QUrl& server, const QString& code, const QByteArray& serverKey = {});

/// The server, code and key of a pairing link; nothing when the link is not one, names a
/// server that is not an http(s) address, carries no plausible code, or a key that is not
/// one. A link comes from outside
/// (a chat, a web page), so nothing in it is trusted beyond that shape.
std::optional<PairingLinkContent> parsePairingLink(const QUrl& link);

} // namespace sonavert
