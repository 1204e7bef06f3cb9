#pragma once

#include "tools/sonavertctl/ctl_command_line.h"

#include <QCoro/QCoroTask>
#include <QString>

namespace sonavert::ctl {

/// Runs one command against the running app on the session bus, printing what it has to say,
/// and gives the exit code. `watch` runs until the app leaves the bus.
QCoro::Task<int> runCommand(CtlOptions options);

/// An error as one compact JSON object and a line end, as --json prints it.
QString errorJson(const QString& text, int exitCode);

} // namespace sonavert::ctl
