#pragma once

#include "src/player/player_backend.h"
#include "src/player/track_catalog.h"

#include <QUrl>
#include <memory>

namespace sonavert {

inline const QString kLinkRouterErrorDomain = QStringLiteral("LinkRouter");

/// Codes of the domain "LinkRouter": why a link was not opened.
enum class LinkErrorCode {
    NotALink = 1,         ///< the text is no URL
    NotInCatalog = 2,     ///< a catalog link whose song or station the catalog lacks
    NoShortcutsTool = 3,  ///< a Shortcut link, and no Shortcuts tool to run it
    OpenerNotStarted = 4, ///< the desktop's opener could not be started
    NoDesktop = 5,        ///< running headless: nothing can show the link
    NoShortcutNamed = 6,  ///< a Shortcut link that names no Shortcut
};
inline QString errorDomain(LinkErrorCode) {
    return kLinkRouterErrorDomain;
}

/// Hands a link to the desktop, which opens it in the user's application for it.
class DesktopLauncher {
public:
    virtual ~DesktopLauncher() = default;
    /// Returns once the hand-over happened (not when the application is done).
    virtual QCoro::Task<Status> openUrl(QUrl url) = 0;
};

/// The desktop's own opener: `xdg-open URL`, started and not waited for.
class XdgOpenLauncher final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl url) override;
};

/// Runs a Shortcut of the user's Shortcuts folder by name with a text input, and offers
/// Shortcut files to the user for adding to that folder.
class ShortcutsRunner {
public:
    virtual ~ShortcutsRunner() = default;
    virtual QCoro::Task<Status> runShortcut(QString name, QString input) = 0;
    /// Asks the user whether to add the Shortcut in the file at `path`; returns once asked.
    /// An error means nobody could be asked.
    virtual QCoro::Task<Status> importShortcut(QString path) = 0;
};

/// The one place a link is opened, as the desktop's "open this URL" would:
/// - catalog song and station links (`music://` on the catalog host, and the same links as
///   web links) are looked up in the catalog and started in the player;
/// - `shortcuts://run-shortcut?name=N&input=I` runs the Shortcut N with input I;
/// - a local `.shortcut` file is offered to the user through the Shortcuts runner, and goes
///   to the desktop launcher when the runner cannot ask (or there is none);
/// - anything else goes to the desktop launcher.
/// Errors are of the "LinkRouter" domain, or whatever the part that was asked reported.
class LinkRouter {
public:
    struct Parts {
        std::shared_ptr<TrackCatalog> catalog;
        std::shared_ptr<PlayerBackend> player;
        std::shared_ptr<ShortcutsRunner> shortcuts; ///< may be null: no Shortcuts tool
        std::shared_ptr<DesktopLauncher> desktop;
    };
    explicit LinkRouter(Parts parts);

    QCoro::Task<Status> open(QString link);

private:
    QCoro::Task<Status> playSong(QString id);
    QCoro::Task<Status> playStation(QString id);
    QCoro::Task<Status> runShortcut(QUrl url);
    QCoro::Task<Status> importShortcut(QUrl url);

    Parts m_parts;
};

} // namespace sonavert
