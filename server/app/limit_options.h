#pragma once

#include "server/app/cloud_server.h"

#include <QCommandLineOption>
#include <QList>

namespace sonavert::cloud {

class OptionValues;

/// The `serve` options that set the limits and timeouts of ServerConfig, one table row each.
class LimitOptions {
public:
    LimitOptions();

    /// Adds them as options that may also be set in the environment.
    void addTo(OptionValues& values) const;
    /// Sets what the command line or the environment gives; a value that is not a positive
    /// whole number, or a header limit beyond what the HTTP parser takes, is an error naming
    /// the option or the variable it came from.
    Status applyTo(const OptionValues& values, ServerConfig& config) const;

private:
    QList<QCommandLineOption> m_options;
};

} // namespace sonavert::cloud
