#include "src/ui/sign_in_input.h"

#include "src/account/pairing_link.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSysInfo>

namespace sonavert::sign_in_input {

namespace {

constexpr int kLongestCode = pairing_code::kLength + pairing_code::kCheckLength;

QString symbolsOf(const QString& typed) {
    return pairing_code::symbolsOf(typed).left(kLongestCode);
}

bool isThisMachinesName(const QString& host) {
    const QString name = QSysInfo::machineHostName().toLower();
    return host == u"localhost" || host.endsWith(u".localhost") ||
           (!name.isEmpty() && (host == name || host == name + QStringLiteral(".local")));
}

/// A host only this computer reaches: a loopback address or "localhost". A server there
/// listens in plain HTTP; anywhere else one serves HTTPS (and the device refuses it in clear).
bool isLoopbackHost(const QString& host) {
    const QHostAddress address(host);
    if (address.isNull())
        return host == u"localhost" || host.endsWith(u".localhost");
    return address.isLoopback();
}

} // namespace

QString groupedCode(const QString& typed) {
    const QString symbols = symbolsOf(typed);
    QString grouped;
    for (qsizetype i = 0; i < symbols.size(); ++i) {
        if (i > 0 && i % pairing_code::kGroup == 0)
            grouped += u'-';
        grouped += symbols[i];
    }
    return grouped;
}

bool isCompleteCode(const QString& grouped) {
    return pairing_code::split(symbolsOf(grouped)).has_value() && !hasForeignSymbol(grouped);
}

bool hasForeignSymbol(const QString& grouped) {
    for (const QChar c : symbolsOf(grouped)) {
        if (!pairing_code::kSymbols.contains(c))
            return true;
    }
    return false;
}

std::optional<QUrl> serverUrl(const QString& typed) {
    const QString text = typed.trimmed();
    if (text.isEmpty() || text.contains(u' '))
        return std::nullopt;
    QUrl url(text.contains(u"://") ? text : QStringLiteral("//") + text, QUrl::StrictMode);
    if (url.scheme().isEmpty())
        url.setScheme(isLoopbackHost(url.host()) ? QStringLiteral("http")
                                                 : QStringLiteral("https"));
    const bool isWeb = url.scheme() == u"http" || url.scheme() == u"https";
    if (!url.isValid() || !isWeb || url.host().isEmpty() || !url.userInfo().isEmpty())
        return std::nullopt;
    return url;
}

bool isThisComputer(const QUrl& server) {
    const QString host = server.host().toLower();
    if (isThisMachinesName(host))
        return true;
    const QHostAddress address(host);
    if (address.isNull())
        return false;
    return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
}

} // namespace sonavert::sign_in_input
