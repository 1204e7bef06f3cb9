#include "server/app/transport_options.h"

#include "server/http/tls_identity.h"

namespace sonavert::cloud {

TransportOptions::TransportOptions()
    : m_certificate(QStringLiteral("tls-cert"),
                    QStringLiteral("Serve HTTPS and WSS with this PEM certificate (its chain may "
                                   "follow it); needs --tls-key."),
                    QStringLiteral("FILE"))
    , m_key(QStringLiteral("tls-key"),
            QStringLiteral("The unencrypted PEM private key of --tls-cert."),
            QStringLiteral("FILE"))
    , m_trustedProxy(
          QStringLiteral("trusted-proxy"),
          QStringLiteral("A reverse proxy whose X-Forwarded-For names the client: an address "
                         "or CIDR block, repeatable (in the variable, a comma-separated "
                         "list)."),
          QStringLiteral("ADDR")) {}

void TransportOptions::addTo(OptionValues& values) const {
    values.addWithEnvironment({m_certificate, m_key, m_trustedProxy});
}

Status TransportOptions::applyTo(const OptionValues& values, ServerConfig& config) const {
    auto proxies = TrustedProxies::parse(values.values(m_trustedProxy));
    SONAVERT_TRY(proxies);
    config.transport.trustedProxies = proxies.value();
    const std::optional<QString> certificate = values.value(m_certificate);
    const std::optional<QString> key = values.value(m_key);
    if (certificate.has_value() != key.has_value())
        return makeError(QStringLiteral("Options"), 0,
                         QStringLiteral("%1 and %2 go together")
                             .arg(values.sourceOf(m_certificate), values.sourceOf(m_key)));
    if (!certificate)
        return {};
    auto identity = loadTlsIdentity(*certificate, *key);
    SONAVERT_TRY(identity);
    config.transport.tls = identity.value();
    return {};
}

} // namespace sonavert::cloud
