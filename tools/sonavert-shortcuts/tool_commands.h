#pragma once

#include <QStringList>

namespace sonavert::shortcuts {

/// Runs `sonavert-shortcuts` with `arguments` (after the program name) and gives its exit
/// status: 0 done, 1 failed or refused, 2 usage error; `run` passes the Shortcut's own status.
/// Needs a QCoreApplication.
int runTool(const QStringList& arguments);

} // namespace sonavert::shortcuts
