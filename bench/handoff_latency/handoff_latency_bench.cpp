// Handoff latency between two devices on one real `sonavert-cloud` (loopback, SQLite): the
// time from `transfer(target)` on the sender until the target's music service has confirmed
// the song playing, alternating direction. Each device is composed as the app composes it
// (HTTP cloud database, cloud service, coordinator, music service over a silent simulated
// player on the system clock), once woken by the push channel and once by polling only. The
// floor of the same run is printed too: one record save and one lookup through the same
// client, and the simulated player's own start.
//
// The tail matters as much as the middle: a notification that lands while the receiver's own
// 2-second check is fetching must not wait for the next check, so p99.9 is printed too (run
// 1,000 handoffs or more for it to mean anything).
//
// Usage: bench_handoff_latency [--handoffs N] [--cloud PATH] [--seed S] [--quiet-log]
//                              [--mode both|notifications|polling]

#include "bench/clock_wait.h"
#include "src/app/mac_app_delegate.h"
#include "src/app/mac_background_coordinator.h"
#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/web_socket_push_channel.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/music/player_music_stack.h"
#include "src/player/library_track.h"
#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"
#include "tests/support/await_task.h"
#include "tests/support/process_harness.h"
#include "tests/support/shortcuts_doubles.h"

#include <QCoreApplication>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <random>

using namespace sonavert;
using test::awaitTask;

using sonavert::bench::waitUntil;

namespace {

const QString kResuming = QStringLiteral("Resuming playback\u2026");

double millis(Duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values.at(index);
}

void report(const char* name, const std::vector<double>& ms) {
    if (ms.empty()) {
        std::printf("%-36s no samples\n", name);
        return;
    }
    std::printf("%-36s n=%-4zu p50 %8.1f ms  p90 %8.1f ms  p99 %8.1f ms  p99.9 %8.1f ms  max "
                "%8.1f ms  over 1 s: %td\n",
                name, ms.size(), percentile(ms, 0.5), percentile(ms, 0.9), percentile(ms, 0.99),
                percentile(ms, 0.999), *std::max_element(ms.begin(), ms.end()),
                std::count_if(ms.begin(), ms.end(), [](double v) { return v > 1000.0; }));
}

// Nothing leaves the machine: a link the player cannot take is dropped.
class NoDesktop final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl) override { co_return Status(); }
};

// The simulated player, noting the moment a library track starts playing.
class StampingPlayer final : public PlayerBackend {
public:
    StampingPlayer(std::shared_ptr<SimulatedPlayer> player, std::function<void()> started)
        : m_player(std::move(player))
        , m_started(std::move(started)) {}

    QCoro::Task<bool> isRunning() override { return m_player->isRunning(); }
    QCoro::Task<Status> activate() override { return m_player->activate(); }
    QCoro::Task<Result<NowPlaying>> nowPlaying() override { return m_player->nowPlaying(); }
    QCoro::Task<Status> setPlayerPosition(double s) override {
        return m_player->setPlayerPosition(s);
    }
    QCoro::Task<Status> play() override { return m_player->play(); }
    QCoro::Task<Status> playTrack(LibraryTrack track) override {
        auto player = m_player;
        auto playing = player->playTrack(std::move(track));
        const Status status = co_await std::move(playing);
        if (status && player->snapshot().state == PlayerState::Playing)
            m_started();
        co_return status;
    }
    QCoro::Task<Status> pause() override { return m_player->pause(); }
    QCoro::Task<Status> stop() override { return m_player->stop(); }
    QCoro::Task<Status> openLocation(QString url) override {
        return m_player->openLocation(std::move(url));
    }
    QCoro::Task<QList<LibraryTrack>> libraryTracks(TrackFilter filter) override {
        return m_player->libraryTracks(std::move(filter));
    }

private:
    std::shared_ptr<SimulatedPlayer> m_player;
    std::function<void()> m_started;
};

// When each step of one handoff was seen on the receiving device.
struct Stamps {
    std::optional<Duration> notified;  ///< first push notification
    std::optional<Duration> fetched;   ///< the command was taken ("Resuming playback…")
    std::optional<Duration> started;   ///< the player plays the track
    std::optional<Duration> confirmed; ///< the music service confirmed it
    bool hasFailed = false;
};

