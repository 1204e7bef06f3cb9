#include "src/crypto/device_key_pair.h"

#include "src/crypto/sodium_library.h"

#include <algorithm>
#include <sodium.h>

namespace sonavert::crypto {

static_assert(DeviceKeyPair::kPublicKeySize == crypto_box_PUBLICKEYBYTES);
static_assert(crypto_box_SECRETKEYBYTES == crypto_box_PUBLICKEYBYTES);

namespace {
constexpr qsizetype kSealedKeySize = qsizetype{crypto_box_SEALBYTES} + AccountKey::kSize;
}

Result<DeviceKeyPair> DeviceKeyPair::generate() {
    if (!ensureSodium())
        return cryptoUnavailable();
    DeviceKeyPair pair;
    crypto_box_keypair(pair.m_publicKey.data(), pair.m_secretKey.data());
    return pair;
}

Result<DeviceKeyPair> DeviceKeyPair::fromSecretKey(const QByteArray& secretKey) {
    if (!ensureSodium())
        return cryptoUnavailable();
    if (secretKey.size() != kPublicKeySize)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The device's secret key has the wrong length."));
    DeviceKeyPair pair;
    std::copy(secretKey.begin(), secretKey.end(), pair.m_secretKey.begin());
    if (crypto_scalarmult_base(pair.m_publicKey.data(), pair.m_secretKey.data()) != 0)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The device's secret key cannot be used."));
    return pair;
}

QByteArray DeviceKeyPair::secretKey() const {
    return QByteArray(reinterpret_cast<const char*>(m_secretKey.data()), kPublicKeySize);
}

DeviceKeyPair::DeviceKeyPair(const DeviceKeyPair& other)
    : m_publicKey(other.m_publicKey)
    , m_secretKey(other.m_secretKey) {}

DeviceKeyPair& DeviceKeyPair::operator=(const DeviceKeyPair& other) {
    m_publicKey = other.m_publicKey;
    m_secretKey = other.m_secretKey;
    return *this;
}

DeviceKeyPair::~DeviceKeyPair() {
    sodium_memzero(m_secretKey.data(), m_secretKey.size());
}

QByteArray DeviceKeyPair::publicKey() const {
    return QByteArray(reinterpret_cast<const char*>(m_publicKey.data()), kPublicKeySize);
}

Result<AccountKey> DeviceKeyPair::openAccountKey(const QByteArray& sealed) const {
    if (sealed.size() != kSealedKeySize)
        return cryptoError(CryptoErrorCode::Malformed,
                           QStringLiteral("The shared account key has the wrong length."));
    QByteArray raw(AccountKey::kSize, Qt::Uninitialized);
    const int opened =
        crypto_box_seal_open(reinterpret_cast<unsigned char*>(raw.data()),
                             reinterpret_cast<const unsigned char*>(sealed.constData()),
                             sealed.size(), m_publicKey.data(), m_secretKey.data());
    if (opened != 0)
        return cryptoError(CryptoErrorCode::Refused,
                           QStringLiteral("The shared account key was not sealed to this device."));
    Result<AccountKey> key = AccountKey::fromBytes(raw);
    sodium_memzero(raw.data(), raw.size());
    return key;
}

Result<QByteArray> DeviceKeyPair::boxFor(const QByteArray& recipientPublicKey,
                                         const QByteArray& message) const {
    if (recipientPublicKey.size() != kPublicKeySize)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The device's public key has the wrong length."));
    QByteArray box(qsizetype{crypto_box_NONCEBYTES} + crypto_box_MACBYTES + message.size(),
                   Qt::Uninitialized);
    auto* nonce = reinterpret_cast<unsigned char*>(box.data());
    randombytes_buf(nonce, crypto_box_NONCEBYTES);
    // Fails only for a public key that is a low-order point, which no honest device sends.
    if (crypto_box_easy(nonce + crypto_box_NONCEBYTES,
                        reinterpret_cast<const unsigned char*>(message.constData()), message.size(),
                        nonce,
                        reinterpret_cast<const unsigned char*>(recipientPublicKey.constData()),
                        m_secretKey.data()) != 0)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The device's public key cannot be used."));
    return box;
}

Result<QByteArray> DeviceKeyPair::openFrom(const QByteArray& senderPublicKey,
                                           const QByteArray& box) const {
    if (senderPublicKey.size() != kPublicKeySize)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The device's public key has the wrong length."));
    constexpr qsizetype kOverhead = qsizetype{crypto_box_NONCEBYTES} + crypto_box_MACBYTES;
    if (box.size() < kOverhead)
        return cryptoError(CryptoErrorCode::Malformed, QStringLiteral("The box is cut short."));
    const auto* nonce = reinterpret_cast<const unsigned char*>(box.constData());
    QByteArray message(box.size() - kOverhead, Qt::Uninitialized);
    const int opened = crypto_box_open_easy(
        reinterpret_cast<unsigned char*>(message.data()), nonce + crypto_box_NONCEBYTES,
        box.size() - crypto_box_NONCEBYTES, nonce,
        reinterpret_cast<const unsigned char*>(senderPublicKey.constData()), m_secretKey.data());
    if (opened != 0)
        return cryptoError(CryptoErrorCode::Refused,
                           QStringLiteral("The box was not made by that device for this one."));
    return message;
}

Result<QByteArray> sealAccountKey(const AccountKey& key, const QByteArray& recipientPublicKey) {
    if (!ensureSodium())
        return cryptoUnavailable();
    if (recipientPublicKey.size() != DeviceKeyPair::kPublicKeySize)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The device's public key has the wrong length."));
    QByteArray sealed(kSealedKeySize, Qt::Uninitialized);
    crypto_box_seal(reinterpret_cast<unsigned char*>(sealed.data()), key.data(), AccountKey::kSize,
                    reinterpret_cast<const unsigned char*>(recipientPublicKey.constData()));
    return sealed;
}

} // namespace sonavert::crypto
