#pragma once

#include <QString>
#include <optional>

namespace sonavert {

/// The `sonavert-shortcuts` program: beside the running executable (an installation), else
/// the one of the build tree this was built in, else the name alone, for PATH to resolve.
QString locateShortcutsProgram();

/// The bundled receiver Shortcut file, "SonavertReceiver.shortcut": in
/// `<executable's folder>/../share/sonavert/` (an installation), else in the build tree's
/// `share/sonavert/`. Nothing when neither has it. The receiver installer's resource locator.
std::optional<QString> locateBundledReceiverShortcut();

} // namespace sonavert