struct Device {
    QString name;
    std::shared_ptr<SystemClock> clock;
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<SimulatedPlayer> simulated;
    std::shared_ptr<MusicPlaybackService> music;
    std::unique_ptr<DeviceHandoffViewModel> coordinator;
    std::unique_ptr<MacBackgroundCoordinator> background;
    std::unique_ptr<clouddb::WebSocketPushChannel> channel;
    std::unique_ptr<MacAppDelegate> delegate;
    Stamps stamps;

    Device(QString deviceName, std::shared_ptr<SystemClock> systemClock,
           std::shared_ptr<LocalCatalog> catalog, const clouddb::CloudEndpoint& endpoint,
           bool withPush)
        : name(std::move(deviceName))
        , clock(std::move(systemClock)) {
        simulated = std::make_shared<SimulatedPlayer>(clock, catalog);
        auto player =
            std::make_shared<StampingPlayer>(simulated, [this] { stamp(&Stamps::started); });
        music = PlayerMusicStack::service(PlayerMusicStack::create(PlayerMusicStack::Parts{
            clock, player, catalog, std::make_shared<test::NoShortcutsTool>(), nullptr,
            std::make_shared<NoDesktop>(), defaults, [] { return std::optional<QString>(); },
            [this](const QString& line) { noteLine(line); }}));
        auto service = std::make_shared<CloudKitHandoffService>(
            std::make_shared<clouddb::HttpCloudDatabase>(endpoint, clock), defaults, clock);
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        coordinator = std::make_unique<DeviceHandoffViewModel>(
            DeviceHandoffViewModel::Dependencies{
                music, service, std::make_shared<DeviceRosterStore>(defaults), clock,
                NearbyDiscoveryFactory(), defaults, nullptr},
            DeviceHandoffViewModel::makeThisDevice(id, name, clock->now()), false);
        QObject::connect(coordinator.get(), &DeviceHandoffViewModel::activityLabelChanged, [this] {
            if (coordinator->activityLabel() == kResuming)
                stamp(&Stamps::fetched);
        });
        background = std::make_unique<MacBackgroundCoordinator>(*coordinator);
        coordinator->start();
        if (!withPush)
            return;
        channel = std::make_unique<clouddb::WebSocketPushChannel>(endpoint, clock);
        QObject::connect(channel.get(), &clouddb::PushChannel::notificationReceived,
                         [this] { stamp(&Stamps::notified); });
        delegate = std::make_unique<MacAppDelegate>(channel.get(), background.get(), clock);
        delegate->registerForRemoteNotifications(static_cast<int>(endpoint.token.size()));
    }

    ~Device() {
        if (channel)
            channel->close();
    }

    void stamp(std::optional<Duration> Stamps::*field) {
        if (!(stamps.*field))
            stamps.*field = clock->monotonicNow();
    }

    void noteLine(const QString& line) {
        if (line.contains(QLatin1String("library=library_ok")) ||
            line.contains(QLatin1String("playing_match")))
            stamp(&Stamps::confirmed);
        else if (line.contains(QLatin1String("library=")))
            stamps.hasFailed = true; // the library route missed: the bench set-up is wrong
    }

    std::optional<AppDevice> peerRow(const QString& peerName) const {
        for (const AppDevice& device : coordinator->devices())
            if (device.name == peerName)
                return device;
        return std::nullopt;
    }

    bool seesOnline(const QString& peerName) const {
        const auto row = peerRow(peerName);
        return row && row->presence == DevicePresence::Online;
    }
};

struct ModeFigures {
    std::vector<double> total, send, wake, fetch, start, confirm;
    int failures = 0;
};

