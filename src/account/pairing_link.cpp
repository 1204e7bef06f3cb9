#include "src/account/pairing_link.h"

#include <QUrlQuery>

namespace sonavert {

namespace {

constexpr auto kScheme = "sonavert";
constexpr auto kHost = "pair";
// Nine code characters in groups, with room for dashes and spaces as people type them.
constexpr qsizetype kLongestCode = 32;
// A SHA-256 fingerprint, as a link carries it.
constexpr qsizetype kKeySize = 32;
constexpr auto kKeyEncoding = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

bool isPlausibleCode(const QString& code) {
    if (code.isEmpty() || code.size() > kLongestCode)
        return false;
    qsizetype symbols = 0;
    for (const QChar c : code) {
        if (c == u'-' || c == u' ')
            continue;
        if (c.unicode() > 0x7f || !c.isLetterOrNumber())
            return false;
        ++symbols;
    }
    return symbols > 0;
}

bool isServerAddress(const QUrl& server) {
    return server.isValid() && !server.host().isEmpty() &&
           (server.scheme() == u"http" || server.scheme() == u"https") &&
           server.userInfo().isEmpty();
}

} // namespace

QUrl makePairingLink(const QUrl& server, const QString& code, const QByteArray& serverKey) {
    QUrl link;
    link.setScheme(QString::fromLatin1(kScheme));
    link.setHost(QString::fromLatin1(kHost));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("server"), QString::fromUtf8(QUrl::toPercentEncoding(
                                                     server.toString(QUrl::FullyEncoded))));
    query.addQueryItem(QStringLiteral("code"), QString::fromUtf8(QUrl::toPercentEncoding(code)));
    if (!serverKey.isEmpty())
        query.addQueryItem(QStringLiteral("key"),
                           QString::fromLatin1(serverKey.toBase64(kKeyEncoding)));
    link.setQuery(query);
    return link;
}

std::optional<PairingLinkContent> parsePairingLink(const QUrl& link) {
    if (!link.isValid() || link.scheme() != QLatin1String(kScheme) ||
        link.host() != QLatin1String(kHost))
        return std::nullopt;
    const QUrlQuery query(link);
    const QUrl server(query.queryItemValue(QStringLiteral("server"), QUrl::FullyDecoded),
                      QUrl::StrictMode);
    const QString code = query.queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    if (!isServerAddress(server) || !isPlausibleCode(code))
        return std::nullopt;
    QByteArray serverKey;
    if (query.hasQueryItem(QStringLiteral("key"))) {
        const auto decoded = QByteArray::fromBase64Encoding(
            query.queryItemValue(QStringLiteral("key"), QUrl::FullyDecoded).toLatin1(),
            kKeyEncoding | QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() != kKeySize)
            return std::nullopt;
        serverKey = decoded.decoded;
    }
    return PairingLinkContent{server, code.toUpper(), serverKey};
}

} // namespace sonavert
