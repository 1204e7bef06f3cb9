#pragma once

#include "server/app/cloud_server.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

namespace sonavert::cloud {

/// The `serve` options that set the limits and timeouts of ServerConfig, one table row each.
class LimitOptions {
public:
    LimitOptions();

    void addTo(QCommandLineParser& parser) const;
    /// Sets what the command line gives; a value that is not a positive whole number, or a
    /// header limit beyond what the HTTP parser takes, is an error naming the option.
    Status applyTo(const QCommandLineParser& parser, ServerConfig& config) const;

private:
    QList<QCommandLineOption> m_options;
};

} // namespace sonavert::cloud