// Handoffs alternating A→B and B→A, each after a random pause so the senders' moments fall
// anywhere in the receivers' 2-second command loop.
QCoro::Task<ModeFigures> runHandoffs(std::shared_ptr<SystemClock> clock, Device* a, Device* b,
                                     int count, unsigned seed) {
    ModeFigures figures;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pauseMs(200, 2200);
    for (int i = 0; i < count; ++i) {
        Device* sender = i % 2 == 0 ? a : b;
        Device* target = i % 2 == 0 ? b : a;
        co_await clock->sleep(std::chrono::milliseconds(pauseMs(random)));
        const std::optional<AppDevice> row = sender->peerRow(target->name);
        if (!row) {
            ++figures.failures;
            continue;
        }
        target->stamps = Stamps{};
        const Duration begin = clock->monotonicNow();
        auto transfer = sender->coordinator->transfer(*row);
        co_await std::move(transfer);
        const Duration sent = clock->monotonicNow();
        if (sender->coordinator->transferError()) {
            std::printf("handoff %d: %s\n", i, qPrintable(*sender->coordinator->transferError()));
            ++figures.failures;
            continue;
        }
        auto confirmation = waitUntil(
            clock, [target] { return target->stamps.confirmed || target->stamps.hasFailed; }, 20s);
        const bool isConfirmed = co_await std::move(confirmation);
        const Stamps s = target->stamps;
        if (!isConfirmed || !s.confirmed || !s.fetched || !s.started) {
            std::printf("handoff %d (%s to %s) was not confirmed\n", i, qPrintable(sender->name),
                        qPrintable(target->name));
            ++figures.failures;
            continue;
        }
        figures.total.push_back(millis(*s.confirmed - begin));
        figures.send.push_back(millis(sent - begin));
        if (s.notified) {
            figures.wake.push_back(millis(*s.notified - sent));
            figures.fetch.push_back(millis(*s.fetched - *s.notified));
        } else {
            figures.wake.push_back(millis(*s.fetched - sent)); // the command loop's turn
        }
        figures.start.push_back(millis(*s.started - *s.fetched));
        figures.confirm.push_back(millis(*s.confirmed - *s.started));
        // The receiver republishes its presence before the next handoff goes the other way.
        auto settled = waitUntil(
            clock, [target] { return !target->coordinator->activityLabel(); }, 20s);
        co_await std::move(settled);
    }
    co_return figures;
}

QCoro::Task<int> runMode(const char* label, std::shared_ptr<SystemClock> clock,
                         std::shared_ptr<LocalCatalog> catalog, clouddb::CloudEndpoint endpoint,
                         bool withPush, int count, unsigned seed) {
    Device a(QStringLiteral("Bench A"), clock, catalog, endpoint, withPush);
    Device b(QStringLiteral("Bench B"), clock, catalog, endpoint, withPush);
    auto meeting = waitUntil(
        clock,
        [&] {
            return a.seesOnline(b.name) && b.seesOnline(a.name) &&
                   (!withPush || (a.channel->isConnected() && b.channel->isConnected()));
        },
        30s);
    if (!co_await std::move(meeting)) {
        std::printf("%s: the devices never saw each other online\n", label);
        co_return 1;
    }
    const LibraryTrack song = catalog->tracks().first();
    auto firstPlay = a.simulated->playTrack(song);
    (void)co_await std::move(firstPlay);
    co_await clock->sleep(2500ms); // A's playback loop has sampled the song
    auto handoffs = runHandoffs(clock, &a, &b, count, seed);
    const ModeFigures f = co_await std::move(handoffs);
    std::printf("\n%s: %zu handoffs confirmed, %d failed\n", label, f.total.size(), f.failures);
    report("  transfer to confirmed playing", f.total);
    report("  . transfer() (capture + save)", f.send);
    report(withPush ? "  . save done to notification" : "  . save done to command taken", f.wake);
    if (withPush)
        report("  . notification to command taken", f.fetch);
    report("  . command taken to player playing", f.start);
    report("  . player playing to confirmed", f.confirm);
    a.coordinator->stop();
    b.coordinator->stop();
    co_return f.failures == 0 ? 0 : 1;
}

