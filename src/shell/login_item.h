#pragma once

#include "src/runtime/result.h"

#include <QString>
#include <optional>

namespace sonavert {

/// "Start at login": the XDG autostart entry in the user's autostart folder. The installation
/// carries the entry as a template in its data folder (never in the system's autostart folder,
/// which would start Sonavert for every user unasked); turning the item on copies it to the
/// user's folder, turning it off removes the copy. The copy's presence is the setting, so a
/// user who deletes it by hand finds the item off.
class LoginItem {
public:
    /// The entry's file name, the application's desktop id.
    static const QString kEntryName;

    /// `entryTemplate`: the installed entry (nothing when this installation lacks it);
    /// `autostartFolder`: where the session starts entries from.
    LoginItem(std::optional<QString> entryTemplate, QString autostartFolder);

    /// The template beside the running program's installation, else in its build tree.
    static std::optional<QString> locateTemplate();
    /// `$XDG_CONFIG_HOME/autostart`.
    static QString userAutostartFolder();

    bool isEnabled() const;
    /// Copies the template into the autostart folder (replacing an older copy) or removes the
    /// copy. Turning off what is off, or on what is on, succeeds.
    Status setEnabled(bool enabled);

private:
    QString entryPath() const;
    Status enable();
    Status disable();

    std::optional<QString> m_template;
    QString m_autostartFolder;
};

} // namespace sonavert
