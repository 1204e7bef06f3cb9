#include "src/crypto/payload_cipher.h"

#include "src/crypto/sodium_library.h"

#include <QtEndian>
#include <algorithm>
#include <optional>
#include <sodium.h>

namespace sonavert::crypto {

namespace {

constexpr qsizetype kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr qsizetype kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
/// Sealed values are padded to whole kBucket, so that a length says nothing of what is sealed:
/// a playback state (a few hundred bytes at most) and an idle device's empty value look alike.
constexpr qsizetype kBucket = 1024;
/// "sv2" seals padded text; "sv1", from earlier versions, unpadded: both open. "sv3" seals
/// padded text bound to a command's clear values.
const QString kVersion = QStringLiteral("sv2");
const QString kUnpaddedVersion = QStringLiteral("sv1");
const QString kBoundVersion = QStringLiteral("sv3");
/// Bytes (a chunk of a song passed through the server), padded and bound like "sv3".
const QString kBytesVersion = QStringLiteral("sv4");

struct SealedParts {
    QString version;
    QString keyId;
    QByteArray body; ///< nonce || ciphertext
};

qsizetype bucketOf(qsizetype length) {
    return (length / kBucket + 1) * kBucket; // the padding takes at least one byte
}

/// ISO/IEC 7816-4 padding (0x80, then zeros) up to the bucket.
QByteArray padded(QByteArray message) {
    const qsizetype length = message.size();
    message.resize(bucketOf(length));
    size_t paddedLength = 0;
    sodium_pad(&paddedLength, reinterpret_cast<unsigned char*>(message.data()), size_t(length),
               size_t(message.size()), size_t(message.size()));
    return message;
}

/// The length before the padding. The message is authentic when this runs, so the scan need
/// not take constant time (libsodium's does, over the whole bucket, at several times the cost).
std::optional<qsizetype> unpaddedLength(const QByteArray& message) {
    qsizetype end = message.size();
    while (end > 0 && message[end - 1] == '\0')
        --end;
    if (end == 0 || static_cast<unsigned char>(message[end - 1]) != 0x80)
        return std::nullopt;
    return end - 1;
}

// Each part length-prefixed, so no choice of names or values can make two addresses read
// alike; the version decides whether bound values follow.
QByteArray associatedData(const QString& version, const QString& keyId, const QString& recordName,
                          const QString& fieldName, const QStringList& bound = {}) {
    QByteArray data;
    for (const QStringList& parts : {QStringList{version, keyId, recordName, fieldName}, bound}) {
        for (const QString& part : parts) {
            const QByteArray bytes = part.toUtf8();
            const quint32 length = qToBigEndian(quint32(bytes.size()));
            data.append(reinterpret_cast<const char*>(&length), sizeof length);
            data.append(bytes);
        }
    }
    return data;
}

/// The version ("sv" and digits) of a value of the sealed shape, and where its key id starts.
std::optional<std::pair<QStringView, qsizetype>> sealedPrefix(QStringView value) {
    if (!value.startsWith(u"sv"))
        return std::nullopt;
    qsizetype at = 2;
    while (at < value.size() && value[at] >= u'0' && value[at] <= u'9')
        ++at;
    if (at == 2 || at == value.size() || value[at] != u':')
        return std::nullopt;
    return std::pair(value.first(at), at + 1);
}

/// Whether `text` is the one canonical base64 spelling of `decoded`: the decoder also takes
/// missing padding and stray low bits, and a sealed value must not have several spellings.
/// Only the length and the last group can differ, so only they are compared.
bool isCanonicalBase64(const QByteArray& text, const QByteArray& decoded) {
    if (text.size() != (decoded.size() + 2) / 3 * 4)
        return false;
    const qsizetype tail = decoded.size() % 3;
    return tail == 0 || decoded.last(tail).toBase64() == text.last(4);
}

Error malformed() {
    return cryptoError(CryptoErrorCode::Malformed, QStringLiteral("The sealed value is damaged."));
}

Result<SealedParts> parse(const QString& sealed) {
    const auto prefix = sealedPrefix(sealed);
    if (!prefix)
        return malformed();
    const auto [version, keyAt] = *prefix;
    if (version != kVersion && version != kUnpaddedVersion && version != kBoundVersion &&
        version != kBytesVersion)
        return cryptoError(CryptoErrorCode::UnknownVersion,
                           QStringLiteral("The value was sealed by a newer Sonavert."));
    const qsizetype keyEnd = sealed.indexOf(QLatin1Char(':'), keyAt);
    if (keyEnd <= keyAt || sealed.indexOf(QLatin1Char(':'), keyEnd + 1) >= 0)
        return malformed();
    const QByteArray text = QStringView(sealed).sliced(keyEnd + 1).toLatin1();
    auto body = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!body || body.decoded.size() < kNonceBytes + kTagBytes ||
        !isCanonicalBase64(text, body.decoded))
        return malformed();
    return SealedParts{version.toString(), sealed.sliced(keyAt, keyEnd - keyAt), body.decoded};
}

Error refused() {
    return cryptoError(CryptoErrorCode::Refused,
                       QStringLiteral("The sealed value does not open with this key here."));
}

Result<QString> sealWith(const QString& version, const AccountKey& key, const QByteArray& ad,
                         const QByteArray& clear) {
    if (!ensureSodium())
        return cryptoUnavailable();
    const QByteArray message = padded(clear);
    QByteArray body(kNonceBytes + message.size() + kTagBytes, Qt::Uninitialized);
    auto* nonce = reinterpret_cast<unsigned char*>(body.data());
    randombytes_buf(nonce, kNonceBytes);
    unsigned long long cipherLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        nonce + kNonceBytes, &cipherLength, reinterpret_cast<const unsigned char*>(message.data()),
        message.size(), reinterpret_cast<const unsigned char*>(ad.data()), ad.size(), nullptr,
        nonce, key.data());
    return version + QLatin1Char(':') + key.keyId() + QLatin1Char(':') +
           QString::fromLatin1(body.toBase64());
}

