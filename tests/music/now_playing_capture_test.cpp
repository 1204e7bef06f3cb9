#include "src/music/playback_position.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/log_format.h"
#include "tests/music/music_test_doubles.h"

#include <QTest>
#include <cmath>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

ScriptTrack playingTrack(const QString& album = u"Ten"_s) {
    return makeSong(u"lib-1"_s, u"Black"_s, u"Pearl Jam"_s, album);
}

CatalogSong song(const QString& id, const QString& title, const QString& artist) {
    return CatalogSong{id, title, artist, std::nullopt};
}

} // namespace

class NowPlayingCaptureTest : public QObject {
    Q_OBJECT
    std::optional<MusicServiceRig> m_rig;

private Q_SLOTS:
    void init() { m_rig.emplace(); }
    void cleanup() { m_rig.reset(); }
    // What counts as playing

    void nothingPlaysWhenThePlayerIsNotRunningPausedOrStopped() {
        for (const PlayerState state : {PlayerState::Paused, PlayerState::Stopped}) {
            MusicServiceRig rig;
            rig.catalog.songs = {song(u"s1"_s, u"Black"_s, u"Pearl Jam"_s)};
            rig.music.startPlaying(playingTrack(), 30.0);
            rig.music.state = state;
            QCOMPARE(rig.finish(rig.service.currentPlaybackState()), std::nullopt);
            QVERIFY(rig.catalog.requests.isEmpty());
        }
        m_rig->music.running = false;
        QCOMPARE(m_rig->finish(m_rig->service.currentPlaybackState()), std::nullopt);
    }

    void aLineBreakInsideATitleMakesTheShapeUnreadable() {
        m_rig->catalog.songs = {song(u"s1"_s, u"Black"_s, u"Pearl Jam"_s)};
        ScriptTrack track = playingTrack();
        track.name = u"Black\n(Live)"_s;
        m_rig->music.startPlaying(track, 30.0);
        QCOMPARE(m_rig->finish(m_rig->service.currentPlaybackState()), std::nullopt);
    }

    // Songs

    void songStateKeepsThePlayersTextsAndPosition() {
        m_rig->catalog.songs = {song(u"cover"_s, u"Black"_s, u"Tribute Band"_s),
                                song(u"other"_s, u"Alive"_s, u"Pearl Jam"_s),
                                song(u"original"_s, u"BLACK"_s, u"pearl jam"_s)};
        m_rig->music.startPlaying(playingTrack(), 42.5);
        const auto state = m_rig->finish(m_rig->service.currentPlaybackState());
        const PlaybackState expected{u"original"_s, 42.5, u"Black"_s, u"Pearl Jam"_s,
                                     u"Ten"_s,      {},   {}};
        QCOMPARE(state, std::optional(expected));
        QCOMPARE(m_rig->catalog.requests,
                 (QStringList{u"stations:Ten:5"_s, u"songs:Black Pearl Jam:10"_s}));
    }

    void withoutAnExactMatchTheFirstSongIsTaken() {
        m_rig->catalog.songs = {song(u"first"_s, u"Black (Demo)"_s, u"Pearl Jam"_s),
                                song(u"second"_s, u"Black"_s, u"Pearl Jam & Friends"_s)};
        m_rig->music.startPlaying(playingTrack(), 1.0);
        const auto state = m_rig->finish(m_rig->service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->songID, u"first"_s);
    }

    void emptyAlbumSkipsStationsAndIsLeftOut() {
        m_rig->catalog.stations = {CatalogStation{u"st"_s, u"Any"_s}};
        m_rig->catalog.songs = {song(u"s1"_s, u"Black"_s, u"Pearl Jam"_s)};
        m_rig->music.startPlaying(playingTrack(QString()), 3.0);
        const auto state = m_rig->finish(m_rig->service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->albumTitle, std::nullopt);
        QCOMPARE(m_rig->catalog.requests, QStringList{u"songs:Black Pearl Jam:10"_s});
    }

    void noSongsOrAFailedSearchMeanNothingPlaying() {
        m_rig->music.startPlaying(playingTrack(), 3.0);
        QCOMPARE(m_rig->finish(m_rig->service.currentPlaybackState()), std::nullopt);
        m_rig->catalog.songs = {song(u"s1"_s, u"Black"_s, u"Pearl Jam"_s)};
        m_rig->catalog.searchFailure = makeError(u"Catalog"_s, 1, u"denied"_s);
        QCOMPARE(m_rig->finish(m_rig->service.currentPlaybackState()), std::nullopt);
    }

    // Stations

