#include "src/music/music_scripts.h"
#include "tests/script/music_scripts.h"
#include "tests/script/script_harness.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

// The service's scripts must be the fixed texts character for character: the players were
// tuned against them, and a stray blank or line break changes what a player sees.
class MusicScriptsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void scriptsMatchTheFixtureTexts() {
        const QString title = QStringLiteral("Say \"Hi\" \\o/ é");
        const QString artist = QStringLiteral("AC\\DC\n& \"Friends\"");
        QCOMPARE(music_scripts::nowPlaying(), nowPlayingScript());
        QCOMPARE(music_scripts::pause(), pauseScript());
        QCOMPARE(music_scripts::playFromLibrary(title, artist, 93.25),
                 libraryScript(title, artist, 93.25));
        QCOMPARE(music_scripts::verifyPlayback(title, artist, 60.0),
                 verificationScript(title, artist, 60.0));
        QCOMPARE(music_scripts::openLocation(title), openLocationScript(title));
    }

    void userTextSplicedIntoScriptsNeverRuns() {
        ScriptHarness harness;
        const QString hostile = QStringLiteral("x\" & (stop) & \"");
        harness.music.startPlaying(makeTrack(QStringLiteral("1"), hostile, hostile), 80.0);
        QCOMPARE(harness.text(music_scripts::verifyPlayback(hostile, hostile, 80.0)),
                 QStringLiteral("playing_match"));
        QVERIFY(!harness.music.calls.contains(QStringLiteral("stop")));
        QCOMPARE(harness.text(music_scripts::playFromLibrary(hostile, hostile, 3.0)),
                 QStringLiteral("library_miss"));
    }

    void libraryScriptTellsAMissFromATrackThatWillNotPlay() {
        ScriptHarness harness;
        harness.music.library = {
            makeTrack(QStringLiteral("1"), QStringLiteral("Song"), QStringLiteral("The Artist"))};
        harness.music.playStartsPlayback = false;
        QCOMPARE(harness.text(music_scripts::playFromLibrary(QStringLiteral("Song"),
                                                             QStringLiteral("Artist"), 5.0)),
                 QStringLiteral("library_no_play"));
        QCOMPARE(harness.clock.monotonicNow(), Duration(24 * 250ms));
    }
};

QTEST_GUILESS_MAIN(MusicScriptsTest)
#include "music_scripts_test.moc"
