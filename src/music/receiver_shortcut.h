#pragma once

#include "src/music/shortcuts_tool.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <functional>

namespace sonavert {

class UserDefaults;

/// Writes one developer line (`developerLog`); swappable in tests.
using DeveloperLineWriter = std::function<void(const QString&)>;

/// Whether the receiver Shortcut is installed, as far as the Shortcuts tool tells.
enum class ShortcutInstallStatus { Installed, NotInstalled, Undetermined };

namespace receiver_shortcut {

/// Set once the Shortcut file has been offered to the user; never cleared.
inline const QString kDonatedKey = QStringLiteral("Sonavert.shortcut.donated");

/// Looks for a line of the tool's "list" output that is exactly the Shortcut's name once
/// trimmed. Output that is not UTF-8 cannot be trusted either way: undetermined.
ShortcutInstallStatus statusFromListOutput(const QByteArray& output);

/// Runs the tool's "list"; a tool that cannot be run is reported and answers undetermined.
QCoro::Task<ShortcutInstallStatus> isShortcutInstalled(ShortcutsTool& tool,
                                                       DeveloperLineWriter writeLine);

/// Installed counts, not installed does not; when the tool cannot tell, having offered the
/// Shortcut once is taken as the user having added it, so we do not offer it at every start.
bool isShortcutUsable(ShortcutInstallStatus status, const UserDefaults& defaults);

} // namespace receiver_shortcut

} // namespace sonavert
