// Handoffs on a bad day: pushes back and forth between two devices on one real `sonavert-cloud`
// (loopback, SQLite) while the server is killed and restarted (0.5-3 s later) or frozen
// (SIGSTOP) for 2-10 s, in both cases 0-5 ms after the sender began its save, or the
// receiving device is killed 0-0.6 s after the push was acknowledged and started again. Each device
// is composed as the app composes it (HTTP cloud database, cloud service, coordinator, push
// channel, music service over a silent simulated player on the system clock); a killed device loses
// its app part without a goodbye, while its player (a program of its own) and its profile stay.
//
// Per push: whether the sender reported it done, whether and how often the target started it,
// where the target started it against where the sender stopped, and how long after the fault
// ended the song played on the target (a push that failed is pushed again once the fault is
// over, as a user would). Prints one table row per fault kind.
//
// Usage: bench_fault_run [--pushes N] [--cloud PATH] [--seed S] [--verbose-log]

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
#include <QRegularExpression>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

using namespace sonavert;
using test::awaitTask;

using sonavert::bench::waitUntil;

namespace {

enum class Fault { None, ServerKill, ServerFreeze, ReceiverKill };
const std::array<const char*, 4> kFaultNames{"none", "server kill", "server freeze",
                                             "receiver kill"};

double seconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values.at(index);
}

LibraryTrack track(const QString& name) {
    return LibraryTrack{name,
                        QStringLiteral("Bench Artist"),
                        QStringLiteral("Bench Album"),
                        36000.0,
                        QStringLiteral("file:///bench/") + name + QStringLiteral(".flac"),
                        {}};
}

class NoDesktop final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl) override { co_return Status(); }
};

// What every device's music side was asked to play, by handoff message id: the player app
// outlives the device's app part, so this does too.
struct Resumes {
    struct Entry {
        int count = 0;
        double carriedPosition = 0.0;
        std::optional<Duration> playedAt;
    };
    std::map<QString, Entry> byMessage;
};

// The music service as the coordinator sees it, noting each resume by message id.
class WatchedMusic final : public MusicPlaybackServiceProtocol {
public:
    WatchedMusic(std::shared_ptr<MusicPlaybackService> music, std::shared_ptr<Clock> clock,
                 std::shared_ptr<Resumes> resumes)
        : m_music(std::move(music))
        , m_clock(std::move(clock))
        , m_resumes(std::move(resumes)) {}

    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override {
        return m_music->currentPlaybackState();
    }
    QCoro::Task<Status> resume(PlaybackState state) override {
        const QString id = state.handoffMessageID.value_or(QStringLiteral("legacy"));
        auto resumes = m_resumes;
        auto clock = m_clock;
        auto music = m_music;
        Resumes::Entry& entry = resumes->byMessage[id];
        ++entry.count;
        entry.carriedPosition = state.playbackTime;
        ++inFlight;
        auto resuming = music->resume(state);
        const Status resumed = co_await std::move(resuming);
        --inFlight;
        if (resumed && !resumes->byMessage[id].playedAt)
            resumes->byMessage[id].playedAt = clock->monotonicNow();
        co_return resumed;
    }
    void runAppleScript(QString source) override { m_music->runAppleScript(std::move(source)); }

    int inFlight = 0;

private:
    std::shared_ptr<MusicPlaybackService> m_music;
    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<Resumes> m_resumes;
};

// The message id of the push being saved, from the sender's save line.
class SaveLineSink final : public LogSink {
public:
    explicit SaveLineSink(std::shared_ptr<LogSink> forward)
        : m_forward(std::move(forward)) {}
    void write(const LogRecord& record) override {
        static const QRegularExpression started(
            QStringLiteral("^event=handoff_save_started message_id=(\\S+) "));
        if (const auto match = started.match(record.message); match.hasMatch())
            lastSaveStarted = match.captured(1);
        for (auto& [prefix, count] : seen)
            count += record.message.startsWith(QLatin1String(prefix));
        if (m_forward)
            m_forward->write(record);
    }
    QString lastSaveStarted;
    /// How often the mechanisms under test showed in the lines.
    std::map<const char*, int> seen{{"event=handoff_duplicate_ignored", 0},
                                    {"event=handoff_taken_restored", 0},
                                    {"event=publication_retry_scheduled kind=handoff", 0},
                                    {"event=handoff_save_timed_out", 0},
                                    {"event=handoff_save_failed", 0},
                                    {"event=source_play_restored", 0}};

private:
    std::shared_ptr<LogSink> m_forward;
};

