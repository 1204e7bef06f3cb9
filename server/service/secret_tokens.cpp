#include "server/service/secret_tokens.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace sonavert::cloud::secret_tokens {

namespace {

QByteArray randomBytes(int count) {
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

// No 0/O, 1/I/L or U/V: what is read aloud or copied from a screen is typed back right.
constexpr char kCodeAlphabet[] = "23456789ABCDEFGHJKMNPQRSTWXYZ";
constexpr int kCodeGroups = 3;
constexpr int kCodeGroupLength = 3;

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

QString newPairingCode() {
    const int alphabetSize = static_cast<int>(sizeof(kCodeAlphabet)) - 1;
    QString code;
    for (int group = 0; group < kCodeGroups; ++group) {
        if (group > 0)
            code += QLatin1Char('-');
        for (int i = 0; i < kCodeGroupLength; ++i)
            code += QLatin1Char(kCodeAlphabet[QRandomGenerator::system()->bounded(alphabetSize)]);
    }
    return code;
}

QString normalisedPairingCode(const QString& typed) {
    QString code;
    for (const QChar c : typed)
        if (c != QLatin1Char('-') && !c.isSpace())
            code += c.toUpper();
    return code;
}

QString hashPairingCode(const QString& typed, const QByteArray& key) {
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(normalisedPairingCode(typed).toUtf8(), key,
                                         QCryptographicHash::Sha256)
            .toHex());
}

bool digestsEqual(const QString& left, const QString& right) {
    if (left.size() != right.size())
        return false;
    char16_t difference = 0;
    for (qsizetype i = 0; i < left.size(); ++i)
        difference |= left[i].unicode() ^ right[i].unicode();
    return difference == 0;
}

QByteArray newSigningKey() {
    return randomBytes(32).toBase64(kUrlSafe);
}

} // namespace sonavert::cloud::secret_tokens
