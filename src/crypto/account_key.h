#pragma once

#include "src/crypto/crypto_error.h"

#include <QByteArray>
#include <QString>
#include <array>

namespace sonavert::crypto {

/// The account's symmetric key: 32 random bytes that only the account's devices hold, and a
/// short id (hex) that names it in sealed payloads so a device picks the right key after a
/// rotation. The bytes are wiped when the key is destroyed.
class AccountKey {
public:
    static constexpr int kSize = 32;

    /// A fresh random key; an error only when the crypto library cannot start.
    static Result<AccountKey> generate();
    /// The key from its raw bytes (exactly kSize of them).
    static Result<AccountKey> fromBytes(const QByteArray& bytes);
    /// The key from the base64 text the keyring keeps.
    static Result<AccountKey> fromBase64(const QString& text);

    AccountKey(const AccountKey& other);
    AccountKey& operator=(const AccountKey& other);
    ~AccountKey();

    QString toBase64() const;
    const QString& keyId() const { return m_keyId; }
    const unsigned char* data() const { return m_bytes.data(); }

private:
    AccountKey() = default;
    void deriveKeyId();

    std::array<unsigned char, kSize> m_bytes{};
    QString m_keyId;
};

} // namespace sonavert::crypto