Result<QByteArray> openWith(const AccountKey& key, const SealedParts& parts, const QByteArray& ad) {
    const QByteArray& body = parts.body;
    const auto* nonce = reinterpret_cast<const unsigned char*>(body.constData());
    QByteArray message(body.size() - (kNonceBytes + kTagBytes), Qt::Uninitialized);
    unsigned long long messageLength = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(message.data()), &messageLength, nullptr,
            nonce + kNonceBytes, body.size() - kNonceBytes,
            reinterpret_cast<const unsigned char*>(ad.constData()), ad.size(), nonce,
            key.data()) != 0)
        return refused();
    message.resize(qsizetype(messageLength));
    if (parts.version == kUnpaddedVersion)
        return message;
    // Authentic, so the padding was made by a holder of the key; checked all the same.
    const std::optional<qsizetype> length = unpaddedLength(message);
    if (!length)
        return malformed();
    message.truncate(*length);
    return message;
}

Result<QString> textOf(Result<QByteArray> opened) {
    SONAVERT_TRY(opened);
    return QString::fromUtf8(opened.value());
}

/// The parts of `sealed` when it has the sealed form, is of one of `versions` and names a key
/// of the ring.
Result<std::pair<SealedParts, const AccountKey*>>
keyedParts(const KeyRing& ring, const QString& sealed, std::initializer_list<QString> versions) {
    if (!ensureSodium())
        return cryptoUnavailable();
    Result<SealedParts> parts = parse(sealed);
    SONAVERT_TRY(parts);
    if (std::find(versions.begin(), versions.end(), parts.value().version) == versions.end())
        return refused();
    const AccountKey* key = ring.find(parts.value().keyId);
    if (key == nullptr)
        return cryptoError(CryptoErrorCode::UnknownKey,
                           QStringLiteral("The value was sealed with a key this device lacks."));
    return std::pair(std::move(parts).value(), key);
}

} // namespace

bool PayloadCipher::isSealed(const QString& value) {
    return sealedPrefix(value).has_value();
}

QString PayloadCipher::keyIdOf(const QString& sealed) {
    const Result<SealedParts> parts = parse(sealed);
    return parts ? parts.value().keyId : QString();
}

Result<QString> PayloadCipher::seal(const AccountKey& key, const QString& recordName,
                                    const QString& fieldName, const QString& plaintext) {
    return sealWith(kVersion, key, associatedData(kVersion, key.keyId(), recordName, fieldName),
                    plaintext.toUtf8());
}

Result<QString> PayloadCipher::open(const KeyRing& ring, const QString& recordName,
                                    const QString& fieldName, const QString& sealed) {
    const auto keyed = keyedParts(ring, sealed, {kVersion, kUnpaddedVersion});
    SONAVERT_TRY(keyed);
    const auto& [parts, key] = keyed.value();
    return textOf(
        openWith(*key, parts, associatedData(parts.version, key->keyId(), recordName, fieldName)));
}

Result<QString> PayloadCipher::sealBound(const AccountKey& key, const QString& recordName,
                                         const QString& fieldName, const QString& plaintext,
                                         const QStringList& bound) {
    return sealWith(kBoundVersion, key,
                    associatedData(kBoundVersion, key.keyId(), recordName, fieldName, bound),
                    plaintext.toUtf8());
}

Result<QString> PayloadCipher::openBound(const KeyRing& ring, const QString& recordName,
                                         const QString& fieldName, const QString& sealed,
                                         const QStringList& bound) {
    const auto keyed = keyedParts(ring, sealed, {kBoundVersion});
    SONAVERT_TRY(keyed);
    const auto& [parts, key] = keyed.value();
    if (key->keyId() != ring.current().keyId())
        return cryptoError(CryptoErrorCode::RetiredKey,
                           QStringLiteral("The command was sealed with a key since replaced."));
    return textOf(openWith(
        *key, parts, associatedData(parts.version, key->keyId(), recordName, fieldName, bound)));
}

Result<QString> PayloadCipher::sealBytes(const AccountKey& key, const QString& recordName,
                                         const QString& fieldName, const QByteArray& clear,
                                         const QStringList& bound) {
    return sealWith(kBytesVersion, key,
                    associatedData(kBytesVersion, key.keyId(), recordName, fieldName, bound),
                    clear);
}

Result<QByteArray> PayloadCipher::openBytes(const KeyRing& ring, const QString& recordName,
                                            const QString& fieldName, const QString& sealed,
                                            const QStringList& bound) {
    const auto keyed = keyedParts(ring, sealed, {kBytesVersion});
    SONAVERT_TRY(keyed);
    const auto& [parts, key] = keyed.value();
    return openWith(*key, parts,
                    associatedData(parts.version, key->keyId(), recordName, fieldName, bound));
}

} // namespace sonavert::crypto
