// The music service over the simulated player and the device's own catalog: the scripts run
// unchanged against the player, and what one device captures another resumes.

#include "src/desktop/user_defaults.h"
#include "src/music/player_music_stack.h"
#include "src/player/local_catalog.h"
#include "src/player/simulated_player.h"
#include "src/player/song_identifier.h"
#include "src/player/station_list.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/shortcuts_doubles.h"

#include <QTest>

using namespace sonavert;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

class RecordingDesktop final : public DesktopLauncher {
public:
    QList<QUrl> opened;
    QCoro::Task<Status> openUrl(QUrl url) override {
        opened << url;
        co_return Status();
    }
};

LibraryTrack track(const QString& name, const QString& artist, const QString& album,
                   const QString& file) {
    return {name, artist, album, 300.0, u"file:///"_s + file, {}};
}

const QString kStream = u"https://radio.example.org/jazz.ogg"_s;

// One device: its library, catalog, simulated player and music service, on a shared clock.
struct Device {
    std::shared_ptr<VirtualClock> clock;
    std::shared_ptr<LocalCatalog> catalog;
    std::shared_ptr<SimulatedPlayer> player;
    std::shared_ptr<test::NoShortcutsTool> shortcuts = std::make_shared<test::NoShortcutsTool>();
    std::shared_ptr<RecordingDesktop> desktop = std::make_shared<RecordingDesktop>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    QStringList lines;
    std::shared_ptr<MusicPlaybackService> service;

    Device(std::shared_ptr<VirtualClock> sharedClock, QList<LibraryTrack> tracks)
        : clock(std::move(sharedClock)) {
        const auto library = std::make_shared<StaticTrackLibrary>(std::move(tracks));
        catalog = std::make_shared<LocalCatalog>(
            library, station_list::parse(kStream + u"  Late Night Jazz\n"_s));
        player = std::make_shared<SimulatedPlayer>(clock, catalog);
        auto stack = PlayerMusicStack::create(
            PlayerMusicStack::Parts{clock, player, catalog, shortcuts, nullptr, desktop, defaults,
                                    [] { return std::optional<QString>(); },
                                    [this](const QString& line) { lines << line; }});
        service = PlayerMusicStack::service(std::move(stack));
    }

    template <typename T> T finish(QCoro::Task<T> task) {
        clock->runUntil([&task] { return task.isReady(); }, 1h);
        return QCoro::waitFor(task);
    }
    NowPlaying now() { return player->snapshot(); }
};

} // namespace

class PlayerMusicStackTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;