    void albumNamingAStationGivesAStationState_data() {
        QTest::addColumn<QString>("stationName");
        QTest::addColumn<bool>("isStation");
        QTest::newRow("station name holds the album") << u"chill mix Radio"_s << true;
        QTest::newRow("album holds the station name") << u"Chill"_s << true;
        QTest::newRow("unrelated station") << u"Jazz Hour"_s << false;
        QTest::newRow("nameless station") << QString() << false;
    }
    void albumNamingAStationGivesAStationState() {
        QFETCH(QString, stationName);
        QFETCH(bool, isStation);
        CapturingLogSink log;
        m_rig->catalog.stations = {CatalogStation{u"ra.1"_s, u"Nope"_s},
                                   CatalogStation{u"ra.2"_s, stationName}};
        m_rig->catalog.songs = {song(u"s1"_s, u"Black"_s, u"Pearl Jam"_s)};
        m_rig->music.startPlaying(playingTrack(u"Chill Mix"_s), 77.0);
        const auto state = m_rig->finish(m_rig->service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->stationID.has_value(), isStation);
        if (!isStation) {
            QCOMPARE(state->songID, u"s1"_s);
            return;
        }
        QCOMPARE(*state->stationID, u"ra.2"_s);
        QCOMPARE(state->songID, QString());
        QCOMPARE(state->playbackTime, 0.0);
        QCOMPARE(state->albumTitle, std::optional(u"Chill Mix"_s));
        const QString token = maskHashToken(u"ra.2"_s, LogChannel::instance().privacy().salt);
        QCOMPARE(log.messages(LogCategory::Playback),
                 QStringList{u"event=playback_station_detected station_id=<mask.hash: '"_s + token +
                             u"'>"_s});
        QCOMPARE(log.records().front().level, LogLevel::Debug);
    }

    void failedStationSearchFallsBackToTheSong() {
        m_rig->catalog.songs = {song(u"s1"_s, u"Black"_s, u"Pearl Jam"_s)};
        m_rig->music.startPlaying(playingTrack(), 5.0);
        m_rig->catalog.stationSearchFailure = makeError(u"Catalog"_s, 1, u"x"_s);
        const auto state = m_rig->finish(m_rig->service.currentPlaybackState());
        QVERIFY(state);
        QCOMPARE(state->songID, u"s1"_s);
    }

    // Position text

    void positionTextIsReadWhateverTheDecimalMark_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("seconds");
        QTest::newRow("decimal comma") << u"12,5"_s << 12.5;
        QTest::newRow("decimal point") << u"12.5"_s << 12.5;
        QTest::newRow("blanks around") << u"  7,25 "_s << 7.25;
        QTest::newRow("whole number") << u"61"_s << 61.0;
        QTest::newRow("exponent") << u"1e-05"_s << 1e-05;
        QTest::newRow("a word") << u"later"_s << 0.0;
        QTest::newRow("trailing character") << u"12.5s"_s << 0.0;
        QTest::newRow("leading character") << u"~12.5"_s << 0.0;
        QTest::newRow("two marks") << u"1,234.5"_s << 0.0;
        QTest::newRow("empty") << QString() << 0.0;
        QTest::newRow("infinity") << u"inf"_s << 0.0;
        QTest::newRow("not a number") << u"nan"_s << 0.0;
        QTest::newRow("overflow") << u"1e400"_s << 0.0;
    }
    void positionTextIsReadWhateverTheDecimalMark() {
        QFETCH(QString, text);
        QFETCH(double, seconds);
        QCOMPARE(parsePlaybackPosition(text), seconds);
    }

    // The script runner as the service exposes it

    void scriptResultTextsAndFailureLines() {
        QCOMPARE(m_rig->finish(m_rig->service.runAppleScriptReturningString(u"tell"_s)),
                 u"script_error|source=failed_to_create"_s);
        QCOMPARE(m_rig->finish(m_rig->service.runAppleScriptReturningString(u"return \"  \""_s)),
                 u"empty_result"_s);
        QCOMPARE(m_rig->lines,
                 QStringList{u"AppleScript error: script_error|source=failed_to_create"_s});
        m_rig->music.running = false;
        const QString failed = m_rig->finish(
            m_rig->service.runAppleScriptReturningString(u"tell application \"Music\" to pause"_s));
        QVERIFY(failed.startsWith(QLatin1String("script_error|")));
        QCOMPARE(m_rig->lines.last(), u"AppleScript error: "_s + failed);
    }

    void fireAndForgetRunPausesAndReportsOnlyRunFailures() {
        m_rig->music.startPlaying(playingTrack(), 10.0);
        m_rig->service.runAppleScript(u"tell application \"Music\" to pause"_s);
        m_rig->clock.runUntil([this] { return m_rig->music.state == PlayerState::Paused; },
                              std::chrono::seconds(1));
        QCOMPARE(m_rig->music.state, PlayerState::Paused);
        m_rig->service.runAppleScript(u"tell application"_s);
        m_rig->music.running = false;
        m_rig->service.runAppleScript(u"tell application \"Music\" to pause"_s);
        VirtualClock::drainEvents();
        QCOMPARE(m_rig->lines.size(), 1);
        QVERIFY(m_rig->lines.first().startsWith(QLatin1String("AppleScript error: {")));
        QVERIFY(m_rig->lines.first().contains(QLatin1String("number = -600")));
    }
};

QTEST_GUILESS_MAIN(NowPlayingCaptureTest)
#include "now_playing_capture_test.moc"
