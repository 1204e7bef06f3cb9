#include "src/music/music_scripts.h"
#include "tests/script/script_harness.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kAwkwardTitle = u"Say \"Hi\" \\o/"_s;
const QString kAwkwardArtist = u"AC\\DC & \"Friends\""_s;

ScriptTrack awkwardTrack() {
    return makeTrack(u"awk"_s, kAwkwardTitle, kAwkwardArtist);
}

} // namespace

class ScriptRunnerTest : public QObject {
    Q_OBJECT

    std::optional<ScriptHarness> harness; // made afresh for every case
private Q_SLOTS:
    void init() { harness.emplace(); }
    void cleanup() { harness.reset(); }

    // Result texts

    void resultTextIsTrimmedOrEmptyResult_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("outcome");
        const int value = int(ScriptRunResult::Outcome::Value);
        const int empty = int(ScriptRunResult::Outcome::Empty);
        QTest::newRow("trimmed") << "return \"  hi there \\n\\t\"" << u"hi there"_s << value;
        QTest::newRow("only blanks") << "return \" \\n \"" << u"empty_result"_s << empty;
        QTest::newRow("empty text") << "return \"\"" << u"empty_result"_s << empty;
        QTest::newRow("nothing") << "set x to 1\nreturn" << u"empty_result"_s << empty;
        QTest::newRow("inner line breaks kept") << "return \"a\\nb\\n\"" << u"a\nb"_s << value;
    }
    void resultTextIsTrimmedOrEmptyResult() {
        QFETCH(QString, source);
        QFETCH(QString, text);
        QFETCH(int, outcome);
        const ScriptRunResult result = harness->run(source);
        QCOMPARE(result.text(), text);
        QCOMPARE(int(result.outcome()), outcome);
        QVERIFY(!result.isFailure());
    }

    void aTextThatDoesNotCompileFailsToCreate() {
        const ScriptRunResult result = harness->run(u"considering case\nend considering"_s);
        QCOMPARE(result.text(), u"script_error|source=failed_to_create"_s);
        QCOMPARE(result.outcome(), ScriptRunResult::Outcome::CompileFailed);
        QVERIFY(result.diagnostic().startsWith(u"line 1"_s));
    }

    void runFailuresListSortedKeysOnOneLine() {
        const ScriptRunResult own = harness->run(u"set x to 1\nerror \"a\\nb\\rc\" number 7"_s);
        QCOMPARE(own.text(), u"script_error|line=2|message=a b c|number=7"_s);
        QCOMPARE(own.failureInfo().at(u"message"_s), u"a\nb\rc"_s);
        const ScriptRunResult fromMusic =
            harness->run(u"tell application \"Music\" to get name of current track"_s);
        QCOMPARE(fromMusic.text(), u"script_error|application=Music|line=1|message=Music got an "
                                   "error: Can't get current track.|number=-1728"_s);
        QCOMPARE(fromMusic.outcome(), ScriptRunResult::Outcome::RunFailed);
    }

    // The now-playing script

    void nowPlayingReportsFourFieldsOnlyWhilePlaying_data() {
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("hasTrack");
        QTest::addColumn<double>("position");
        QTest::addColumn<QString>("text");
        const int playing = int(PlayerState::Playing);
        QTest::newRow("not running") << false << playing << true << 1.0 << "empty_result";
        QTest::newRow("paused") << true << int(PlayerState::Paused) << true << 1.0
                                << "empty_result";
        QTest::newRow("stopped") << true << int(PlayerState::Stopped) << false << 0.0
                                 << "empty_result";
        QTest::newRow("playing without track") << true << playing << false << 0.0 << "empty_result";
        QTest::newRow("fraction") << true << playing << true << 12.5 << "T\nA\nAl\n12.5";
        QTest::newRow("whole") << true << playing << true << 60.0 << "T\nA\nAl\n60.0";
        QTest::newRow("long track") << true << playing << true << 12345.5 << "T\nA\nAl\n1.23455E+4";
    }
    void nowPlayingReportsFourFieldsOnlyWhilePlaying() {
        QFETCH(bool, running);
        QFETCH(int, state);
        QFETCH(bool, hasTrack);
        QFETCH(double, position);
        QFETCH(QString, text);
        harness->music.running = running;
        harness->music.state = PlayerState(state);
        if (hasTrack)
            harness->music.current = makeTrack("1", "T", "A", "Al");
        harness->music.position = position;
        QCOMPARE(harness->text(music_scripts::nowPlaying()), text);
    }

    void nowPlayingKeepsAwkwardNamesVerbatim() {
        harness->music.startPlaying(awkwardTrack(), 3.0);
        QCOMPARE(harness->text(music_scripts::nowPlaying()),
                 kAwkwardTitle + "\n" + kAwkwardArtist + "\nAlbum\n3.0");
    }

    void nowPlayingWaitsForSlowReplies() {
        harness->music.startPlaying(makeTrack("1", "T", "A", "Al"), 7.25);
        harness->music.replyDelay = std::chrono::milliseconds(40);
        auto task = harness->runner.run(music_scripts::nowPlaying());
        QVERIFY(!task.isReady());
        harness->clock.advance(std::chrono::milliseconds(100));
        QVERIFY(!task.isReady());
        QVERIFY(
            harness->clock.runUntil([&task] { return task.isReady(); }, std::chrono::seconds(5)));
        QCOMPARE(QCoro::waitFor(task).text(), u"T\nA\nAl\n7.25"_s);
    }

    void pauseScriptPausesAndYieldsNothing() {
        harness->music.startPlaying(makeTrack("1", "T", "A"), 3.0);
        QCOMPARE(harness->text(music_scripts::pause()), u"empty_result"_s);
        QCOMPARE(harness->music.calls, QStringList{u"pause"_s});
        QCOMPARE(harness->music.state, PlayerState::Paused);
    }

    // The library script

    void libraryScriptPlaysTheExactTitleAndSeeks() {
        harness->music.startPlaying(makeTrack("old", "Other", "X"), 30.0);
        harness->music.library = {makeTrack("1", "Say Hi", "AC\\DC"), awkwardTrack(),
                                  makeTrack("3", kAwkwardTitle, "Someone Else")};
        const QString script = music_scripts::playFromLibrary(kAwkwardTitle, u"ac\\dc"_s, 42.5);
        QCOMPARE(harness->text(script), u"library_ok"_s);
        QCOMPARE(harness->music.calls, QStringList({"activate", "stop", "play:awk", "seek:42.5"}));
        QCOMPARE(harness->music.seeks, std::vector<double>{42.5});
    }

    void libraryScriptMissesWithoutPlaying_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("artist");
        QTest::newRow("title only contained") << u"Say"_s << u"AC"_s;
        QTest::newRow("artist not contained") << kAwkwardTitle << u"Beatles"_s;
        QTest::newRow("empty library match") << u"Nothing"_s << QString();
    }
    void libraryScriptMissesWithoutPlaying() {
        QFETCH(QString, title);
        QFETCH(QString, artist);
        harness->music.library = {awkwardTrack()};
        QCOMPARE(harness->text(music_scripts::playFromLibrary(title, artist, 5.0)),
                 u"library_miss"_s);
        QCOMPARE(harness->music.calls, QStringList{u"activate"_s});
    }

    void libraryScriptGivesUpAfterTwentyFourChecks() {
        harness->music.library = {awkwardTrack()};
        harness->music.playStartsPlayback = false;
        const Duration start = harness->clock.monotonicNow();
        QCOMPARE(harness->text(music_scripts::playFromLibrary(kAwkwardTitle, kAwkwardArtist, 5.0)),
                 u"library_no_play"_s);
        QCOMPARE(harness->clock.monotonicNow() - start, Duration(std::chrono::seconds(6)));
        QCOMPARE(harness->music.playerStateReads, 2 + 24); // both stop checks, then every poll
        QVERIFY(harness->music.seeks.empty());
    }

    // The verification script

    void verificationConfirmsAPlayingMatch_data() {
        QTest::addColumn<double>("target");
        QTest::addColumn<double>("ceiling");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("seeks");
        QTest::newRow("short target needs no seek") << 0.5 << 0.0 << "playing_match" << 0;
        QTest::newRow("target of one second") << 1.0 << 0.0 << "playing_match" << 0;
        QTest::newRow("seek sticks") << 60.0 << 1000.0 << "playing_match" << 1;
        QTest::newRow("two seconds short is close enough") << 60.0 << 58.0 << "playing_match" << 1;
        QTest::newRow("three seconds short keeps seeking")
            << 60.0 << 57.0 << "playing_seek_unconfirmed|target=60.0|cur=57.0" << 16;
        QTest::newRow("large target written in exponent form")
            << 12345.5 << 0.0 << "playing_seek_unconfirmed|target=1.23455E+4|cur=0.0" << 16;
    }
    void verificationConfirmsAPlayingMatch() {
        QFETCH(double, target);
        QFETCH(double, ceiling);
        QFETCH(QString, text);
        QFETCH(int, seeks);
        harness->music.startPlaying(awkwardTrack(), 0.0);
        harness->music.seekCeiling = ceiling;
        QCOMPARE(harness->text(music_scripts::verifyPlayback(kAwkwardTitle, u"ac\\dc"_s, target)),
                 text);
        QCOMPARE(int(harness->music.seeks.size()), seeks);
    }

    void verificationSnapshotsAnythingElse_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("paused") << int(PlayerState::Paused) << kAwkwardTitle
                                << "snapshot|state=paused|track=" + kAwkwardTitle +
                                       "|artist=" + kAwkwardArtist;
        QTest::newRow("another song")
            << int(PlayerState::Playing) << u"Other"_s
            << "snapshot|state=playing|track=" + kAwkwardTitle + "|artist=" + kAwkwardArtist;
        QTest::newRow("stopped") << int(PlayerState::Stopped) << kAwkwardTitle
                                 << u"snapshot|state=stopped|track=none|artist=none"_s;
    }
    void verificationSnapshotsAnythingElse() {
        QFETCH(int, state);
        QFETCH(QString, title);
        QFETCH(QString, text);
        harness->music.startPlaying(awkwardTrack(), 10.0);
        harness->music.state = PlayerState(state);
        QCOMPARE(harness->text(music_scripts::verifyPlayback(title, kAwkwardArtist, 10.0)), text);
    }

    void verificationReportsScriptingErrors() {
        harness->music.running = false;
        QCOMPARE(harness->text(music_scripts::verifyPlayback(u"T"_s, u"A"_s, 3.0)),
                 u"verify_error|number=-600|message=Music got an error: "
                 "Application isn't running."_s);
        harness->music.running = true;
        harness->music.state = PlayerState::Playing; // playing, but nothing loaded
        QCOMPARE(harness->text(music_scripts::verifyPlayback(u"T"_s, u"A"_s, 3.0)),
                 u"verify_error|number=-1728|message=Music got an error: Can't "
                 "get current track."_s);
    }

    void openLocationScriptHandsTheLinkOver() {
        const QString link = u"https://music.example/us/song/id\"1\\2"_s;
        QCOMPARE(harness->text(music_scripts::openLocation(link)), u"empty_result"_s);
        QCOMPARE(harness->music.calls, QStringList({"activate", "open:" + link}));
    }

    void userTextSplicedIntoScriptsNeverRuns() {
        const QString hostile = u"x\" & (stop) & \""_s;
        harness->music.startPlaying(makeTrack(u"1"_s, hostile, hostile), 80.0);
        QCOMPARE(harness->text(music_scripts::verifyPlayback(hostile, hostile, 80.0)),
                 u"playing_match"_s);
        QVERIFY(!harness->music.calls.contains(u"stop"_s));
        QCOMPARE(harness->text(music_scripts::playFromLibrary(hostile, hostile, 3.0)),
                 u"library_miss"_s);
    }

    // Cancellation and lifetime

    void cancellingDuringDelayEndsTheRunAtOnce() {
        harness->music.library = {awkwardTrack()};
        harness->music.playStartsPlayback = false;
        std::stop_source stop;
        auto task = harness->runner.run(
            music_scripts::playFromLibrary(kAwkwardTitle, kAwkwardArtist, 5.0), stop.get_token());
        harness->clock.advance(std::chrono::milliseconds(1100)); // inside the fifth delay
        QVERIFY(!task.isReady());
        const int readsBeforeStop = harness->music.playerStateReads;
        stop.request_stop();
        VirtualClock::drainEvents();
        QVERIFY(task.isReady());
        QCOMPARE(QCoro::waitFor(task).text(), u"script_error|message=User canceled.|number=-128"_s);
        QCOMPARE(harness->clock.pendingTimerCount(), std::size_t(0));
        harness->clock.advance(std::chrono::seconds(10));
        QCOMPARE(harness->music.playerStateReads, readsBeforeStop);
    }

    void aRunStoppedBeforeItStartsTouchesNothing() {
        std::stop_source stop;
        stop.request_stop();
        QCOMPARE(harness->run(music_scripts::pause(), stop.get_token()).text(),
                 u"script_error|message=User canceled.|number=-128"_s);
        QVERIFY(harness->music.calls.isEmpty());
    }

    void theRunnerMayGoAwayWhileARunWaits() {
        VirtualClock clock;
        FakeMusicApplication music;
        music.startPlaying(awkwardTrack(), 0.0);
        auto runner = std::make_unique<ScriptRunner>(clock);
        runner->addApplication(u"music"_s, music);
        auto task = runner->run(music_scripts::verifyPlayback(kAwkwardTitle, kAwkwardArtist, 30.0));
        runner.reset();
        QVERIFY(clock.runUntil([&task] { return task.isReady(); }, std::chrono::seconds(10)));
        QCOMPARE(QCoro::waitFor(task).text(), u"playing_match"_s);
    }
};

QTEST_GUILESS_MAIN(ScriptRunnerTest)
#include "script_runner_test.moc"
