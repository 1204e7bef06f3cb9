#include "tools/sonavert-shortcuts/play_song.h"

#include "src/desktop/user_defaults.h"
#include "src/player/catalog_links.h"
#include "src/player/library_index.h"
#include "src/player/link_router.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "src/player/station_list.h"

namespace sonavert::shortcuts {

namespace {

/// A song identifier that does not make a catalog link would otherwise reach the desktop as a
/// web link; this action starts songs and nothing else.
Error notASongLink(const QUrl& url) {
    return Error{QStringLiteral("PlaySong"),
                 1,
                 QStringLiteral("Not a catalog song link: ") + url.toString(),
                 {},
                 {},
                 {}};
}

class NoDesktopLauncher final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl url) override { co_return notASongLink(url); }
};

Profile profileOf(const PlaySongCommand& command) {
    return command.profileDirectory ? Profile::inDirectory(*command.profileDirectory)
                                    : Profile::standard();
}

QStringList foldersOf(const PlaySongCommand& command) {
    return command.musicFolders.isEmpty() ? LibraryIndex::defaultFolders() : command.musicFolders;
}

std::unique_ptr<LinkRouter> songRouter(std::shared_ptr<LocalCatalog> catalog,
                                       std::shared_ptr<PlayerBackend> player) {
    return std::make_unique<LinkRouter>(LinkRouter::Parts{
        std::move(catalog), std::move(player), nullptr, std::make_shared<NoDesktopLauncher>()});
}

std::shared_ptr<MprisPlayer> playerFor(const PlaySongCommand& command, QDBusConnection bus,
                                       std::shared_ptr<Clock> clock,
                                       std::shared_ptr<const TrackLibrary> library) {
    MprisOptions options;
    options.playerName = command.playerName;
    // The app's own settings: a player's open command the user chose applies here too.
    options.settings = std::make_shared<SettingsUserDefaults>(profileOf(command).defaultsFile());
    return std::make_shared<MprisPlayer>(std::move(bus), std::move(clock), std::move(library),
                                         std::move(options));
}

} // namespace

QCoro::Task<Status> playSong(PlaySongCommand command, std::shared_ptr<Clock> clock,
                             QDBusConnection bus) {
    const Profile profile = profileOf(command);
    auto index =
        std::make_shared<LibraryIndex>(LibraryIndex::indexFileIn(profile), foldersOf(command));
    auto catalog =
        std::make_shared<LocalCatalog>(index, station_list::load(station_list::fileIn(profile)));
    // The saved index is enough for a song the app has seen; a new file needs a look at the
    // folders (incremental: only new and changed files are read). An unreadable index is
    // rebuilt by that rescan.
    const Status loaded = co_await index->load();
    if (!loaded || !catalog->songWithId(command.songId)) {
        const Result<LibraryScanStats> scanned = co_await index->rescan();
        if (!scanned)
            co_return scanned.error();
    }
    const std::unique_ptr<LinkRouter> router =
        songRouter(catalog, playerFor(command, bus, clock, catalog));
    const QString link = songWebLink(command.songId);
    co_return co_await router->open(link);
}

} // namespace sonavert::shortcuts
