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

/// A pairing code as a person types it: nine symbols the server made, and, when the inviting
/// computer trusts the server by the key of the certificate it made, three more that commit to
/// that key. The new computer checks them against the key the server at the typed address
/// shows before it sends anything: a machine in the middle, with a key of its own, would have
/// to match them without knowing the code.
namespace pairing_code {

/// The symbols codes are made of: no 0, 1, I, L, O, U or V, which read as others.
inline constexpr QStringView kSymbols = u"23456789ABCDEFGHJKMNPQRSTWXYZ";
inline constexpr int kLength = 9;
inline constexpr int kCheckLength = 3;
inline constexpr int kGroup = 3;

/// The code and its check, each without grouping; the check is empty when none was typed.
struct Parts {
    QString code;
    QString check;
};

/// The code's letters and digits, upper case, without spaces or dashes.
QString symbolsOf(const QString& typed);
/// The check symbols for `code` and the server key `serverKey` (SHA-256, 32 bytes).
QString checkFor(const QString& code, const QByteArray& serverKey);
/// "KQ7-4FD-92X-M3P": the code grouped, with its check for `serverKey` when there is one.
QString shown(const QString& code, const QByteArray& serverKey);
/// Nine symbols, or twelve with the check; nothing for any other length.
std::optional<Parts> split(const QString& typed);

} // namespace pairing_code

/// `sonavert://pair?server=…&code=…[&key=…]`, the link an invitation shows and the desktop
/// opens; the key in base64url without padding.
QUrl makePairingLink(const QUrl& server, const QString& code, const QByteArray& serverKey = {});

/// The server, code and key of a pairing link; nothing when the link is not one, names a
/// server that is not an http(s) address, carries no plausible code, or a key that is not
/// one. A link comes from outside
/// (a chat, a web page), so nothing in it is trusted beyond that shape.
std::optional<PairingLinkContent> parsePairingLink(const QUrl& link);

} // namespace sonavert
