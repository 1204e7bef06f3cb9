// Handoffs between real players: for each source -> target pair of the players the tests run
// (each on a private session bus of its own, as on two computers), two devices composed as the
// app composes them (cloud service over one `sonavert-cloud` on loopback, push channel,
// coordinator, music service over the MPRIS backend) hand the song over N times. Each time the
// source first plays it from a random second. Figures per pair: push to playing (from
// `transfer(target)` on the source until the target's music service confirms the song playing,
// its `library=library_ok` line) and position error (where the target's player is at that
// moment minus where the source's was when the push began).
//
// Usage: bench_player_matrix [--handoffs N] [--pairs mpv:vlc,vlc:audacious,...] [--seed S]

#include "bench/clock_wait.h"
#include "src/app/mac_app_delegate.h"
#include "src/app/mac_background_coordinator.h"
#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/web_socket_push_channel.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/player/library_index.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"
#include "tests/support/player_machine.h"
#include "tests/support/process_harness.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <random>

using namespace sonavert;
using namespace std::chrono_literals;
using test::awaitTask;
using test::PlayerFixture;

using sonavert::bench::waitUntil;

namespace {

const QString kSong = QStringLiteral("Bench \"Song\" \\ Été");

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// One computer: a real player and the device over it.
struct Device {
    test::PlayerMachine machine;
    std::shared_ptr<SystemClock> clock = std::make_shared<SystemClock>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<MusicPlaybackService> music;
    std::unique_ptr<DeviceHandoffViewModel> coordinator;
    std::unique_ptr<MacBackgroundCoordinator> background;
    std::unique_ptr<clouddb::WebSocketPushChannel> channel;
    std::unique_ptr<MacAppDelegate> delegate;
    bool isConfirmed = false;

    explicit Device(PlayerFixture player)
        : machine(std::move(player)) {}
    ~Device() {
        if (coordinator)
            coordinator->stop();
        if (channel)
            channel->close();
    }

    bool start(const QString& name, std::shared_ptr<LocalCatalog> catalog, const QString& home,
               const clouddb::CloudEndpoint& endpoint) {
        QString reason;
        if (!machine.start(name, std::move(catalog), home, &reason, [this](const QString& line) {
                isConfirmed = isConfirmed || line.contains(QLatin1String("library=library_ok"));
            })) {
            std::printf("%s: %s\n", qPrintable(name), qPrintable(reason));
            return false;
        }
        auto service = std::make_shared<CloudKitHandoffService>(
            std::make_shared<clouddb::HttpCloudDatabase>(endpoint, clock), defaults, clock);
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        coordinator = std::make_unique<DeviceHandoffViewModel>(
            DeviceHandoffViewModel::Dependencies{
                machineService(), service, std::make_shared<DeviceRosterStore>(defaults), clock,
                NearbyDiscoveryFactory(), defaults, nullptr},
            DeviceHandoffViewModel::makeThisDevice(id, name, clock->now()), false);
        background = std::make_unique<MacBackgroundCoordinator>(*coordinator);
        coordinator->start();
        channel = std::make_unique<clouddb::WebSocketPushChannel>(endpoint, clock);
        delegate = std::make_unique<MacAppDelegate>(channel.get(), background.get(), clock);
        delegate->registerForRemoteNotifications(static_cast<int>(endpoint.token.size()));
        return true;
    }

    // The coordinator shares the machine's service without owning the machine.
    std::shared_ptr<MusicPlaybackService> machineService() {
        return std::shared_ptr<MusicPlaybackService>(std::shared_ptr<void>(), &machine.service());
    }

