#pragma once

#include <QString>

namespace sonavert {

/// Reads a position as the player writes a number as text, which may use a decimal comma
/// ("12,5"). Surrounding blanks are ignored; anything that is not wholly a finite decimal
/// number reads as 0, whatever the locale of this machine.
double parsePlaybackPosition(const QString& text);

} // namespace sonavert
