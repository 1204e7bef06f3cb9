#include "src/music/tessary_receiver_installer.h"

#include "src/desktop/user_defaults.h"
#include "src/player/catalog_links.h"

#include <QTimer>

namespace sonavert {

TessaryReceiverInstaller::TessaryReceiverInstaller(ResourceLocator locateShortcutFile,
                                                   LinkOpener& links, UserDefaults& defaults,
                                                   DeveloperLineWriter writeLine,
                                                   ShortcutsTool* tool)
    : m_locateShortcutFile(std::move(locateShortcutFile))
    , m_links(links)
    , m_defaults(defaults)
    , m_writeLine(std::move(writeLine))
    , m_tool(tool) {}

QCoro::Task<ShortcutInstallStatus> TessaryReceiverInstaller::isShortcutInstalled() {
    if (!m_tool)
        co_return ShortcutInstallStatus::Undetermined;
    co_return co_await receiver_shortcut::isShortcutInstalled(*m_tool, m_writeLine);
}

bool TessaryReceiverInstaller::install() {
    const std::optional<QString> path = m_locateShortcutFile();
    if (!path) {
        m_writeLine(QStringLiteral("TessaryReceiverInstaller: bundled ") + kReceiverShortcutName +
                    QStringLiteral(".shortcut not found in bundle"));
        return false;
    }
    m_writeLine(QStringLiteral("TessaryReceiverInstaller: opening ") + *path);
    m_links.open(QUrl::fromLocalFile(*path));
    // The flag records the offer, not the user's answer: whether they add it is not ours to see.
    m_defaults.setBool(receiver_shortcut::kDonatedKey, true);
    Q_EMIT offered();
    return true;
}

QCoro::Task<void> TessaryReceiverInstaller::offerIfNotUsable(ShortcutsTool& tool) {
    const std::stop_token stop = m_tasks.token();
    const ShortcutInstallStatus status =
        co_await receiver_shortcut::isShortcutInstalled(tool, m_writeLine);
    if (stop.stop_requested() || receiver_shortcut::isShortcutUsable(status, m_defaults))
        co_return;
    QTimer::singleShot(0, this, [this] { install(); });
}

} // namespace sonavert
