#pragma once

// A whole device in one process under virtual time: its cloud service over a shared in-memory
// cloud, its coordinator, its push channel waking background passes, and its music service
// over a silent simulated player. Its user defaults outlive a stop, as a profile does.

#include "src/app/mac_app_delegate.h"
#include "src/app/mac_background_coordinator.h"
#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/clouddb/in_memory_cloud.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/music/player_music_stack.h"
#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/shortcuts_doubles.h"

#include <QTest>

namespace sonavert::test {

using namespace std::chrono_literals;

// A player that runs but takes no track: every way of opening one is refused.
class RefusingPlayer final : public PlayerBackend {
public:
    explicit RefusingPlayer(std::shared_ptr<SimulatedPlayer> player)
        : m_player(std::move(player)) {}

    QCoro::Task<bool> isRunning() override { return m_player->isRunning(); }
    QCoro::Task<Status> activate() override { return m_player->activate(); }
    QCoro::Task<Result<NowPlaying>> nowPlaying() override { return m_player->nowPlaying(); }
    QCoro::Task<Status> setPlayerPosition(double s) override {
        return m_player->setPlayerPosition(s);
    }
    QCoro::Task<Status> play() override { return m_player->play(); }
    QCoro::Task<Status> playTrack(LibraryTrack) override { co_return refusal(); }
    QCoro::Task<Status> pause() override { return m_player->pause(); }
    QCoro::Task<Status> stop() override { return m_player->stop(); }
    QCoro::Task<Status> openLocation(QString) override { co_return refusal(); }
    QCoro::Task<QList<LibraryTrack>> libraryTracks(TrackFilter filter) override {
        return m_player->libraryTracks(std::move(filter));
    }

private:
    static Status refusal() {
        return makeError(QStringLiteral("Player"), 3,
                         QStringLiteral("The player cannot open locations."));
    }
    std::shared_ptr<SimulatedPlayer> m_player;
};

inline LibraryTrack song(const QString& name) {
    return {name,
            QStringLiteral("Miles Davis"),
            QStringLiteral("Kind of Blue"),
            600.0,
            QStringLiteral("file:///music/") + name + QStringLiteral(".flac"),
            {}};
}

inline const QList<LibraryTrack> kLibrary{song(QStringLiteral("So What")),
                                          song(QStringLiteral("Blue in Green"))};

struct InProcessDevice {
    QString id;
    QString name;
    std::shared_ptr<VirtualClock> clock;
    std::shared_ptr<clouddb::InMemoryCloud> cloud;
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<SimulatedPlayer> player;
    std::shared_ptr<MusicPlaybackService> music;
    std::unique_ptr<DeviceHandoffViewModel> coordinator;
    std::unique_ptr<MacBackgroundCoordinator> background;
    std::unique_ptr<clouddb::PushChannel> channel;
    std::unique_ptr<MacAppDelegate> delegate;
    std::shared_ptr<clouddb::InMemoryCloudDatabase> database; ///< this run's in-memory connection
    std::weak_ptr<clouddb::CloudDatabase> remoteDatabase;     ///< a real server's client, if any

    InProcessDevice(QString deviceID, QString deviceName, std::shared_ptr<VirtualClock> sharedClock,
                    std::shared_ptr<clouddb::InMemoryCloud> sharedCloud, QList<LibraryTrack> tracks,
                    bool refusesToOpen = false)
        : id(std::move(deviceID))
        , name(std::move(deviceName))
        , clock(std::move(sharedClock))
        , cloud(std::move(sharedCloud)) {
        auto catalog = std::make_shared<LocalCatalog>(
            std::make_shared<StaticTrackLibrary>(std::move(tracks)), QList<RadioStation>{});
        player = std::make_shared<SimulatedPlayer>(clock, catalog);
        std::shared_ptr<PlayerBackend> backend = player;
        if (refusesToOpen)
            backend = std::make_shared<RefusingPlayer>(player);
        music = PlayerMusicStack::service(PlayerMusicStack::create(PlayerMusicStack::Parts{
            clock, backend, catalog, std::make_shared<test::NoShortcutsTool>(), nullptr,
            std::make_shared<NoDesktop>(), defaults, [] { return std::optional<QString>(); },
            [](const QString&) {}}));
    }

    ~InProcessDevice() { stop(); }

    void start() {
        database = cloud->connect(QStringLiteral("user"));
        startOn(database,
                std::make_unique<clouddb::InMemoryPushChannel>(cloud, QStringLiteral("user")));
    }

    /// Starts on another cloud: a real server's database client and push channel.
    void startOn(std::shared_ptr<clouddb::CloudDatabase> cloudDatabase,
                 std::unique_ptr<clouddb::PushChannel> pushChannel) {
        if (cloudDatabase != database)
            remoteDatabase = cloudDatabase;
        auto handoff =
            std::make_shared<CloudKitHandoffService>(std::move(cloudDatabase), defaults, clock);
        coordinator = std::make_unique<DeviceHandoffViewModel>(
            DeviceHandoffViewModel::Dependencies{music,
                                                 handoff,
                                                 std::make_shared<DeviceRosterStore>(defaults),
                                                 clock,
                                                 {},
                                                 defaults,
                                                 nullptr},
            DeviceHandoffViewModel::makeThisDevice(id, name, clock->now()), false);
        background = std::make_unique<MacBackgroundCoordinator>(*coordinator);
        coordinator->start();
        channel = std::move(pushChannel);
        delegate = std::make_unique<MacAppDelegate>(channel.get(), background.get(), clock);
        delegate->registerForRemoteNotifications(8);
    }

    // Quits as the app does: the offline mark is sent before the device goes away.
    void stop() {
        if (!coordinator)
            return;
        channel->close();
        QCoro::Task<> shutdown = coordinator->shutdown();
        clock->runUntil([&] { return shutdown.isReady(); }, 10s);
        delegate.reset();
        channel.reset();
        background.reset();
        coordinator.reset();
        VirtualClock::drainEvents();
        awaitRemoteRequests();
    }

    // A real server's client lives as long as a request of it is on the wire, and virtual time
    // does not end those: the offline mark may still be waiting for its answer. Left running,
    // it would meet the server's shutdown while the process exits, on the network thread.
    void awaitRemoteRequests() {
        if (remoteDatabase.expired())
            return;
        QVERIFY2(QTest::qWaitFor([this] { return remoteDatabase.expired(); }, 30000),
                 "a request to the server did not end");
    }

    // Ends as a killed process does: no offline mark, and whatever was under way is dropped
    // where it stands (work already handed to the cloud service may still finish).
    void kill() {
        if (!coordinator)
            return;
        channel->close();
        delegate.reset();
        channel.reset();
        background.reset();
        coordinator.reset();
        VirtualClock::drainEvents();
        awaitRemoteRequests();
    }

    std::optional<AppDevice> peer(const QString& peerName) const {
        for (const AppDevice& device : coordinator->devices())
            if (device.name == peerName)
                return device;
        return std::nullopt;
    }
    bool seesOnline(const QString& peerName) const {
        const auto device = peer(peerName);
        return device && device->presence == DevicePresence::Online;
    }
    bool plays(const QString& title) const {
        const NowPlaying now = player->snapshot();
        return now.state == PlayerState::Playing && now.track && now.track->name == title;
    }
    void playNow(const QString& title) {
        for (const LibraryTrack& track : kLibrary)
            if (track.name == title)
                player->playTrack(track);
        VirtualClock::drainEvents();
    }
};

} // namespace sonavert::test
