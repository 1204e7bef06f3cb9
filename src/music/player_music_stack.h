#pragma once

#include "src/music/music_playback_service.h"
#include "src/music/player_adapters.h"
#include "src/music/tessary_receiver_installer.h"

#include <memory>

namespace sonavert {

class Clock;
class UserDefaults;

/// The music service of a device over a real (or simulated) player and this device's catalog,
/// with everything between them: the "Music" dictionary, the consenting catalog, the one link
/// router and the receiver installer. It owns all of it, so one shared pointer keeps the whole
/// chain alive for as long as a call runs.
class PlayerMusicStack {
public:
    struct Parts {
        std::shared_ptr<Clock> clock;
        std::shared_ptr<PlayerBackend> player;
        std::shared_ptr<TrackCatalog> catalog;
        std::shared_ptr<ShortcutsTool> shortcutsTool;
        std::shared_ptr<ShortcutsRunner> shortcutsRunner; ///< may be null: no Shortcuts tool
        std::shared_ptr<DesktopLauncher> desktop;
        std::shared_ptr<UserDefaults> defaults;
        TessaryReceiverInstaller::ResourceLocator locateReceiverShortcut;
        DeveloperLineWriter writeLine;
    };

    static std::shared_ptr<PlayerMusicStack> create(Parts parts);

    /// The service, sharing ownership of the whole stack.
    static std::shared_ptr<MusicPlaybackService> service(std::shared_ptr<PlayerMusicStack> stack);

    TessaryReceiverInstaller& installer() { return m_installer; }
    ShortcutsTool& shortcutsTool() { return *m_parts.shortcutsTool; }
    PlayerBackend& player() { return *m_parts.player; }

    explicit PlayerMusicStack(Parts parts);

private:
    Parts m_parts;
    PlayerMusicApplication m_music;
    ConsentingMusicCatalog m_catalog;
    RoutedLinkOpener m_links;
    TessaryReceiverInstaller m_installer;
    MusicPlaybackService m_service;
};

} // namespace sonavert
