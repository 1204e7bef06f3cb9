#include "server/service/secret_tokens.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace sonavert::cloud::secret_tokens {

namespace {

QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

constexpr auto kUrlSafe = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

} // namespace

QString newBearerToken() {
    return QString::fromLatin1(randomBytes(32).toBase64(kUrlSafe));
}

QString hashBearerToken(const QString& token) {
    return QString::fromLatin1(
        QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString newUserRecordName() {
    return QLatin1Char('_') + QString::fromLatin1(randomBytes(16).toHex());
}

QByteArray newSigningKey() {
    return randomBytes(32).toBase64(kUrlSafe);
}

} // namespace sonavert::cloud::secret_tokens
