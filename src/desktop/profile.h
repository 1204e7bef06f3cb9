#pragma once

#include <QString>

namespace sonavert {

/// Where one device's local state lives. `--profile DIR` puts everything of a device (user
/// defaults, data, the fallback identity) in DIR, so several devices can run side by side on
/// one machine; without it the XDG config and data folders are used.
struct Profile {
    QString configDirectory;
    QString dataDirectory;

    static Profile inDirectory(const QString& directory);
    static Profile standard();

    /// The user-defaults file; its folder is created when missing.
    QString defaultsFile() const;
};

} // namespace sonavert
