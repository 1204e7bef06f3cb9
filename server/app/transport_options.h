#pragma once

#include "server/app/cloud_server.h"

#include <QCommandLineOption>

class QCommandLineParser;

namespace sonavert::cloud {

/// The `serve` options of how clients reach the server: its TLS identity (`--tls-cert`,
/// `--tls-key`) and the reverse proxies it trusts (`--trusted-proxy`, repeatable).
class TransportOptions {
public:
    TransportOptions();

    void addTo(QCommandLineParser& parser) const;
    /// Loads the identity and reads the proxies; an error names the option and file at fault.
    Status applyTo(const QCommandLineParser& parser, ServerConfig& config) const;

private:
    QCommandLineOption m_certificate;
    QCommandLineOption m_key;
    QCommandLineOption m_trustedProxy;
};

} // namespace sonavert::cloud