    std::optional<AppDevice> online(const QString& peer) const {
        for (const AppDevice& device : coordinator->devices())
            if (device.name == peer && device.presence == DevicePresence::Online)
                return device;
        return std::nullopt;
    }
};

struct PairFigures {
    std::vector<double> pushToPlaying, positionError;
    int failures = 0;
};

// One handoff: the source plays the song from `from` seconds, then pushes it to the target.
bool handOff(Device& source, Device& target, const AppDevice& row, double from,
             PairFigures* figures) {
    test::PlayerMachine& player = source.machine;
    const QList<LibraryTrack> songs =
        awaitTask(player.player().libraryTracks(TrackFilter{kSong, std::nullopt}));
    if (songs.isEmpty() || !awaitTask(player.player().playTrack(songs.first())).ok() ||
        !player.awaitPlaying(kSong) || !awaitTask(player.player().setPlayerPosition(from)).ok())
        return false;
    target.isConfirmed = false;
    const Result<NowPlaying> before = awaitTask(player.player().nowPlaying());
    const Duration begin = source.clock->monotonicNow();
    QCoro::waitFor(source.coordinator->transfer(row));
    if (!before.ok() || source.coordinator->transferError())
        return false;
    if (!awaitTask(waitUntil(
            source.clock, [&] { return target.isConfirmed; }, 20s)))
        return false;
    const Duration confirmed = source.clock->monotonicNow();
    const Result<NowPlaying> landed = awaitTask(target.machine.player().nowPlaying());
    if (!landed.ok() || !landed.value().track || landed.value().track->name != kSong)
        return false;
    figures->pushToPlaying.push_back(std::chrono::duration<double>(confirmed - begin).count());
    figures->positionError.push_back(landed.value().position - before.value().position);
    // The target republishes its presence before the next push.
    awaitTask(waitUntil(
        source.clock, [&] { return !target.coordinator->activityLabel(); }, 20s));
    return true;
}

PairFigures runPair(const PlayerFixture& from, const PlayerFixture& to,
                    std::shared_ptr<LocalCatalog> catalog, const clouddb::CloudEndpoint& endpoint,
                    const QString& scratch, int handoffs, std::mt19937* random) {
    PairFigures figures;
    Device source(from);
    Device target(to);
    const QString sourceName = QStringLiteral("Source ") + from.name;
    const QString targetName = QStringLiteral("Target ") + to.name;
    if (!source.start(sourceName, catalog, scratch + QStringLiteral("/source-home"), endpoint) ||
        !target.start(targetName, catalog, scratch + QStringLiteral("/target-home"), endpoint)) {
        figures.failures = handoffs;
        return figures;
    }
    source.machine.host().shareWithPlayer(scratch + QStringLiteral("/Music"));
    target.machine.host().shareWithPlayer(scratch + QStringLiteral("/Music"));
    if (!awaitTask(waitUntil(
            source.clock, [&] { return source.online(targetName) && target.online(sourceName); },
            30s))) {
        figures.failures = handoffs;
        return figures;
    }
    std::uniform_real_distribution<double> position(10.0, 200.0);
    for (int i = 0; i < handoffs; ++i) {
        if (!handOff(source, target, *source.online(targetName), position(*random), &figures))
            ++figures.failures;
    }
    return figures;
}

QList<std::pair<PlayerFixture, PlayerFixture>> pairsFrom(const QString& text) {
    QList<std::pair<PlayerFixture, PlayerFixture>> pairs;
    for (const PlayerFixture& a : PlayerFixture::all())
        for (const PlayerFixture& b : PlayerFixture::all())
            if (text.isEmpty() || text.split(QLatin1Char(',')).contains(a.name + u':' + b.name))
                pairs.append({a, b});
    return pairs;
}

QString option(const QStringList& arguments, const QString& name, const QString& fallback) {
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int handoffs =
        option(arguments, QStringLiteral("--handoffs"), QStringLiteral("20")).toInt();
    std::mt19937 random(option(arguments, QStringLiteral("--seed"), QStringLiteral("1")).toUInt());
    const CapturingLogSink silence; // the coordinators' events would drown the figures
    test::CloudServerProcess server(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
    QTemporaryDir scratch;
    const QString music = scratch.filePath(QStringLiteral("Music"));
    QDir().mkpath(music);
    if (!server.isRunning() ||
        !test::AudioFixtures::make(music + QStringLiteral("/bench.flac"), 240,
                                   {QStringLiteral("TITLE=") + kSong,
                                    QStringLiteral("ARTIST=Bench Ärtist"),
                                    QStringLiteral("ALBUM=Bench")})) {
        std::printf("cannot set up: sonavert-cloud or the audio tools are missing\n");
        return 1;
    }
    auto index = std::make_shared<LibraryIndex>(scratch.filePath(QStringLiteral("index.json")),
                                                QStringList{music});
    (void)awaitTask(index->rescan());
    auto catalog = std::make_shared<LocalCatalog>(index, QList<RadioStation>{});
    std::printf("%d handoffs per pair; figures are medians (p50)\n", handoffs);
    std::printf("| Source | Target | Handoffs | Push to playing p50 | Position error p50 | "
                "|error| max |\n|---|---|---|---|---|---|\n");
    int failed = 0;
    for (const auto& [from, to] : pairsFrom(option(arguments, QStringLiteral("--pairs"), {}))) {
        const QString skip = from.skipReason().isEmpty() ? to.skipReason() : from.skipReason();
        if (!skip.isEmpty()) {
            std::printf("| %s | %s | skipped: %s |\n", qPrintable(from.name), qPrintable(to.name),
                        qPrintable(skip));
            continue;
        }
        const clouddb::CloudEndpoint endpoint{
            QUrl(server.url()), server.addAccount(from.name + QStringLiteral("to") + to.name),
            QString::fromLatin1(app_identity::kContainerIdentifier), QStringLiteral("production")};
        const PairFigures f =
            runPair(from, to, catalog, endpoint, scratch.path(), handoffs, &random);
        std::vector<double> absolute;
        for (const double e : f.positionError)
            absolute.push_back(std::abs(e));
        std::printf("| %s | %s | %zu of %d | %.3f s | %+.3f s | %.3f s |\n", qPrintable(from.name),
                    qPrintable(to.name), f.pushToPlaying.size(), handoffs, median(f.pushToPlaying),
                    median(f.positionError),
                    absolute.empty() ? 0.0 : *std::max_element(absolute.begin(), absolute.end()));
        std::fflush(stdout);
        failed += f.failures;
    }
    return failed == 0 ? 0 : 1;
}
