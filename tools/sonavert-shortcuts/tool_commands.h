#pragma once

#include <QStringList>
#include <functional>

namespace sonavert::shortcuts {

/// Asks the user in a window whether to add the Shortcut `name` from `file`: true for yes.
using WindowAsker = std::function<bool(const QString& name, const QString& file)>;

/// Runs `sonavert-shortcuts` with `arguments` (after the program name) and gives its exit
/// status: 0 done, 1 failed or refused, 2 usage error; `run` passes the Shortcut's own status.
/// `askInWindow` answers `import --ask-in-window` (none: that import is refused). Needs a
/// QCoreApplication, a QGuiApplication for the window.
int runTool(const QStringList& arguments, const WindowAsker& askInWindow = {});

} // namespace sonavert::shortcuts
