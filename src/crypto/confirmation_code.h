#pragma once

#include "src/crypto/account_key.h"

#include <QByteArray>
#include <QString>

namespace sonavert::crypto {

/// The six digits both devices show before the account key is shared: a hash of both public
/// keys, taken in sorted order so each side computes the same code from its own view. A
/// server that swaps either key makes the two screens show different codes.
QString confirmationCode(const QByteArray& publicKeyA, const QByteArray& publicKeyB);

/// What a verifying device publishes before it learns the other device's key: a hash of its
/// own public key and the verification's id. Revealing the key only after the other side has
/// sent its own keeps a server in the middle from choosing a key that makes two codes agree
/// (six digits would fall to a million tries).
QByteArray keyCommitment(const QByteArray& publicKey, const QByteArray& verificationID);

/// A device's vouching for its long-lived public key, made with the account key it holds: a
/// computer that rotates the key boxes the new one only to devices whose tag its own ring
/// confirms, so the server cannot slip in a key of its own.
QByteArray deviceKeyTag(const AccountKey& key, const QString& deviceID,
                        const QByteArray& publicKey);
/// Whether `tag` is the device's tag under `key`, compared in constant time: how long a refusal
/// takes says nothing about how much of a forged tag was right.
bool isDeviceKeyTag(const AccountKey& key, const QString& deviceID, const QByteArray& publicKey,
                    const QByteArray& tag);

} // namespace sonavert::crypto
