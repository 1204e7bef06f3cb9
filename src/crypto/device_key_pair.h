#pragma once

#include "src/crypto/account_key.h"

namespace sonavert::crypto {

/// A device's X25519 key pair for receiving the account key: a new device sends the public
/// half with its claim, and a verified device seals the account key to it. The secret half
/// never leaves this object and is wiped when it is destroyed.
class DeviceKeyPair {
public:
    static constexpr int kPublicKeySize = 32;

    static Result<DeviceKeyPair> generate();
    /// The pair of a secret key kept on this device (see secretKey); BadKey for the wrong
    /// length.
    static Result<DeviceKeyPair> fromSecretKey(const QByteArray& secretKey);

    DeviceKeyPair(const DeviceKeyPair& other);
    DeviceKeyPair& operator=(const DeviceKeyPair& other);
    ~DeviceKeyPair();

    QByteArray publicKey() const;
    /// For the device's own secret store only: it never goes to the server.
    QByteArray secretKey() const;
    /// The account key another device sealed to this pair's public key; Refused when it was
    /// sealed to another key or altered on the way.
    Result<AccountKey> openAccountKey(const QByteArray& sealed) const;

    /// `message` boxed from this pair to `recipientPublicKey` (X25519 + XSalsa20-Poly1305,
    /// nonce first): unlike a sealed box, the recipient learns who sent it.
    Result<QByteArray> boxFor(const QByteArray& recipientPublicKey,
                              const QByteArray& message) const;
    /// The message `senderPublicKey` boxed to this pair; Refused when another key boxed it or
    /// it was altered, Malformed when cut short.
    Result<QByteArray> openFrom(const QByteArray& senderPublicKey, const QByteArray& box) const;

private:
    DeviceKeyPair() = default;

    std::array<unsigned char, kPublicKeySize> m_publicKey{};
    std::array<unsigned char, kPublicKeySize> m_secretKey{};
};

/// The account key sealed to a device's public key (an anonymous sealed box): only the holder
/// of the matching secret key opens it.
Result<QByteArray> sealAccountKey(const AccountKey& key, const QByteArray& recipientPublicKey);

} // namespace sonavert::crypto
