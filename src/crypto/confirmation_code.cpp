#include "src/crypto/confirmation_code.h"

#include "src/crypto/sodium_library.h"

#include <QtEndian>
#include <sodium.h>

namespace sonavert::crypto {

namespace {

constexpr char kContext[] = "sonavert confirmation code";
constexpr char kCommitmentContext[] = "sonavert key commitment";
constexpr char kDeviceTagContext[] = "sonavert device key";
constexpr quint64 kCodeRange = 1000000;

void hashPart(crypto_generichash_state& state, const QByteArray& part) {
    // Length first, so the boundary between the two keys cannot shift.
    const quint32 length = qToBigEndian(quint32(part.size()));
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&length),
                              sizeof length);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(part.constData()),
                              part.size());
}

} // namespace

QString confirmationCode(const QByteArray& publicKeyA, const QByteArray& publicKeyB) {
    ensureSodium();
    const bool isInOrder = publicKeyA <= publicKeyB;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kContext),
                              sizeof kContext - 1);
    hashPart(state, isInOrder ? publicKeyA : publicKeyB);
    hashPart(state, isInOrder ? publicKeyB : publicKeyA);
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash_final(&state, hash, sizeof hash);
    // 64 bits reduced to six digits: the bias of the modulo is below one in 10^13.
    const quint64 value = qFromBigEndian<quint64>(hash);
    return QStringLiteral("%1").arg(value % kCodeRange, 6, 10, QLatin1Char('0'));
}

QByteArray keyCommitment(const QByteArray& publicKey, const QByteArray& verificationID) {
    ensureSodium();
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kCommitmentContext),
                              sizeof kCommitmentContext - 1);
    hashPart(state, verificationID);
    hashPart(state, publicKey);
    QByteArray hash(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(hash.data()), hash.size());
    return hash;
}

QByteArray deviceKeyTag(const AccountKey& key, const QString& deviceID,
                        const QByteArray& publicKey) {
    ensureSodium();
    crypto_generichash_state state;
    crypto_generichash_init(&state, key.data(), AccountKey::kSize, crypto_generichash_BYTES);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kDeviceTagContext),
                              sizeof kDeviceTagContext - 1);
    hashPart(state, deviceID.toUtf8());
    hashPart(state, publicKey);
    QByteArray tag(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(tag.data()), tag.size());
    return tag;
}

bool isDeviceKeyTag(const AccountKey& key, const QString& deviceID, const QByteArray& publicKey,
                    const QByteArray& tag) {
    static_assert(crypto_generichash_BYTES == crypto_verify_32_BYTES);
    if (tag.size() != crypto_verify_32_BYTES)
        return false;
    const QByteArray expected = deviceKeyTag(key, deviceID, publicKey);
    return crypto_verify_32(reinterpret_cast<const unsigned char*>(expected.constData()),
                            reinterpret_cast<const unsigned char*>(tag.constData())) == 0;
}

} // namespace sonavert::crypto
