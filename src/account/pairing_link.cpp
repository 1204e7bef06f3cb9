#include "src/account/pairing_link.h"

#include <QCryptographicHash>
#include <QUrlQuery>
#include <QtEndian>

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

namespace pairing_code {

QString symbolsOf(const QString& typed) {
    QString symbols;
    for (const QChar c : typed)
        if (c.unicode() < 0x80 && c.isLetterOrNumber())
            symbols += c.toUpper();
    return symbols;
}

QString checkFor(const QString& code, const QByteArray& serverKey) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView("sonavert pairing code check\0", 28));
    hash.addData(symbolsOf(code).toLatin1());
    hash.addData(serverKey);
    quint64 value = qFromBigEndian<quint64>(hash.result().constData());
    QString check;
    for (int i = 0; i < kCheckLength; ++i) {
        check += kSymbols[static_cast<qsizetype>(value % kSymbols.size())];
        value /= kSymbols.size();
    }
    return check;
}

QString shown(const QString& code, const QByteArray& serverKey) {
    QString symbols = symbolsOf(code);
    if (!serverKey.isEmpty())
        symbols += checkFor(symbols, serverKey);
    QString grouped;
    for (qsizetype i = 0; i < symbols.size(); ++i) {
        if (i > 0 && i % kGroup == 0)
            grouped += u'-';
        grouped += symbols[i];
    }
    return grouped;
}

std::optional<Parts> split(const QString& typed) {
    const QString symbols = symbolsOf(typed);
    if (symbols.size() == kLength)
        return Parts{symbols, {}};
    if (symbols.size() == kLength + kCheckLength)
        return Parts{symbols.left(kLength), symbols.mid(kLength)};
    return std::nullopt;
}

} // namespace pairing_code

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
