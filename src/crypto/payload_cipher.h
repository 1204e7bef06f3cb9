#pragma once

#include "src/crypto/key_ring.h"

#include <QStringList>

namespace sonavert::crypto {

/// Seals one string field of a record with the account key (XChaCha20-Poly1305, a fresh
/// random nonce each time) and opens it again. The record's name, the field's name and the
/// key id are bound in as associated data, so a sealed value copied to another record or
/// field, or relabelled with another key id, does not open. The sealed form is a string,
/// "sv2:" + key id + ":" + base64(nonce || ciphertext), so the field keeps its type. The clear
/// text is padded to a whole number of kilobytes (one for anything a presence or command
/// carries), so a length tells the server nothing of the song, nor whether one plays; "sv1"
/// values of earlier versions, unpadded, still open.
///
/// A command's values are sealed bound ("sv3"): the clear values that say which command it is
/// (its id, sender, target and time) are bound in as well, so a sealed value the server copies
/// into a record it dates and numbers afresh does not open. Bound values open only bound and
/// only under the ring's current key: a command is news, never history.
class PayloadCipher {
public:
    /// Whether `value` has the sealed form's shape ("sv" + version digits + ":"), of any
    /// version: anything else is a clear value.
    static bool isSealed(const QString& value);
    /// The key id a sealed value names; empty when it names none.
    static QString keyIdOf(const QString& sealed);

    static Result<QString> seal(const AccountKey& key, const QString& recordName,
                                const QString& fieldName, const QString& plaintext);
    /// The clear value, or why it does not open (UnknownVersion, Malformed, UnknownKey,
    /// Refused). Opens the unbound versions only, under any key of the ring.
    static Result<QString> open(const KeyRing& ring, const QString& recordName,
                                const QString& fieldName, const QString& sealed);

    /// Seals as `seal` does, bound to `bound` as well.
    static Result<QString> sealBound(const AccountKey& key, const QString& recordName,
                                     const QString& fieldName, const QString& plaintext,
                                     const QStringList& bound);
    /// Opens a value sealed by `sealBound` with the same `bound`, under the ring's current key
    /// only (RetiredKey for an earlier one); an unbound value is Refused.
    static Result<QString> openBound(const KeyRing& ring, const QString& recordName,
                                     const QString& fieldName, const QString& sealed,
                                     const QStringList& bound);

    /// Seals bytes ("sv4": a chunk of a song passing through the server), padded and bound
    /// like a command's values, so a chunk moved to another place of the stream or another
    /// stream does not open.
    static Result<QString> sealBytes(const AccountKey& key, const QString& recordName,
                                     const QString& fieldName, const QByteArray& clear,
                                     const QStringList& bound);
    /// Opens what `sealBytes` sealed with the same names and `bound`, under any key of the
    /// ring: a stream that runs across a rotation keeps playing.
    static Result<QByteArray> openBytes(const KeyRing& ring, const QString& recordName,
                                        const QString& fieldName, const QString& sealed,
                                        const QStringList& bound);
};

} // namespace sonavert::crypto
