#pragma once

#include "server/http/trusted_proxies.h"

#include <QSslConfiguration>
#include <optional>

namespace sonavert::cloud {

/// How clients reach the server: over TLS when it has an identity (HTTPS, and WSS for the push
/// channel, on the one port), and through which reverse proxies.
struct HttpTransport {
    std::optional<QSslConfiguration> tls;
    /// With a certificate the server made itself: the SHA-256 of its public key, which devices
    /// pin (invitations carry it). Empty with a certificate given, which an authority vouches
    /// for.
    QByteArray keyFingerprint;
    TrustedProxies trustedProxies;
};

} // namespace sonavert::cloud
