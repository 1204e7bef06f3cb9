#pragma once

#include "server/http/trusted_proxies.h"

#include <QSslConfiguration>
#include <optional>

namespace sonavert::cloud {

/// How clients reach the server: over TLS when it has an identity (HTTPS, and WSS for the push
/// channel, on the one port), and through which reverse proxies.
struct HttpTransport {
    std::optional<QSslConfiguration> tls;
    TrustedProxies trustedProxies;
};

} // namespace sonavert::cloud
