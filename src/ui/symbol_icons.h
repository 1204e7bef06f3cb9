#pragma once

#include <QString>
#include <optional>

namespace sonavert::symbol_icons {

/// Where a symbol's picture comes from: the desktop's icon theme first, our own drawing when
/// the theme lacks it (or there is no theme at all).
struct SymbolIcon {
    const char* symbol;     ///< the name the views use
    const char* themeName;  ///< freedesktop icon name; empty when no theme icon fits
    const char* bundledSvg; ///< file under the bundled icons
};

/// The one table of every symbol the window shows.
std::optional<SymbolIcon> lookUp(const QString& symbol);
/// Every entry, for checks that each has its drawing.
const SymbolIcon* begin();
const SymbolIcon* end();

} // namespace sonavert::symbol_icons