// One device: the player and the profile last; the app part is built by `start` and dropped
// by `kill`.
struct Device {
    QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    QString name;
    std::shared_ptr<SystemClock> clock;
    clouddb::CloudEndpoint endpoint;
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<SimulatedPlayer> player;
    std::shared_ptr<WatchedMusic> music;
    std::unique_ptr<DeviceHandoffViewModel> coordinator;
    std::unique_ptr<MacBackgroundCoordinator> background;
    std::unique_ptr<clouddb::WebSocketPushChannel> channel;
    std::unique_ptr<MacAppDelegate> delegate;

    Device(QString deviceName, std::shared_ptr<SystemClock> systemClock,
           std::shared_ptr<LocalCatalog> catalog, clouddb::CloudEndpoint cloud,
           std::shared_ptr<Resumes> resumes)
        : name(std::move(deviceName))
        , clock(std::move(systemClock))
        , endpoint(std::move(cloud)) {
        player = std::make_shared<SimulatedPlayer>(clock, catalog);
        auto service = PlayerMusicStack::service(PlayerMusicStack::create(PlayerMusicStack::Parts{
            clock, player, catalog, std::make_shared<test::NoShortcutsTool>(), nullptr,
            std::make_shared<NoDesktop>(), defaults, [] { return std::optional<QString>(); },
            [](const QString&) {}}));
        music = std::make_shared<WatchedMusic>(service, clock, std::move(resumes));
    }
    ~Device() { kill(); }

    void start() {
        auto service = std::make_shared<CloudKitHandoffService>(
            std::make_shared<clouddb::HttpCloudDatabase>(endpoint, clock), defaults, clock);
        coordinator = std::make_unique<DeviceHandoffViewModel>(
            DeviceHandoffViewModel::Dependencies{
                music, service, std::make_shared<DeviceRosterStore>(defaults), clock,
                NearbyDiscoveryFactory(), defaults, nullptr},
            DeviceHandoffViewModel::makeThisDevice(id, name, clock->now()), false);
        background = std::make_unique<MacBackgroundCoordinator>(*coordinator);
        coordinator->start();
        channel = std::make_unique<clouddb::WebSocketPushChannel>(endpoint, clock);
        delegate = std::make_unique<MacAppDelegate>(channel.get(), background.get(), clock);
        delegate->registerForRemoteNotifications(static_cast<int>(endpoint.token.size()));
    }

    void kill() {
        if (channel)
            channel->close();
        delegate.reset();
        channel.reset();
        background.reset();
        coordinator.reset();
    }

