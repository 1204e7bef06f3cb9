#pragma once

#include "src/music/link_opener.h"
#include "src/music/receiver_shortcut.h"
#include "src/runtime/task_handle.h"

#include <QObject>
#include <functional>
#include <optional>

namespace sonavert {

class UserDefaults;

/// Offers the bundled receiver Shortcut to the user. It cannot install it silently: it opens
/// the Shortcut file, the Shortcuts tool asks the user in its dialog, and we remember that we
/// offered it.
class TessaryReceiverInstaller : public QObject {
    Q_OBJECT
public:
    /// Where the bundled Shortcut file is; nothing when this installation lacks it.
    using ResourceLocator = std::function<std::optional<QString>()>;

    /// `tool` answers the installed check; without one the check cannot tell (undetermined).
    TessaryReceiverInstaller(ResourceLocator locateShortcutFile, LinkOpener& links,
                             UserDefaults& defaults, DeveloperLineWriter writeLine,
                             ShortcutsTool* tool = nullptr);

    /// Opens the Shortcut file for the user and sets the offered flag; false when the file is
    /// missing.
    bool install();

    /// Whether the Shortcut is installed, as the Shortcuts tool given at construction tells.
    QCoro::Task<ShortcutInstallStatus> isShortcutInstalled();

    /// The check one second after launch: when the Shortcut is not usable, offers it from the
    /// event loop, without waiting for the offer.
    QCoro::Task<void> offerIfNotUsable(ShortcutsTool& tool);

Q_SIGNALS:
    /// The file was opened: the user is being asked, and answers in their own time.
    void offered();

private:
    ResourceLocator m_locateShortcutFile;
    LinkOpener& m_links;
    UserDefaults& m_defaults;
    DeveloperLineWriter m_writeLine;
    ShortcutsTool* m_tool;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
