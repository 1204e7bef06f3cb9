#pragma once

#include <QString>

namespace sonavert {

/// The operating system's human-readable name and version: PRETTY_NAME of os-release
/// ("Debian GNU/Linux 12 (bookworm)"), else Qt's own guess.
QString operatingSystemPrettyName();
/// PRETTY_NAME from the text of an os-release file; empty when it has none.
QString prettyNameFromOsRelease(const QString& text);

/// The hardware model as the firmware names it (DMI product name); empty when unreadable.
QString hardwareModel(
    const QString& productNameFile = QStringLiteral("/sys/devices/virtual/dmi/id/product_name"));

} // namespace sonavert
