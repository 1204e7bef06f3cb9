#pragma once

#include <QIcon>
#include <QString>

namespace sonavert {

/// Sonavert's icon, rendered from the SVG compiled into the program: a bare machine has no
/// icon theme, and a tray item without an icon is never shown.
QIcon applicationIcon();

/// The icon as a file, for desktop services that take a path (notifications): installed
/// beside the program, else in the build tree; empty when neither is there.
QString applicationIconFile();

} // namespace sonavert