QCoro::Task<> measureFloor(std::shared_ptr<SystemClock> clock,
                           std::shared_ptr<LocalCatalog> catalog, clouddb::CloudEndpoint endpoint) {
    clouddb::HttpCloudDatabase client(endpoint, clock);
    clouddb::CloudDatabase& database = client; // its calls as the cloud service makes them
    std::vector<double> roundTrips;
    for (int i = 0; i < 105; ++i) {
        // Paced under the server's per-token rate limit: this is latency, not throughput.
        co_await clock->sleep(150ms);
        clouddb::CloudRecord record{QStringLiteral("bench_probe"),
                                    QStringLiteral("BenchProbe"),
                                    {},
                                    std::nullopt,
                                    std::nullopt};
        record.fields.insert(QStringLiteral("n"), clouddb::FieldValue(qint64(i)));
        QList<clouddb::RecordSave> saves;
        saves.append(clouddb::RecordSave{record, {}});
        const QStringList names(QStringLiteral("bench_probe"));
        const Duration begin = clock->monotonicNow();
        auto saving = database.modifyRecords(clouddb::kDefaultZone, saves, QStringList(),
                                             clouddb::SavePolicy::AllKeys);
        const clouddb::ModifyResult saved = co_await std::move(saving);
        auto lookup = database.fetchRecords(clouddb::kDefaultZone, names);
        const auto found = co_await std::move(lookup);
        if (!saved.overall || !found) {
            const Error error = !saved.overall ? saved.overall.error() : found.error();
            std::printf("floor: the record round trip failed: %s\n", qPrintable(error.description));
            co_return;
        }
        if (i >= 5) // the first requests open the connection
            roundTrips.push_back(millis(clock->monotonicNow() - begin));
    }
    std::vector<double> starts;
    SimulatedPlayer player(clock, catalog);
    const LibraryTrack song = catalog->tracks().first();
    for (int i = 0; i < 100; ++i) {
        (void)co_await player.stop();
        const Duration begin = clock->monotonicNow();
        auto starting = player.playTrack(song);
        (void)co_await std::move(starting);
        if (player.snapshot().state == PlayerState::Playing)
            starts.push_back(millis(clock->monotonicNow() - begin));
    }
    std::printf("\nfloor\n");
    report("  record save + lookup", roundTrips);
    report("  simulated player start", starts);
}

int value(const QStringList& arguments, const QString& name, int fallback) {
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : fallback;
}

LibraryTrack track(const QString& name, const QString& artist) {
    return LibraryTrack{name,
                        artist,
                        QStringLiteral("Bench Album"),
                        3600.0,
                        QStringLiteral("file:///bench/") + name + QStringLiteral(".flac"),
                        {}};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int handoffs = value(arguments, QStringLiteral("--handoffs"), 60);
    const auto seed = static_cast<unsigned>(value(arguments, QStringLiteral("--seed"), 1));
    const qsizetype cloudAt = arguments.indexOf(QStringLiteral("--cloud"));
    const QString cloudProgram = cloudAt >= 0 && cloudAt + 1 < arguments.size()
                                     ? arguments.at(cloudAt + 1)
                                     : QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);
    // The coordinators' events would drown the figures; keep them unless asked.
    std::optional<CapturingLogSink> silence;
    if (arguments.contains(QStringLiteral("--quiet-log")))
        silence.emplace();

    test::CloudServerProcess server(cloudProgram);
    if (!server.isRunning()) {
        std::printf("sonavert-cloud could not be started (%s)\n", qPrintable(cloudProgram));
        return 1;
    }
    auto library = std::make_shared<StaticTrackLibrary>(
        QList<LibraryTrack>{track(QStringLiteral("Long Song"), QStringLiteral("Bench Artist")),
                            track(QStringLiteral("Other Song"), QStringLiteral("Bench Artist"))});
    auto catalog = std::make_shared<LocalCatalog>(library, QList<RadioStation>{});
    auto clock = std::make_shared<SystemClock>();
    auto endpointFor = [&](const QString& token) {
        return clouddb::CloudEndpoint{QUrl(server.url()), token,
                                      QString::fromLatin1(app_identity::kContainerIdentifier),
                                      QStringLiteral("production")};
    };
    const qsizetype modeAt = arguments.indexOf(QStringLiteral("--mode"));
    const QString mode = modeAt >= 0 && modeAt + 1 < arguments.size() ? arguments.at(modeAt + 1)
                                                                      : QStringLiteral("both");
    std::printf("server %s, %d handoffs per mode\n", qPrintable(server.url()), handoffs);
    int failed = 0;
    if (mode != QLatin1String("polling"))
        failed += awaitTask(runMode("with notifications", clock, catalog,
                                    endpointFor(server.addAccount(QStringLiteral("push"))), true,
                                    handoffs, seed));
    if (mode != QLatin1String("notifications"))
        failed += awaitTask(runMode("polling only", clock, catalog,
                                    endpointFor(server.addAccount(QStringLiteral("polling"))),
                                    false, handoffs, seed + 1));
    QCoro::waitFor(measureFloor(clock, catalog, endpointFor(server.token())));
    return failed == 0 ? 0 : 1;
}
