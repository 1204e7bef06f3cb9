#include "src/app/music_setup.h"

#include "src/account/account_keys.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/desktop/user_defaults.h"
#include "src/music/shortcuts_command_runner.h"
#include "src/music/shortcuts_command_tool.h"
#include "src/music/shortcuts_locations.h"
#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "src/player/simulated_player.h"
#include "src/player/station_list.h"
#include "src/runtime/log_channel.h"
#include "src/stream/following_music_service.h"
#include "src/stream/server_relay.h"
#include "src/stream/track_fetcher.h"
#include "src/stream/track_server.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>

namespace sonavert {

namespace {

// Without a desktop nothing can show a link to the user: say so (the failure is logged with
// the link, so the user can still act on it by hand) instead of starting a desktop opener.
class HeadlessLauncher final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl url) override {
        QString hint;
        if (url.isLocalFile() && url.path().endsWith(QLatin1String(".shortcut")))
            hint = QStringLiteral(" (add it with: sonavert-shortcuts import %1)")
                       .arg(url.toLocalFile());
        co_return makeError(LinkErrorCode::NoDesktop,
                            QStringLiteral("running headless, there is no desktop to open links") +
                                hint);
    }
};

std::shared_ptr<PlayerBackend> makePlayer(const AppOptions& options, std::shared_ptr<Clock> clock,
                                          std::shared_ptr<LocalCatalog> catalog,
                                          std::shared_ptr<const UserDefaults> settings) {
    if (options.playerName == QLatin1String("simulated"))
        return std::make_shared<SimulatedPlayer>(std::move(clock), std::move(catalog));
    MprisOptions mpris;
    mpris.playerName = options.playerName;
    mpris.settings = std::move(settings);
    if (!options.playerCommand.isEmpty()) {
        QStringList command = QProcess::splitCommand(options.playerCommand);
        mpris.launchProgram = command.takeFirst();
        mpris.launchArguments = command;
    }
    return std::make_shared<MprisPlayer>(QDBusConnection::sessionBus(), std::move(clock),
                                         std::move(catalog), mpris);
}

} // namespace

DeviceMusic::DeviceMusic(const AppOptions& options, const Profile& profile,
                         std::shared_ptr<Clock> clock, std::shared_ptr<UserDefaults> defaults,
                         QObject* parent)
    : QObject(parent)
    , m_simulatedTrack(options.playerName == QLatin1String("simulated") ? options.simulatedTrack
                                                                        : QString()) {
    const QStringList folders =
        options.libraryFolders.isEmpty() ? LibraryIndex::defaultFolders() : options.libraryFolders;
    m_library = std::make_shared<LibraryIndex>(LibraryIndex::indexFileIn(profile), folders);
    m_catalog = std::make_shared<LocalCatalog>(m_library,
                                               station_list::load(station_list::fileIn(profile)));
    std::shared_ptr<PlayerBackend> player = makePlayer(options, clock, m_catalog, defaults);
    const QString shortcutsProgram = locateShortcutsProgram();
    ShortcutsCommandRunner::Options runner{shortcutsProgram};
    std::shared_ptr<DesktopLauncher> desktop = std::make_shared<XdgOpenLauncher>();
    if (options.isHeadless) {
        runner.canAskInWindow = false;
        desktop = std::make_shared<HeadlessLauncher>();
    }
    m_stack = PlayerMusicStack::create(PlayerMusicStack::Parts{
        clock, player, m_catalog, std::make_shared<ShortcutsCommandTool>(shortcutsProgram, clock),
        std::make_shared<ShortcutsCommandRunner>(runner, clock), desktop, defaults,
        &locateBundledReceiverShortcut, developerLog});
    m_service = PlayerMusicStack::service(m_stack);
    startFollowing(clock, std::move(player), std::move(defaults));
}

// Serving this computer's songs and playing others' are extras: when either cannot start,
// songs still play from each computer's own copies. The server listens only once a song is
// offered, which the user's setting allows.
void DeviceMusic::startFollowing(std::shared_ptr<Clock> clock,
                                 std::shared_ptr<PlayerBackend> player,
                                 std::shared_ptr<UserDefaults> defaults) {
    m_clock = clock;
    const std::function<bool()> isSharing = [defaults] {
        return defaults->boolValue(stream::FollowingMusicService::kSharingKey).value_or(true);
    };
    if (auto identity = stream::makeEphemeralIdentity()) {
        stream::TrackServer::Options options;
        options.isAllowed = isSharing;
        m_trackServer = std::make_shared<stream::TrackServer>(clock, std::move(identity.value()),
                                                              std::move(options));
    } else {
        developerLog(identity.error().description);
    }
    m_trackFetcher = std::make_shared<stream::TrackFetcher>(clock);
    if (const Status listening = m_trackFetcher->listen(); !listening) {
        developerLog(listening.error().description);
        m_trackFetcher.reset();
    }
    m_following =
        std::make_shared<stream::FollowingMusicService>(stream::FollowingMusicService::Parts{
            m_service, std::move(player), m_catalog, std::move(clock), m_trackServer,
            m_trackFetcher, isSharing});
}

DeviceMusic::~DeviceMusic() = default;

void DeviceMusic::passThroughServer(std::shared_ptr<clouddb::HttpCloudDatabase> database,
                                    AccountKeys* keys) {
    // The relay's link outlives the keys at exit.
    const QPointer<AccountKeys> holder(keys);
    const stream::RelayLink link =
        stream::accountRelayLink(std::move(database), [holder]() -> std::optional<crypto::KeyRing> {
            return holder ? holder->keyRing() : std::nullopt;
        });
    if (m_trackFetcher)
        m_trackFetcher->passThroughServer(link);
    if (m_trackServer) {
        m_relaySource = std::make_unique<stream::RelaySource>(m_clock, m_trackServer, link);
        m_relaySource->start();
    }
}

QCoro::Task<> DeviceMusic::loadLibrary() {
    auto library = m_library;
    QElapsedTimer timer;
    timer.start();
    const Status loaded = co_await library->load();
    if (!loaded)
        developerLog(QStringLiteral("library: the cached index could not be read: %1")
                         .arg(loaded.error().description));
    developerLog(QStringLiteral("library: %1 tracks from the index of %2")
                     .arg(library->tracks().size())
                     .arg(library->folders().join(QStringLiteral(", "))));
    const auto scanned = co_await library->rescan();
    if (!scanned) {
        developerLog(QStringLiteral("library: scan failed: %1").arg(scanned.error().description));
        co_return;
    }
    const LibraryScanStats stats = scanned.value();
    if (!m_simulatedTrack.isEmpty()) {
        auto stack = m_stack;
        const TrackFilter byTitle{QString(m_simulatedTrack), std::nullopt};
        const QList<LibraryTrack> found = co_await stack->player().libraryTracks(byTitle);
        if (found.isEmpty()) {
            developerLog(
                QStringLiteral("simulated player: no track named %1").arg(m_simulatedTrack));
        } else {
            (void)co_await stack->player().playTrack(found.first());
            developerLog(QStringLiteral("simulated player: playing %1").arg(found.first().name));
        }
    }
    developerLog(QStringLiteral("library: %1 tracks (%2 read, %3 unchanged, %4 unreadable) in "
                                "%5 s")
                     .arg(library->tracks().size())
                     .arg(stats.filesRead)
                     .arg(stats.filesReused)
                     .arg(stats.filesFailed)
                     .arg(static_cast<double>(timer.elapsed()) / 1000.0, 0, 'f', 2));
}

} // namespace sonavert
