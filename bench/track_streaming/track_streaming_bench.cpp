// A song played on a computer that has no copy of it: how long the target's real mpv takes
// from the command until it plays at the carried position through the loopback relay and the
// offering server (the delivery of the command itself is what bench_handoff_latency measures),
// and what serving costs the offering computer.
//
// Start-up: `--plays N` times, a 240 s FLAC offered by an in-process TrackServer is resumed at
// a random position by the music service over mpv (MPRIS, private bus, no audio device); the
// time until the resume reports the song playing and sought, and the position mpv then
// reports. Serving: the same file fetched whole through TLS `--serves N` times; the process's
// CPU-seconds per byte (client and server together: an upper bound for the server alone)
// times the FLAC's bit rate give the share of a core a 1x stream costs.
//
// Usage: bench_track_streaming [--plays N] [--serves N]

#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "src/stream/following_music_service.h"
#include "src/stream/track_fetcher.h"
#include "src/stream/track_server.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/await_task.h"
#include "tests/support/mpv_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <random>
#include <sys/resource.h>

using namespace sonavert;
using namespace sonavert::stream;
using test::awaitTask;

namespace {

class NoMusicHere final : public MusicPlaybackServiceProtocol {
public:
    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override {
        co_return std::nullopt;
    }
    QCoro::Task<Status> resume(PlaybackState) override {
        co_return makeError(QStringLiteral("Bench"), 1, QStringLiteral("no copy here"));
    }
    void runAppleScript(QString) override {}
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values.at(at);
}

int argument(const QStringList& arguments, const QString& name, int fallback) {
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int plays = argument(app.arguments(), QStringLiteral("--plays"), 20);
    const int serves = argument(app.arguments(), QStringLiteral("--serves"), 20);
    const QString skip = test::MpvFixture::skipReason();
    if (!skip.isEmpty() || !test::AudioFixtures::missingTools().isEmpty()) {
        std::printf("cannot run: %s\n",
                    qPrintable(skip.isEmpty() ? QStringLiteral("audio tools") : skip));
        return 1;
    }
    QTemporaryDir scratch;
    const QString song = scratch.filePath(QStringLiteral("song.flac"));
    if (!test::AudioFixtures::make(song, 240, {QStringLiteral("TITLE=Bench Song")}))
        return 1;
    const double bytesPerSecond = static_cast<double>(QFileInfo(song).size()) / 240.0;

    auto clock = std::make_shared<SystemClock>();
    auto identity = makeEphemeralIdentity();
    TrackServer::Options options;
    options.listenAddress = QHostAddress::LocalHost;
    auto server = std::make_shared<TrackServer>(clock, identity.value(), options);
    auto fetcher = std::make_shared<TrackFetcher>(clock);
    if (!fetcher->listen())
        return 1;

    test::MpvOnPrivateBus mpv;
    QString reason;
    if (!mpv.start(QStringLiteral("bench"), scratch.filePath(QStringLiteral("mpv")), &reason)) {
        std::printf("cannot run: %s\n", qPrintable(reason));
        return 1;
    }
    MprisOptions mprisOptions;
    mprisOptions.playerName = QStringLiteral("mpv");
    auto library = std::make_shared<LocalCatalog>(
        std::make_shared<StaticTrackLibrary>(QList<LibraryTrack>{}), QList<RadioStation>{});
    auto player = std::make_shared<MprisPlayer>(mpv.connection(), clock, library, mprisOptions);
    FollowingMusicService service(FollowingMusicService::Parts{
        std::make_shared<NoMusicHere>(), player, library, clock, server, fetcher, {}});

    std::mt19937 random(7);
    std::uniform_real_distribution<double> positions(10.0, 150.0);
    std::vector<double> starts;
    std::vector<double> errors;
    std::vector<double> drift;
    for (int i = 0; i < plays; ++i) {
        (void)awaitTask(player->stop());
        PlaybackState state;
        state.songID = QStringLiteral("bench");
        state.songTitle = QStringLiteral("Bench Song");
        state.playbackTime = positions(random);
        state.offer = server->offer(song, 240);
        QElapsedTimer timer;
        timer.start();
        const Status played = awaitTask(service.resume(state));
        const double took = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        const Result<NowPlaying> now = awaitTask(player->nowPlaying());
        if (!played || !now) {
            std::printf("play %d failed: %s\n", i,
                        qPrintable(played ? now.error().description : played.error().description));
            return 1;
        }
        starts.push_back(took);
        errors.push_back(now.value().position - state.playbackTime);
        drift.push_back(now.value().position - (state.playbackTime + took));
    }
    std::printf("start through the relay, %d plays: median %.3f s, p90 %.3f s, max %.3f s\n", plays,
                percentile(starts, 0.5), percentile(starts, 0.9), percentile(starts, 1.0));
    std::printf("position once playing minus carried: median %+.3f s, min %+.3f s, max %+.3f "
                "s\n",
                percentile(errors, 0.5), percentile(errors, 0.0), percentile(errors, 1.0));
    std::printf("... minus carried and the time the start took: median %+.3f s, min %+.3f s, "
                "max %+.3f s\n",
                percentile(drift, 0.5), percentile(drift, 0.0), percentile(drift, 1.0));
    (void)awaitTask(player->stop());

    QNetworkAccessManager network;
    const std::optional<TrackOffer> offer = server->offer(song, 240);
    const QUrl local = fetcher->localUrlFor(*offer);
    qint64 bytes = 0;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < serves; ++i) {
        std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(local)));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(60000);
        bytes += reply->readAll().size();
    }
    const double cpu = cpuSeconds() - cpuBefore;
    const double cpuPerByte = cpu / static_cast<double>(bytes);
    std::printf("serving through TLS and the relay: %.1f MB in %.2f s wall, %.2f CPU-s "
                "(both ends): %.1f MB per CPU-second\n",
                static_cast<double>(bytes) / 1e6, static_cast<double>(wall.elapsed()) / 1000.0, cpu,
                static_cast<double>(bytes) / 1e6 / cpu);
    // A sine tone compresses far better than music: the share is given for a CD-quality FLAC
    // of 1,000 kbit/s too.
    for (const double rate : {bytesPerSecond, 125000.0})
        std::printf("a stream at 1x (%.0f kB/s) costs at most %.3f %% of a core (both ends)\n",
                    rate / 1000.0, 100.0 * cpuPerByte * rate);
    return 0;
}
