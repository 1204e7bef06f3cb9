#include "src/crypto/account_key.h"

#include "src/crypto/sodium_library.h"

#include <sodium.h>

namespace sonavert::crypto {

namespace {

// The id is a keyed hash of a fixed text under the key: it names the key without telling
// anything about it, and two keys never share an id in practice.
constexpr char kKeyIdContext[] = "sonavert account key id";
constexpr int kKeyIdBytes = 8;

} // namespace

Result<AccountKey> AccountKey::generate() {
    if (!ensureSodium())
        return cryptoUnavailable();
    AccountKey key;
    randombytes_buf(key.m_bytes.data(), key.m_bytes.size());
    key.deriveKeyId();
    return key;
}

Result<AccountKey> AccountKey::fromBytes(const QByteArray& bytes) {
    if (!ensureSodium())
        return cryptoUnavailable();
    if (bytes.size() != kSize)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The account key has the wrong length."));
    AccountKey key;
    std::copy(bytes.begin(), bytes.end(), key.m_bytes.begin());
    key.deriveKeyId();
    return key;
}

Result<AccountKey> AccountKey::fromBase64(const QString& text) {
    auto decoded =
        QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The account key is not valid base64."));
    Result<AccountKey> key = fromBytes(*decoded);
    sodium_memzero(decoded.decoded.data(), decoded.decoded.size());
    return key;
}

AccountKey::AccountKey(const AccountKey& other)
    : m_bytes(other.m_bytes)
    , m_keyId(other.m_keyId) {}

AccountKey& AccountKey::operator=(const AccountKey& other) {
    m_bytes = other.m_bytes;
    m_keyId = other.m_keyId;
    return *this;
}

AccountKey::~AccountKey() {
    sodium_memzero(m_bytes.data(), m_bytes.size());
}

QString AccountKey::toBase64() const {
    QByteArray raw(reinterpret_cast<const char*>(m_bytes.data()), kSize);
    QByteArray encoded = raw.toBase64();
    QString text = QString::fromLatin1(encoded);
    sodium_memzero(raw.data(), raw.size());
    sodium_memzero(encoded.data(), encoded.size());
    return text;
}

void AccountKey::deriveKeyId() {
    unsigned char hash[crypto_generichash_BYTES_MIN];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(kKeyIdContext),
                       sizeof kKeyIdContext - 1, m_bytes.data(), m_bytes.size());
    m_keyId =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(hash), kKeyIdBytes).toHex());
}

} // namespace sonavert::crypto
