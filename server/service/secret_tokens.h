#pragma once

#include <QByteArray>
#include <QString>

/// Random secrets and their digests: bearer tokens, user record names, the token-signing key.
namespace sonavert::cloud::secret_tokens {

/// A new bearer token: 256 random bits, URL-safe.
QString newBearerToken();
/// The form a token is stored in: hex SHA-256. The token itself is never stored.
QString hashBearerToken(const QString& token);
/// A new user record name: "_" followed by 32 random hex digits, unrelated to name or token.
QString newUserRecordName();
/// A new pairing code, such as "KQ7-4FD-92X": nine characters from an alphabet without
/// look-alikes (about 44 bits), in groups of three so it reads aloud easily.
QString newPairingCode();
/// A code as typed, in the form it is hashed in: separators and spaces dropped, upper case.
QString normalisedPairingCode(const QString& typed);
/// The form a pairing code is stored in: hex HMAC-SHA-256 of the normalised code under the
/// server's secret `key`. Nine characters are too few to hide behind a plain hash: whoever
/// reads the table could try every code in minutes.
QString hashPairingCode(const QString& typed, const QByteArray& key);
/// Compares two digests in time that depends only on their length.
bool digestsEqual(const QString& left, const QString& right);
/// A new signing key for change tokens, as text.
QByteArray newSigningKey();

} // namespace sonavert::cloud::secret_tokens
