#pragma once

#include <QString>
#include <QUrl>
#include <optional>

/// What the sign-in screen makes of what the user types: a pairing code as its grouped form,
/// and a server address as the URL a device reaches.
namespace sonavert::sign_in_input {

/// The code as typed, upper case, without spaces, dashes or anything else that is not a
/// letter or digit, at most twelve symbols (nine, and three that check the server's key),
/// grouped as it grows: "kq7 4f" → "KQ7-4F".
QString groupedCode(const QString& typed);
/// Nine symbols, or twelve with the check, every one of them a symbol codes are made of (no
/// 0, 1, I, L, O, U or V).
bool isCompleteCode(const QString& grouped);
/// A symbol no code contains was typed (a 0 for an O, a 1 for an I…).
bool hasForeignSymbol(const QString& grouped);

/// The server a typed address names: a full http(s) address as it is; a bare host (and port)
/// over http on this machine and the local network, where a self-hosted server usually has no
/// certificate, and over https everywhere else. Nothing for what cannot be a server address.
std::optional<QUrl> serverUrl(const QString& typed);
/// The server runs on this computer: a loopback address or name, this machine's host name, or
/// one of its own addresses.
bool isThisComputer(const QUrl& server);

} // namespace sonavert::sign_in_input
