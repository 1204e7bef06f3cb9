#include "server/service/change_token_codec.h"

#include <QList>
#include <QMessageAuthenticationCode>

namespace sonavert::cloud {

namespace {

constexpr auto kUrlSafe = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
constexpr char kVersion[] = "1";

} // namespace

ChangeTokenCodec::ChangeTokenCodec(QByteArray signingKey)
    : m_signingKey(std::move(signingKey)) {}

QString ChangeTokenCodec::encode(const ChangePosition& position) const {
    const QByteArray payload = QByteArray(kVersion) + '.' + QByteArray::number(position.zoneId) +
                               '.' + QByteArray::number(position.sequence);
    return QString::fromLatin1(payload.toBase64(kUrlSafe) + '.' +
                               signatureOf(payload).toBase64(kUrlSafe));
}

std::optional<ChangePosition> ChangeTokenCodec::decode(const QString& token) const {
    const QList<QByteArray> halves = token.toLatin1().split('.');
    if (halves.size() != 2)
        return std::nullopt;
    const auto payload = QByteArray::fromBase64Encoding(halves[0], kUrlSafe);
    const auto signature = QByteArray::fromBase64Encoding(halves[1], kUrlSafe);
    if (!payload || !signature || signatureOf(*payload) != *signature)
        return std::nullopt;
    const QList<QByteArray> parts = (*payload).split('.');
    if (parts.size() != 3 || parts[0] != kVersion)
        return std::nullopt;
    bool zoneOk = false;
    bool sequenceOk = false;
    ChangePosition position{parts[1].toLongLong(&zoneOk), parts[2].toLongLong(&sequenceOk)};
    if (!zoneOk || !sequenceOk || position.sequence < 0)
        return std::nullopt;
    return position;
}

QByteArray ChangeTokenCodec::signatureOf(const QByteArray& payload) const {
    return QMessageAuthenticationCode::hash(payload, m_signingKey, QCryptographicHash::Sha256)
        .left(16);
}

} // namespace sonavert::cloud
