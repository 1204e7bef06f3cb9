#pragma once

#include "src/runtime/result.h"

#include <QString>
#include <optional>

namespace sonavert {

inline const QString kLoginItemErrorDomain = QStringLiteral("LoginItem");

/// Why "Start at login" could not be changed (domain "LoginItem").
enum class LoginItemErrorCode {
    NoTemplate = 1,    ///< this installation carries no autostart entry to copy
    CannotEnable = 2,  ///< the entry could not be read or written; the text names the file
    CannotDisable = 3, ///< the user's copy could not be removed
};
inline QString errorDomain(LoginItemErrorCode) {
    return kLoginItemErrorDomain;
}

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
