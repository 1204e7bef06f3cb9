#include "src/crypto/payload_cipher.h"

#include "src/crypto/sodium_library.h"

#include <QRegularExpression>
#include <QtEndian>
#include <sodium.h>

namespace sonavert::crypto {

namespace {

constexpr qsizetype kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr qsizetype kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
const QString kVersion = QStringLiteral("sv1");

struct SealedParts {
    QString keyId;
    QByteArray body; ///< nonce || ciphertext
};

// Each part length-prefixed, so no choice of names can make two addresses read alike.
QByteArray associatedData(const QString& keyId, const QString& recordName,
                          const QString& fieldName) {
    QByteArray data;
    for (const QString& part : {kVersion, keyId, recordName, fieldName}) {
        const QByteArray bytes = part.toUtf8();
        const quint32 length = qToBigEndian(quint32(bytes.size()));
        data.append(reinterpret_cast<const char*>(&length), sizeof length);
        data.append(bytes);
    }
    return data;
}

const QRegularExpression& sealedShape() {
    static const QRegularExpression shape(QStringLiteral("^sv([0-9]+):"));
    return shape;
}

Error malformed() {
    return cryptoError(CryptoErrorCode::Malformed, QStringLiteral("The sealed value is damaged."));
}

Result<SealedParts> parse(const QString& sealed) {
    const auto match = sealedShape().match(sealed);
    if (!match.hasMatch())
        return malformed();
    if (match.captured(1) != QLatin1String("1"))
        return cryptoError(CryptoErrorCode::UnknownVersion,
                           QStringLiteral("The value was sealed by a newer Sonavert."));
    const QStringList rest = sealed.mid(match.capturedLength()).split(QLatin1Char(':'));
    if (rest.size() != 2 || rest[0].isEmpty())
        return malformed();
    const QByteArray text = rest[1].toLatin1();
    auto body = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    // Only the one canonical text of a body is accepted: the decoder would also take missing
    // padding or stray low bits, and a sealed value must not have several spellings.
    if (!body || body.decoded.size() < kNonceBytes + kTagBytes || body.decoded.toBase64() != text)
        return malformed();
    return SealedParts{rest[0], body.decoded};
}

} // namespace

bool PayloadCipher::isSealed(const QString& value) {
    return sealedShape().match(value).hasMatch();
}

QString PayloadCipher::keyIdOf(const QString& sealed) {
    const Result<SealedParts> parts = parse(sealed);
    return parts ? parts.value().keyId : QString();
}

Result<QString> PayloadCipher::seal(const AccountKey& key, const QString& recordName,
                                    const QString& fieldName, const QString& plaintext) {
    if (!ensureSodium())
        return cryptoUnavailable();
    const QByteArray message = plaintext.toUtf8();
    const QByteArray ad = associatedData(key.keyId(), recordName, fieldName);
    QByteArray body(kNonceBytes + message.size() + kTagBytes, Qt::Uninitialized);
    auto* nonce = reinterpret_cast<unsigned char*>(body.data());
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long cipherLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        nonce + kNonceBytes, &cipherLength, reinterpret_cast<const unsigned char*>(message.data()),
        message.size(), reinterpret_cast<const unsigned char*>(ad.data()), ad.size(), nullptr,
        nonce, key.data());
    return kVersion + QLatin1Char(':') + key.keyId() + QLatin1Char(':') +
           QString::fromLatin1(body.toBase64());
}

Result<QString> PayloadCipher::open(const KeyRing& ring, const QString& recordName,
                                    const QString& fieldName, const QString& sealed) {
    if (!ensureSodium())
        return cryptoUnavailable();
    const Result<SealedParts> parts = parse(sealed);
    if (!parts)
        return parts.error();
    const AccountKey* key = ring.find(parts.value().keyId);
    if (key == nullptr)
        return cryptoError(CryptoErrorCode::UnknownKey,
                           QStringLiteral("The value was sealed with a key this device lacks."));
    const QByteArray& body = parts.value().body;
    const QByteArray ad = associatedData(key->keyId(), recordName, fieldName);
    const auto* nonce = reinterpret_cast<const unsigned char*>(body.constData());
    QByteArray message(body.size() - (kNonceBytes + kTagBytes), Qt::Uninitialized);
    unsigned long long messageLength = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(message.data()), &messageLength, nullptr,
            nonce + kNonceBytes, body.size() - kNonceBytes,
            reinterpret_cast<const unsigned char*>(ad.constData()), ad.size(), nonce,
            key->data()) != 0)
        return cryptoError(CryptoErrorCode::Refused,
                           QStringLiteral("The sealed value does not open with this key here."));
    return QString::fromUtf8(message.constData(), qsizetype(messageLength));
}

} // namespace sonavert::crypto
