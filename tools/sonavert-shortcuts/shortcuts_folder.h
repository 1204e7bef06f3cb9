#pragma once

#include "src/runtime/result.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace sonavert::shortcuts {

/// What adding a Shortcut did.
struct AddedShortcut {
    QString name;
    QString path;
    bool replacedOlder = false;
};

/// The folder of approved Shortcuts: each one is an executable file named after the Shortcut.
/// Being in this folder is the approval; `add` is the only way in that asks for it.
class ShortcutsFolder {
public:
    explicit ShortcutsFolder(QString path);

    /// $SONAVERT_SHORTCUTS_DIR when set, else the XDG data folder's "sonavert/shortcuts".
    static QString defaultPath();
    /// The Shortcut name a file is added as: its file name without ".shortcut". Nothing when
    /// that name could not be listed one per line or could reach outside the folder.
    static std::optional<QString> nameForFile(const QString& file);

    QString path() const { return m_path; }
    /// The approved Shortcuts' names, sorted; none when the folder is missing.
    QStringList names() const;
    /// The executable of the Shortcut with exactly this name, when there is one.
    std::optional<QString> executableOf(const QString& name) const;
    /// Copies `file` in as an executable for its owner only, atomically replacing an older
    /// Shortcut of the same name. Errors are of the "ShortcutsFolder" domain.
    Result<AddedShortcut> add(const QString& file) const;

private:
    QString m_path;
};

} // namespace sonavert::shortcuts