    bool isRunning() const { return coordinator != nullptr; }
    std::optional<AppDevice> peerRow(const QString& peerName) const {
        if (!coordinator)
            return std::nullopt;
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

struct KindFigures {
    int pushes = 0, acknowledged = 0, failed = 0, lost = 0, duplicated = 0, unrecovered = 0;
    int playedDespiteFailure = 0;
    std::vector<double> positionErrors, recoveries;
};

struct Bench {
    std::shared_ptr<SystemClock> clock;
    test::CloudServerProcess* server;
    SaveLineSink* saves;
    std::shared_ptr<Resumes> resumes;
    std::mt19937 random;
    std::array<KindFigures, 4> figures;
    std::map<QString, Fault> faultOf; ///< by message id, the pushes the target should play

    Duration uniform(int lowMs, int highMs) {
        return std::chrono::milliseconds(std::uniform_int_distribution<int>(lowMs, highMs)(random));
    }
};

// One push from `from` to `to`, with its fault running beside it; gives the message id when
// the sender reported it done, and notes when the fault ended.
QCoro::Task<std::optional<QString>> pushWithFault(Bench* bench, Device* from, Device* to,
                                                  Fault fault, Duration* faultEnded) {
    auto clock = bench->clock;
    const auto row = from->peerRow(to->name);
    if (!row)
        co_return std::nullopt;
    bench->saves->lastSaveStarted.clear();
    auto transfer = from->coordinator->transfer(*row);
    if (fault == Fault::ServerKill || fault == Fault::ServerFreeze) {
        // Mid-push: once the sender has begun its save, before or just after it reaches the
        // server (a save on loopback takes a few milliseconds).
        SaveLineSink* saves = bench->saves;
        auto saving = waitUntil(
            clock, [saves] { return !saves->lastSaveStarted.isEmpty(); }, 10s, 1ms);
        co_await std::move(saving);
        co_await clock->sleep(bench->uniform(0, 5));
        if (fault == Fault::ServerKill) {
            bench->server->kill();
            co_await clock->sleep(bench->uniform(500, 3000));
            bench->server->restart();
        } else {
            bench->server->freeze();
            co_await clock->sleep(bench->uniform(2000, 10000));
            bench->server->thaw();
        }
        *faultEnded = clock->monotonicNow();
    }
    co_await std::move(transfer);
    const QString id = bench->saves->lastSaveStarted;
    if (fault == Fault::ReceiverKill) {
        co_await clock->sleep(bench->uniform(0, 600));
        to->kill();
        // The player finishes what it was already told to do before the device comes back.
        auto settled = waitUntil(
            clock, [to] { return to->music->inFlight == 0; }, 60s, 1ms);
        co_await std::move(settled);
        co_await clock->sleep(1s);
        to->start();
        *faultEnded = clock->monotonicNow();
    }
    if (!from->coordinator->transferError())
        co_return id;
    if (fault == Fault::None)
        std::printf("push failed without a fault: %s\n",
                    qPrintable(*from->coordinator->transferError()));
    co_return std::nullopt;
}

QCoro::Task<bool> playedOn(Bench* bench, QString id, Duration limit) {
    auto resumes = bench->resumes;
    auto played = waitUntil(
        bench->clock,
        [resumes, id] {
            const auto found = resumes->byMessage.find(id);
            return found != resumes->byMessage.end() && found->second.playedAt;
        },
        limit, 1ms);
    co_return co_await std::move(played);
}

// One round: the push under its fault, and when the sender said it failed, the user's second
// push once the fault is over. Gives whether the song now plays on `to`.
QCoro::Task<bool> runRound(Bench* bench, Device* from, Device* to, Fault fault) {
    auto clock = bench->clock;
    KindFigures& kind = bench->figures[static_cast<std::size_t>(fault)];
    ++kind.pushes;
    Duration faultEnded = clock->monotonicNow();
    auto pushing = pushWithFault(bench, from, to, fault, &faultEnded);
    std::optional<QString> id = co_await std::move(pushing);
    const QString attempted = bench->saves->lastSaveStarted;
    if (!id) {
        ++kind.failed;
        auto sync = waitUntil(
            clock, [from, to] { return from->seesOnline(to->name); }, 30s, 1ms);
        co_await std::move(sync);
        auto retry = pushWithFault(bench, from, to, Fault::None, &faultEnded);
        id = co_await std::move(retry);
        if (!attempted.isEmpty() && bench->resumes->byMessage.count(attempted))
            ++kind.playedDespiteFailure;
        if (!id) {
            ++kind.unrecovered;
            co_return false;
        }
    } else {
        ++kind.acknowledged;
    }
    bench->faultOf[*id] = fault;
    const double stoppedAt = from->player->snapshot().position;
    auto playing = playedOn(bench, *id, 60s);
    if (!co_await std::move(playing)) {
        ++kind.lost;
        std::printf("push %s was acknowledged and never played\n", qPrintable(*id));
        co_return false;
    }
    const Resumes::Entry& entry = bench->resumes->byMessage[*id];
    kind.positionErrors.push_back(std::abs(entry.carriedPosition - stoppedAt));
    kind.recoveries.push_back(std::max(0.0, seconds(*entry.playedAt - faultEnded)));
    co_return true;
}

QCoro::Task<int> runBench(Bench* bench, Device* a, Device* b, int pushes) {
    auto clock = bench->clock;
    a->start();
    b->start();
    auto meeting = waitUntil(
        clock, [&] { return a->seesOnline(b->name) && b->seesOnline(a->name); }, 60s, 1ms);
    if (!co_await std::move(meeting)) {
        std::printf("the devices never saw each other online\n");
        co_return 1;
    }
    auto firstPlay = a->player->playTrack(track(QStringLiteral("Long Song")));
    (void)co_await std::move(firstPlay);
    Device* from = a;
    Device* to = b;
    for (int i = 0; i < pushes; ++i) {
        const auto fault = static_cast<Fault>(i % 4);
        co_await clock->sleep(bench->uniform(200, 1200));
        auto round = runRound(bench, from, to, fault);
        if (co_await std::move(round))
            std::swap(from, to);
        std::fflush(stdout);
    }
    // A command written twice or left behind would be played again within a few passes.
    co_await clock->sleep(15s);
    for (const auto& [id, entry] : bench->resumes->byMessage) {
        if (entry.count <= 1)
            continue;
        std::printf("message %s was started %d times\n", qPrintable(id), entry.count);
        if (const auto kind = bench->faultOf.find(id); kind != bench->faultOf.end())
            ++bench->figures[static_cast<std::size_t>(kind->second)].duplicated;
    }
    co_return 0;
}

int value(const QStringList& arguments, const QString& name, int fallback) {
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : fallback;
}

void printTable(const Bench& bench) {
    std::printf("\n| fault | pushes | acknowledged | failed (said why) | played despite failure "
                "| lost | duplicated | position error p50 / p99 (s) | recovery p50 / p99 / max (s) "
                "|\n|---|---|---|---|---|---|---|---|---|\n");
    for (std::size_t k = 0; k < bench.figures.size(); ++k) {
        const KindFigures& f = bench.figures[k];
        const double maxRecovery =
            f.recoveries.empty() ? 0.0
                                 : *std::max_element(f.recoveries.begin(), f.recoveries.end());
        std::printf("| %s | %d | %d | %d | %d | %d | %d | %.3f / %.3f | %.2f / %.2f / %.2f |\n",
                    kFaultNames[k], f.pushes, f.acknowledged, f.failed, f.playedDespiteFailure,
                    f.lost, f.duplicated, percentile(f.positionErrors, 0.5),
                    percentile(f.positionErrors, 0.99), percentile(f.recoveries, 0.5),
                    percentile(f.recoveries, 0.99), maxRecovery);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const int pushes = value(arguments, QStringLiteral("--pushes"), 120);
    const auto seed = static_cast<unsigned>(value(arguments, QStringLiteral("--seed"), 1));
    const qsizetype cloudAt = arguments.indexOf(QStringLiteral("--cloud"));
    const QString cloudProgram = cloudAt >= 0 && cloudAt + 1 < arguments.size()
                                     ? arguments.at(cloudAt + 1)
                                     : QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);
    auto sink = std::make_shared<SaveLineSink>(
        arguments.contains(QStringLiteral("--verbose-log")) ? makeStderrLogSink() : nullptr);
    LogChannel::instance().setSink(sink);

    test::CloudServerProcess server(cloudProgram);
    if (!server.isRunning()) {
        std::printf("sonavert-cloud could not be started (%s)\n", qPrintable(cloudProgram));
        return 1;
    }
    auto catalog =
        std::make_shared<LocalCatalog>(std::make_shared<StaticTrackLibrary>(
                                           QList<LibraryTrack>{track(QStringLiteral("Long Song"))}),
                                       QList<RadioStation>{});
    auto clock = std::make_shared<SystemClock>();
    const clouddb::CloudEndpoint endpoint{QUrl(server.url()), server.token(),
                                          QString::fromLatin1(app_identity::kContainerIdentifier),
                                          QStringLiteral("production")};
    auto resumes = std::make_shared<Resumes>();
    Bench bench{clock, &server, sink.get(), resumes, std::mt19937(seed), {}, {}};
    Device a(QStringLiteral("Bench A"), clock, catalog, endpoint, resumes);
    Device b(QStringLiteral("Bench B"), clock, catalog, endpoint, resumes);
    std::printf("server %s, %d pushes, faults in turn: none, server kill, server freeze, "
                "receiver kill\n",
                qPrintable(server.url()), pushes);
    const int failed = awaitTask(runBench(&bench, &a, &b, pushes));
    int duplicated = 0;
    for (const auto& [id, entry] : resumes->byMessage)
        duplicated += entry.count > 1;
    printTable(bench);
    std::printf("\nmessages started more than once (all kinds): %d\n", duplicated);
    for (const auto& [prefix, count] : sink->seen)
        std::printf("%s lines: %d\n", prefix, count);
    a.kill();
    b.kill();
    return failed;
}
