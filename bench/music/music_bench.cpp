// Music-side latencies and rates on this machine:
// - library scan of N tagged files with no index, and the cached rescan of the same folder;
// - capture (the now-playing script plus the catalog search) against a real mpv;
// - resume to confirmed playback on a second mpv (library route, verification).
// mpv runs with mpv-mpris and no audio device, each on a private bus of its own.
//
// Usage: bench_music [--files N] [--captures N] [--resumes N]

#include "src/desktop/user_defaults.h"
#include "src/music/player_music_stack.h"
#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "tests/support/await_task.h"
#include "tests/support/mpv_fixture.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/shortcuts_doubles.h"

#include <QCoreApplication>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <taglib/fileref.h>
#include <taglib/tag.h>

using namespace sonavert;
using test::awaitTask;

namespace {

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values.at(index);
}

void report(const char* name, const std::vector<double>& millis) {
    std::printf("%-28s n=%-4zu p50 %8.2f ms  p90 %8.2f ms  p99 %8.2f ms  max %8.2f ms\n", name,
                millis.size(), percentile(millis, 0.5), percentile(millis, 0.9),
                percentile(millis, 0.99), *std::max_element(millis.begin(), millis.end()));
}

// N copies of one short FLAC file, each retagged in place with TagLib.
bool makeLibrary(const QString& folder, int count) {
    const QString base = folder + QStringLiteral("/base.flac.tmp");
    if (!test::AudioFixtures::make(base, 3, {QStringLiteral("TITLE=base")}))
        return false;
    for (int i = 0; i < count; ++i) {
        const QString dir = folder + QStringLiteral("/Artist %1").arg(i / 50);
        QDir().mkpath(dir);
        const QString path = dir + QStringLiteral("/Track %1.flac").arg(i);
        if (!QFile::copy(base, path))
            return false;
        TagLib::FileRef file(QFile::encodeName(path).constData());
        if (file.isNull())
            return false;
        file.tag()->setTitle(
            TagLib::String(QStringLiteral("Song %1").arg(i).toStdString(), TagLib::String::UTF8));
        file.tag()->setArtist(TagLib::String(QStringLiteral("Artist %1").arg(i / 50).toStdString(),
                                             TagLib::String::UTF8));
        file.tag()->setAlbum(TagLib::String(QStringLiteral("Album %1").arg(i / 10).toStdString(),
                                            TagLib::String::UTF8));
        file.save();
    }
    QFile::remove(base);
    // One long song for the players, so it never ends during a run.
    return test::AudioFixtures::make(folder + QStringLiteral("/Long Song.flac"), 600,
                                     {QStringLiteral("TITLE=Long Song"),
                                      QStringLiteral("ARTIST=Bench Artist"),
                                      QStringLiteral("ALBUM=Bench Album")});
}

struct Machine {
    test::MpvOnPrivateBus mpv;
    std::shared_ptr<MprisPlayer> player;
    std::shared_ptr<MusicPlaybackService> service;

    bool start(const QString& name, std::shared_ptr<LocalCatalog> catalog, const QString& home) {
        QString reason;
        if (!mpv.start(name, home, &reason))
            return false;
        MprisOptions options;
        options.playerName = QStringLiteral("mpv");
        auto clock = std::make_shared<SystemClock>();
        player = std::make_shared<MprisPlayer>(mpv.connection(), clock, catalog, options);
        service = PlayerMusicStack::service(PlayerMusicStack::create(PlayerMusicStack::Parts{
            clock, player, catalog, std::make_shared<test::NoShortcutsTool>(), nullptr,
            std::make_shared<XdgOpenLauncher>(), std::make_shared<InMemoryUserDefaults>(),
            [] { return std::optional<QString>(); }, [](const QString&) {}}));
        return true;
    }
};

int value(const QStringList& arguments, const QString& name, int fallback) {
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QString reason = test::MpvFixture::skipReason();
    if (!reason.isEmpty()) {
        std::printf("cannot run: %s\n", qPrintable(reason));
        return 1;
    }
    const QStringList arguments = QCoreApplication::arguments();
    const int files = value(arguments, QStringLiteral("--files"), 2000);
    const int captures = value(arguments, QStringLiteral("--captures"), 200);
    const int resumes = value(arguments, QStringLiteral("--resumes"), 20);
    QTemporaryDir scratch;
    const QString music = scratch.filePath(QStringLiteral("Music"));
    QDir().mkpath(music);
    std::printf("making %d tagged files...\n", files);
    if (!makeLibrary(music, files)) {
        std::printf("could not make the library\n");
        return 1;
    }

    auto library = std::make_shared<LibraryIndex>(scratch.filePath(QStringLiteral("index.json")),
                                                  QStringList{music});
    QElapsedTimer timer;
    timer.start();
    const auto cold = awaitTask(library->rescan());
    const double coldSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    timer.restart();
    const auto cached = awaitTask(library->rescan());
    const double cachedSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (!cold || !cached || cold.value().filesRead != files + 1 ||
        cached.value().filesReused != files + 1) {
        std::printf("scan did not read every file\n");
        return 1;
    }
    std::printf("%-28s %d files in %.3f s: %.0f files/s\n", "library scan (no index)", files,
                coldSeconds, files / coldSeconds);
    std::printf("%-28s %d files in %.3f s: %.0f files/s\n", "library rescan (cached)", files,
                cachedSeconds, files / cachedSeconds);

    auto catalog = std::make_shared<LocalCatalog>(library, QList<RadioStation>{});
    Machine source;
    Machine target;
    if (!source.start(QStringLiteral("source"), catalog, scratch.filePath(QStringLiteral("a"))) ||
        !target.start(QStringLiteral("target"), catalog, scratch.filePath(QStringLiteral("b")))) {
        std::printf("mpv could not be started\n");
        return 1;
    }
    const QList<LibraryTrack> longSongs =
        awaitTask(source.player->libraryTracks(TrackFilter{QStringLiteral("Long Song"), {}}));
    if (longSongs.isEmpty() || !awaitTask(source.player->playTrack(longSongs.first())).ok())
        return 1;
    for (int reading = 0; reading < 200; ++reading) {
        const auto now = awaitTask(source.player->nowPlaying());
        if (now && now.value().state == PlayerState::Playing)
            break;
    }
    std::vector<double> captureMillis;
    std::optional<PlaybackState> state;
    for (int i = 0; i < captures + 5; ++i) {
        timer.restart();
        state = awaitTask(source.service->currentPlaybackState());
        if (i >= 5) // the first readings warm up the bus connection and the catalog
            captureMillis.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    if (!state) {
        std::printf("capture found nothing playing\n");
        return 1;
    }
    report("capture (script + catalog)", captureMillis);

    std::vector<double> resumeMillis;
    for (int i = 0; i < resumes; ++i) {
        PlaybackState wanted = *state;
        wanted.playbackTime = 0.5 + (i % 2);
        (void)awaitTask(target.player->stop());
        timer.restart();
        const Status resumed = awaitTask(target.service->resume(wanted));
        resumeMillis.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (!resumed) {
            std::printf("resume failed: %s\n", qPrintable(resumed.error().description));
            return 1;
        }
    }
    report("resume to confirmed", resumeMillis);
    return 0;
}
