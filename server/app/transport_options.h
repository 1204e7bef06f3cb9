#pragma once

#include "server/app/cloud_server.h"
#include "server/app/option_values.h"

#include <QCommandLineOption>

namespace sonavert::cloud {

/// The `serve` options of how clients reach the server: its TLS identity (`--tls-cert`,
/// `--tls-key`) and the reverse proxies it trusts (`--trusted-proxy`, repeatable).
class TransportOptions {
public:
    TransportOptions();

    void addTo(OptionValues& values) const;
    /// Loads the identity and reads the proxies; an error names the option and file at fault.
    Status applyTo(const OptionValues& values, ServerConfig& config) const;

private:
    QCommandLineOption m_certificate;
    QCommandLineOption m_key;
    QCommandLineOption m_trustedProxy;
};

} // namespace sonavert::cloud
