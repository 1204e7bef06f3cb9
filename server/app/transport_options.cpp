#include "server/app/transport_options.h"

#include "server/http/tls_identity.h"

#include <QCommandLineParser>

namespace sonavert::cloud {

TransportOptions::TransportOptions()
    : m_certificate(QStringLiteral("tls-cert"),
                    QStringLiteral("Serve HTTPS and WSS with this PEM certificate (its chain may "
                                   "follow it); needs --tls-key."),
                    QStringLiteral("FILE"))
    , m_key(QStringLiteral("tls-key"),
            QStringLiteral("The unencrypted PEM private key of --tls-cert."),
            QStringLiteral("FILE"))
    , m_trustedProxy(QStringLiteral("trusted-proxy"),
                     QStringLiteral("A reverse proxy (address or CIDR block, repeatable) whose "
                                    "X-Forwarded-For names the client."),
                     QStringLiteral("ADDR")) {}

void TransportOptions::addTo(QCommandLineParser& parser) const {
    parser.addOptions({m_certificate, m_key, m_trustedProxy});
}

Status TransportOptions::applyTo(const QCommandLineParser& parser, ServerConfig& config) const {
    auto proxies = TrustedProxies::parse(parser.values(m_trustedProxy));
    SONAVERT_TRY(proxies);
    config.transport.trustedProxies = proxies.value();
    if (parser.isSet(m_certificate) != parser.isSet(m_key))
        return makeError(QStringLiteral("Options"), 0,
                         QStringLiteral("--tls-cert and --tls-key go together"));
    if (!parser.isSet(m_certificate))
        return {};
    auto identity = loadTlsIdentity(parser.value(m_certificate), parser.value(m_key));
    SONAVERT_TRY(identity);
    config.transport.tls = identity.value();
    return {};
}

} // namespace sonavert::cloud
