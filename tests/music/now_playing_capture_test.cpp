#include "src/music/playback_position.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/log_format.h"
#include "tests/music/music_test_doubles.h"

#include <QTest>
#include <cmath>

using namespace sonavert;
using namespace sonavert::test;

namespace {

ScriptTrack playingTrack(const QString& album = QStringLiteral("Ten")) {
    return makeSong(QStringLiteral("lib-1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"),
                    album);
}

CatalogSong song(const QString& id, const QString& title, const QString& artist) {
    return CatalogSong{id, title, artist, std::nullopt};
}

} // namespace

class NowPlayingCaptureTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What counts as playing

    void nothingPlaysWhenThePlayerIsNotRunningPausedOrStopped() {
        for (const PlayerState state : {PlayerState::Paused, PlayerState::Stopped}) {
            MusicServiceRig rig;
            rig.catalog.songs = {
                song(QStringLiteral("s1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"))};
            rig.music.startPlaying(playingTrack(), 30.0);
            rig.music.state = state;
            QCOMPARE(rig.finish(rig.service.currentPlaybackState()), std::nullopt);
            QVERIFY(rig.catalog.requests.isEmpty());
        }
        MusicServiceRig rig;
        rig.music.running = false;
        QCOMPARE(rig.finish(rig.service.currentPlaybackState()), std::nullopt);
    }

    void aLineBreakInsideATitleMakesTheShapeUnreadable() {
        MusicServiceRig rig;
        rig.catalog.songs = {
            song(QStringLiteral("s1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"))};
        ScriptTrack track = playingTrack();
        track.name = QStringLiteral("Black\n(Live)");
        rig.music.startPlaying(track, 30.0);
        QCOMPARE(rig.finish(rig.service.currentPlaybackState()), std::nullopt);
    }

    // Songs

    void songStateKeepsThePlayersTextsAndPosition() {
        MusicServiceRig rig;
        rig.catalog.songs = {
            song(QStringLiteral("cover"), QStringLiteral("Black"), QStringLiteral("Tribute Band")),
            song(QStringLiteral("other"), QStringLiteral("Alive"), QStringLiteral("Pearl Jam")),
            song(QStringLiteral("original"), QStringLiteral("BLACK"), QStringLiteral("pearl jam"))};
        rig.music.startPlaying(playingTrack(), 42.5);
        const auto state = rig.finish(rig.service.currentPlaybackState());
        PlaybackState expected;
        expected.songID = QStringLiteral("original");
        expected.playbackTime = 42.5;
        expected.songTitle = QStringLiteral("Black");
        expected.artistName = QStringLiteral("Pearl Jam");
        expected.albumTitle = QStringLiteral("Ten");
        QCOMPARE(state, std::optional<PlaybackState>(expected));
        QCOMPARE(rig.catalog.requests, (QStringList{QStringLiteral("stations:Ten:5"),
                                                    QStringLiteral("songs:Black Pearl Jam:10")}));
    }

    void withoutAnExactMatchTheFirstSongIsTaken() {
        MusicServiceRig rig;
        rig.catalog.songs = {song(QStringLiteral("first"), QStringLiteral("Black (Demo)"),
                                  QStringLiteral("Pearl Jam")),
                             song(QStringLiteral("second"), QStringLiteral("Black"),
                                  QStringLiteral("Pearl Jam & Friends"))};
        rig.music.startPlaying(playingTrack(), 1.0);
        const auto state = rig.finish(rig.service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->songID, QStringLiteral("first"));
    }

    void emptyAlbumSkipsStationsAndIsLeftOut() {
        MusicServiceRig rig;
        rig.catalog.stations = {CatalogStation{QStringLiteral("st"), QStringLiteral("Any")}};
        rig.catalog.songs = {
            song(QStringLiteral("s1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"))};
        rig.music.startPlaying(playingTrack(QString()), 3.0);
        const auto state = rig.finish(rig.service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->albumTitle, std::nullopt);
        QCOMPARE(rig.catalog.requests, QStringList{QStringLiteral("songs:Black Pearl Jam:10")});
    }

    void noSongsOrAFailedSearchMeanNothingPlaying() {
        MusicServiceRig rig;
        rig.music.startPlaying(playingTrack(), 3.0);
        QCOMPARE(rig.finish(rig.service.currentPlaybackState()), std::nullopt);
        rig.catalog.songs = {
            song(QStringLiteral("s1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"))};
        rig.catalog.searchFailure =
            Error{QStringLiteral("Catalog"), 1, QStringLiteral("denied"), {}, {}, {}};
        QCOMPARE(rig.finish(rig.service.currentPlaybackState()), std::nullopt);
    }

    // Stations

    void albumNamingAStationGivesAStationState_data() {
        QTest::addColumn<QString>("stationName");
        QTest::addColumn<bool>("isStation");
        QTest::newRow("station name holds the album") << QStringLiteral("chill mix Radio") << true;
        QTest::newRow("album holds the station name") << QStringLiteral("Chill") << true;
        QTest::newRow("unrelated station") << QStringLiteral("Jazz Hour") << false;
        QTest::newRow("nameless station") << QString() << false;
    }
    void albumNamingAStationGivesAStationState() {
        QFETCH(QString, stationName);
        QFETCH(bool, isStation);
        MusicServiceRig rig;
        CapturingLogSink log;
        rig.catalog.stations = {CatalogStation{QStringLiteral("ra.1"), QStringLiteral("Nope")},
                                CatalogStation{QStringLiteral("ra.2"), stationName}};
        rig.catalog.songs = {
            song(QStringLiteral("s1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"))};
        rig.music.startPlaying(playingTrack(QStringLiteral("Chill Mix")), 77.0);
        const auto state = rig.finish(rig.service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->stationID.has_value(), isStation);
        if (!isStation) {
            QCOMPARE(state->songID, QStringLiteral("s1"));
            return;
        }
        QCOMPARE(*state->stationID, QStringLiteral("ra.2"));
        QCOMPARE(state->songID, QString());
        QCOMPARE(state->playbackTime, 0.0);
        QCOMPARE(state->albumTitle, std::optional<QString>(QStringLiteral("Chill Mix")));
        const QString token =
            maskHashToken(QStringLiteral("ra.2"), LogChannel::instance().privacy().salt);
        QCOMPARE(
            log.messages(LogCategory::Playback),
            QStringList{QStringLiteral("event=playback_station_detected station_id=<mask.hash: '") +
                        token + QStringLiteral("'>")});
        QCOMPARE(log.records().front().level, LogLevel::Debug);
    }

    void failedStationSearchFallsBackToTheSong() {
        MusicServiceRig rig;
        rig.catalog.songs = {
            song(QStringLiteral("s1"), QStringLiteral("Black"), QStringLiteral("Pearl Jam"))};
        rig.music.startPlaying(playingTrack(), 5.0);
        rig.catalog.stationSearchFailure =
            Error{QStringLiteral("Catalog"), 1, QStringLiteral("x"), {}, {}, {}};
        const auto state = rig.finish(rig.service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->songID, QStringLiteral("s1"));
    }

    // Position text

    void positionTextIsReadWhateverTheDecimalMark_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("seconds");
        QTest::newRow("decimal comma") << QStringLiteral("12,5") << 12.5;
        QTest::newRow("decimal point") << QStringLiteral("12.5") << 12.5;
        QTest::newRow("blanks around") << QStringLiteral("  7,25 ") << 7.25;
        QTest::newRow("whole number") << QStringLiteral("61") << 61.0;
        QTest::newRow("exponent") << QStringLiteral("1e-05") << 1e-05;
        QTest::newRow("a word") << QStringLiteral("later") << 0.0;
        QTest::newRow("trailing character") << QStringLiteral("12.5s") << 0.0;
        QTest::newRow("leading character") << QStringLiteral("~12.5") << 0.0;
        QTest::newRow("two marks") << QStringLiteral("1,234.5") << 0.0;
        QTest::newRow("empty") << QString() << 0.0;
        QTest::newRow("infinity") << QStringLiteral("inf") << 0.0;
        QTest::newRow("not a number") << QStringLiteral("nan") << 0.0;
        QTest::newRow("overflow") << QStringLiteral("1e400") << 0.0;
    }
    void positionTextIsReadWhateverTheDecimalMark() {
        QFETCH(QString, text);
        QFETCH(double, seconds);
        QCOMPARE(parsePlaybackPosition(text), seconds);
    }

    // The script runner as the service exposes it

    void scriptResultTextsAndFailureLines() {
        MusicServiceRig rig;
        QCOMPARE(rig.finish(rig.service.runAppleScriptReturningString(QStringLiteral("tell"))),
                 QStringLiteral("script_error|source=failed_to_create"));
        QCOMPARE(
            rig.finish(rig.service.runAppleScriptReturningString(QStringLiteral("return \"  \""))),
            QStringLiteral("empty_result"));
        QCOMPARE(rig.lines, QStringList{QStringLiteral(
                                "AppleScript error: script_error|source=failed_to_create")});
        rig.music.running = false;
        const QString failed = rig.finish(rig.service.runAppleScriptReturningString(
            QStringLiteral("tell application \"Music\" to pause")));
        QVERIFY(failed.startsWith(QLatin1String("script_error|")));
        QCOMPARE(rig.lines.last(), QStringLiteral("AppleScript error: ") + failed);
    }

    void fireAndForgetRunPausesAndReportsOnlyRunFailures() {
        MusicServiceRig rig;
        rig.music.startPlaying(playingTrack(), 10.0);
        rig.service.runAppleScript(QStringLiteral("tell application \"Music\" to pause"));
        rig.clock.runUntil([&rig] { return rig.music.state == PlayerState::Paused; },
                           std::chrono::seconds(1));
        QCOMPARE(rig.music.state, PlayerState::Paused);
        rig.service.runAppleScript(QStringLiteral("tell application"));
        rig.music.running = false;
        rig.service.runAppleScript(QStringLiteral("tell application \"Music\" to pause"));
        VirtualClock::drainEvents();
        QCOMPARE(rig.lines.size(), 1);
        QVERIFY(rig.lines.first().startsWith(QLatin1String("AppleScript error: {")));
        QVERIFY(rig.lines.first().contains(QLatin1String("number = -600")));
    }
};

QTEST_GUILESS_MAIN(NowPlayingCaptureTest)
#include "now_playing_capture_test.moc"