private Q_SLOTS:
    void init() { m_clock = std::make_shared<VirtualClock>(); }

    // What plays on one device is captured with the identifier the other device knows the same
    // recording by, though its file lives elsewhere, and resumes there at the position.
    void songCapturedOnOneDeviceResumesOnAnotherAtItsPosition() {
        const LibraryTrack here =
            track(u"Harvest Moon"_s, u"Neil Young"_s, u"Harvest Moon"_s, u"a/hm.flac"_s);
        LibraryTrack there = here;
        there.uri = u"file:///b/music/Neil Young - Harvest Moon.mp3"_s;
        Device source(m_clock,
                      {track(u"Harvest"_s, u"Neil Young"_s, u"Harvest"_s, u"a/h.flac"_s), here});
        Device target(m_clock, {there});

        QVERIFY(source.finish(source.player->playTrack(here)).ok());
        m_clock->advance(42s);
        const std::optional<PlaybackState> captured =
            source.finish(source.service->currentPlaybackState());
        QVERIFY(captured);
        QCOMPARE(captured->songID, songIdentifier(here));
        QCOMPARE(captured->songTitle, here.name);
        QCOMPARE(captured->artistName, here.artist);
        QVERIFY(std::abs(captured->playbackTime - 42.0) < 0.5);

        const Status resumed = target.finish(target.service->resume(*captured));
        QVERIFY2(resumed.ok(), qPrintable(resumed ? QString() : resumed.error().description));
        QCOMPARE(target.now().state, PlayerState::Playing);
        QCOMPARE(target.now().track->uri, there.uri);
        QVERIFY(std::abs(target.now().position - captured->playbackTime) < 2.0);
        QVERIFY(target.lines.contains(u"resumeViaAppleScript: library=library_ok"_s));
    }

    // Titles and artists reach the player only as data: quotes, backslashes, line breaks and
    // script words in them are matched literally and never run.
    void awkwardTitlesAreMatchedLiterallyAndNeverRun_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("artist");
        QTest::newRow("quotes") << u"Say \"Hi\""_s << u"The \"Band\""_s;
        QTest::newRow("backslashes") << u"C:\\Music\\"_s << u"AC\\DC"_s;
        QTest::newRow("script") << u"\" & (stop) & \""_s
                                << u"x\" tell application \"Music\" to stop --"_s;
        QTest::newRow("non-ascii") << u"Ünïcödé ♫ 東京"_s << u"Björk"_s;
    }
    void awkwardTitlesAreMatchedLiterallyAndNeverRun() {
        QFETCH(QString, title);
        QFETCH(QString, artist);
        const LibraryTrack awkward = track(title, artist, u"Album"_s, u"x/awkward.flac"_s);
        const LibraryTrack decoy = track(u"Decoy"_s, u"Someone"_s, u"Album"_s, u"x/decoy.flac"_s);
        Device source(m_clock, {decoy, awkward});
        Device target(m_clock, {decoy, awkward});
        QVERIFY(source.finish(source.player->playTrack(awkward)).ok());
        m_clock->advance(10s);
        const auto captured = source.finish(source.service->currentPlaybackState());
        QVERIFY(captured);
        QCOMPARE(captured->songTitle, title);
        QCOMPARE(captured->artistName, artist);
        QCOMPARE(captured->songID, songIdentifier(awkward));

        QVERIFY(target.finish(target.service->resume(*captured)).ok());
        QCOMPARE(target.now().track, std::optional<LibraryTrack>(awkward));
        QCOMPARE(target.now().state, PlayerState::Playing);
    }

    // A station is captured by name from the stream's album and started from its link,
    // through the one link router, without verification.
    void stationTravelsThroughItsLink() {
        Device source(m_clock, {});
        Device target(m_clock, {});
        QVERIFY(source.finish(source.player->openLocation(kStream)).ok());
        m_clock->advance(5s);
        const auto captured = source.finish(source.service->currentPlaybackState());
        QVERIFY(captured);
        QVERIFY(captured->stationID);
        QCOMPARE(*captured->stationID, station_list::stationIdentifier(kStream));

        QVERIFY(target.finish(target.service->resume(*captured)).ok());
        m_clock->runUntil([&] { return !target.player->openedLocations().isEmpty(); }, 10s);
        QCOMPARE(target.player->openedLocations(), QStringList{kStream});
        QVERIFY(target.desktop->opened.isEmpty());
    }

    // Without the user's consent nothing is captured or played, and the player is untouched.
    void withoutConsentNothingIsCapturedOrPlayed() {
        const LibraryTrack song =
            track(u"So What"_s, u"Miles Davis"_s, u"Kind of Blue"_s, u"k/sw.flac"_s);
        Device device(m_clock, {song});
        device.defaults->setBool(ConsentingMusicCatalog::kAllowedKey, false);
        QVERIFY(device.finish(device.player->playTrack(song)).ok());
        QVERIFY(!device.finish(device.service->currentPlaybackState()));

        const PlaybackState state{songIdentifier(song), 30, song.name, song.artist, {}, {}, {}};
        device.player->stop();
        QVERIFY(device.finish(device.service->resume(state)).ok());
        QCOMPARE(device.now().state, PlayerState::Stopped);
        QVERIFY(device.desktop->opened.isEmpty());
    }

    // Looking at what plays never starts a player that is not running.
    void captureLeavesAStoppedPlayerAlone() {
        Device device(m_clock, {});
        device.player->setRunning(false);
        QVERIFY(!device.finish(device.service->currentPlaybackState()));
        QVERIFY(!device.finish(device.player->isRunning()));
    }
};

QTEST_GUILESS_MAIN(PlayerMusicStackTest)
#include "player_music_stack_test.moc"
