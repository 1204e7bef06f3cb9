#include "src/music/music_app_error.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/log_format.h"
#include "tests/music/music_test_doubles.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace std::chrono_literals;

namespace {

const QString kSongID = QStringLiteral("1440857781");
const QString kWebLink = QStringLiteral("https://music.sonavert.io/us/song/id1440857781");
const QString kMusicLink = QStringLiteral("music://music.sonavert.io/us/song/id1440857781");

ScriptTrack requestedTrack() {
    return makeSong(QStringLiteral("lib-7"), QStringLiteral("Harvest Moon"),
                    QStringLiteral("Neil Young"));
}

PlaybackState sentState(double position = 60.0) {
    PlaybackState state;
    state.songID = kSongID;
    state.playbackTime = position;
    state.songTitle = QStringLiteral("Harvest Moon");
    state.artistName = QStringLiteral("Neil Young");
    return state;
}

QString masked(const QString& value) {
    return QStringLiteral("<mask.hash: '") +
           maskHashToken(value, LogChannel::instance().privacy().salt) + QStringLiteral("'>");
}

// Every poll line of one verification run that reports nothing playing.
QStringList idlePollLines(const QString& label, const std::vector<int>& attempts) {
    QStringList lines;
    for (int attempt : attempts)
        lines << QStringLiteral("resumeViaAppleScript: %1 poll_%2=snapshot|state=stopped|"
                                "track=none|artist=none")
                     .arg(label)
                     .arg(attempt);
    return lines;
}

} // namespace

class PlaybackResumeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The library route

    void libraryHitPlaysAtPositionWithoutOtherRoutes() {
        MusicServiceRig rig;
        rig.music.library = {makeSong(QStringLiteral("lib-1"), QStringLiteral("Harvest Moon"),
                                      QStringLiteral("Someone Else")),
                             requestedTrack()};
        const Status status = rig.finish(rig.service.resume(sentState(93.5)));
        QVERIFY(status.ok());
        QCOMPARE(rig.music.current, std::optional<ScriptTrack>(requestedTrack()));
        QCOMPARE(rig.music.position, 93.5);
        QCOMPARE(rig.lines,
                 QStringList{QStringLiteral("resumeViaAppleScript: library=library_ok")});
        QVERIFY(rig.links.opened.empty());
        QCOMPARE(rig.shortcuts.listCalls, 0);
    }

    void catalogTitleAndArtistAreSearchedInTheLibrary() {
        MusicServiceRig rig;
        rig.catalog.songsByID[kSongID] = CatalogSong{kSongID, QStringLiteral("Harvest Moon"),
                                                     QStringLiteral("Neil Young"), std::nullopt};
        rig.music.library = {requestedTrack()};
        PlaybackState state = sentState();
        state.songTitle = QStringLiteral("harvest moon (live)"); // the sender's own spelling
        QVERIFY(rig.finish(rig.service.resume(state)).ok());
        QCOMPARE(rig.catalog.requests, QStringList{QStringLiteral("lookup:") + kSongID});
        QCOMPARE(rig.music.current, std::optional<ScriptTrack>(requestedTrack()));
    }

    void failedCatalogLookupIsPrintedAndTheStateIsUsed() {
        MusicServiceRig rig;
        rig.catalog.lookupFailure =
            Error{QStringLiteral("Catalog"), 3, QStringLiteral("catalog unreachable"), {}, {}, {}};
        rig.music.library = {requestedTrack()};
        QVERIFY(rig.finish(rig.service.resume(sentState())).ok());
        QCOMPARE(rig.lines,
                 (QStringList{QStringLiteral("resumeViaAppleScript: catalog resolve failed: "
                                             "catalog unreachable"),
                              QStringLiteral("resumeViaAppleScript: library=library_ok")}));
    }

    // The Shortcut route

    void installedShortcutIsRunAndConfirmedByPolling() {
        MusicServiceRig rig;
        rig.shortcuts.listOutput = "Morning Routine\n  SonavertReceiver \n";
        rig.links.onOpen = [&rig](const QUrl& link) {
            if (link.scheme() == QLatin1String("shortcuts"))
                rig.music.startPlaying(requestedTrack(), 0.0);
        };
        QVERIFY(rig.finish(rig.service.resume(sentState())).ok());
        QCOMPARE(rig.links.openedTexts(),
                 QStringList{QStringLiteral(
                     "shortcuts://run-shortcut?name=SonavertReceiver&input=1440857781")});
        QCOMPARE(rig.linesStartingWith(QStringLiteral("resumeViaAppleScript: shortcut")),
                 QStringList{
                     QStringLiteral("resumeViaAppleScript: shortcut playing_match at attempt 1")});
        QCOMPARE(rig.music.position, 60.0);
        QCOMPARE(rig.clock.monotonicNow(), Duration(300ms + 250ms)); // one pace, one seek delay
    }

    void pollLinesAppearAtFirstAndEveryFourthAttemptUntilConfirmed() {
        MusicServiceRig rig;
        rig.shortcuts.listOutput = "SonavertReceiver\n";
        rig.links.onOpen = [&rig](const QUrl&) {
            // The Shortcut takes a while to get the song going.
            rig.clock.schedule(1700ms, [&rig] { rig.music.startPlaying(requestedTrack(), 0.0); });
        };
        QVERIFY(rig.finish(rig.service.resume(sentState(0.5))).ok());
        QStringList expected = idlePollLines(QStringLiteral("shortcut"), {1, 4});
        expected << QStringLiteral("resumeViaAppleScript: shortcut playing_match at attempt 6");
        QCOMPARE(rig.linesStartingWith(QStringLiteral("resumeViaAppleScript: shortcut")), expected);
        QVERIFY2(rig.music.seeks.empty(), "a target under a second confirms without seeking");
    }

    void undeterminedCheckRunsTheShortcutOnlyOnceOffered() {
        for (const bool isOffered : {false, true}) {
            MusicServiceRig rig;
            rig.shortcuts.launchFailure =
                Error{QStringLiteral("Process"), 2, QStringLiteral("No such file"), {}, {}, {}};
            if (isOffered)
                rig.defaults.setBool(QStringLiteral("Sonavert.shortcut.donated"), true);
            rig.music.library.clear();
            QVERIFY(!rig.finish(rig.service.resume(sentState())).ok());
            QCOMPARE(rig.lines.at(1), QStringLiteral("isShortcutInstalled: could not run "
                                                     "shortcuts CLI: No such file"));
            const bool ranShortcut =
                rig.links.openedTexts().first().startsWith(QLatin1String("shortcuts://"));
            QCOMPARE(ranShortcut, isOffered);
        }
    }

    void shortcutAttemptsRunEvenWhenTheShortcutIsMissing() {
        MusicServiceRig rig;
        rig.shortcuts.listOutput = "sonavertreceiver\nSonavertReceiver copy\n";
        rig.links.onOpen = [&rig](const QUrl& link) {
            if (link.scheme() == QLatin1String("music"))
                rig.music.startPlaying(requestedTrack(), 0.0);
        };
        QVERIFY(rig.finish(rig.service.resume(sentState())).ok());
        QStringList expected =
            idlePollLines(QStringLiteral("shortcut"), {1, 4, 8, 12, 16, 20, 24, 28, 32});
        QCOMPARE(rig.linesStartingWith(QStringLiteral("resumeViaAppleScript: shortcut")), expected);
        QCOMPARE(rig.links.openedTexts(), QStringList{kMusicLink});
        QCOMPARE(rig.linesStartingWith(QStringLiteral("resumeViaAppleScript: music_scheme")),
                 QStringList{QStringLiteral(
                     "resumeViaAppleScript: music_scheme playing_match at attempt 1")});
    }

    // Seeking during verification

    void positionWithinTwoSecondsConfirmsAndOneFurtherKeepsSeeking() {
        struct Case {
            double ceiling;
            QString line;
            std::size_t seeks;
        };
        const Case cases[] = {
            {58.0, QStringLiteral("resumeViaAppleScript: shortcut playing_match at attempt 1"), 1},
            {57.0,
             QStringLiteral("resumeViaAppleScript: shortcut playing_seek_unconfirmed|target=60.0|"
                            "cur=57.0 at attempt 1"),
             16},
        };
        for (const Case& c : cases) {
            MusicServiceRig rig;
            rig.shortcuts.listOutput = "SonavertReceiver";
            rig.music.seekCeiling = c.ceiling;
            rig.links.onOpen = [&rig](const QUrl&) { rig.music.startPlaying(requestedTrack(), 0); };
            QVERIFY(rig.finish(rig.service.resume(sentState(60.0))).ok());
            QCOMPARE(rig.linesStartingWith(QStringLiteral("resumeViaAppleScript: shortcut")),
                     QStringList{c.line});
            QCOMPARE(rig.music.seeks.size(), c.seeks);
            QCOMPARE(rig.links.opened.size(), std::size_t(1)); // no link route after either
        }
    }

    // Every route failing

    void everyRouteFailingOffersTheShortcutOnceAndRaises() {
        MusicServiceRig rig;
        const Status status = rig.finish(rig.service.resume(sentState()));
        QVERIFY(!status.ok());
        QCOMPARE(status.error().domain, QStringLiteral("MusicAppError"));
        QCOMPARE(status.error().code, int(music_app_error::PlaybackDidNotStart));
        QCOMPARE(status.error().description,
                 QStringLiteral("Music playback did not start (catalog_no_play|hint=install_"
                                "SonavertReceiver_shortcut|url=") +
                     kWebLink + QStringLiteral(")."));
        QCOMPARE(rig.links.openedTexts(),
                 (QStringList{kMusicLink,
                              QStringLiteral("file:///opt/sonavert/SonavertReceiver.shortcut")}));
        QVERIFY(rig.defaults.isTrue(QStringLiteral("Sonavert.shortcut.donated")));

        QStringList expected{QStringLiteral("resumeViaAppleScript: library=library_miss")};
        expected << idlePollLines(QStringLiteral("shortcut"), {1, 4, 8, 12, 16, 20, 24, 28, 32});
        expected << idlePollLines(QStringLiteral("music_scheme"),
                                  {1, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40});
        expected << QStringLiteral(
            "TessaryReceiverInstaller: opening /opt/sonavert/SonavertReceiver.shortcut");
        QCOMPARE(rig.lines, expected);
        // 72 checks, each 0.3 s after the one before, and nothing else that takes time.
        QCOMPARE(rig.clock.monotonicNow(), Duration(72 * 300ms));
    }

    void catalogWebLinkIsOpenedAndNamedInTheError() {
        MusicServiceRig rig;
        const QString catalogLink = QStringLiteral("https://music.sonavert.io/us/song/harvest");
        rig.catalog.songsByID[kSongID] = CatalogSong{kSongID, QStringLiteral("Harvest Moon"),
                                                     QStringLiteral("Neil Young"), catalogLink};
        const Status status = rig.finish(rig.service.resume(sentState()));
        QVERIFY(status.error().description.endsWith(QStringLiteral("|url=") + catalogLink +
                                                    QStringLiteral(").")));
        QCOMPARE(rig.links.openedTexts().first(),
                 QStringLiteral("music://music.sonavert.io/us/song/harvest"));
    }

    void missingShortcutFileIsReportedAndLeavesTheFlagAlone() {
        MusicServiceRig rig;
        rig.shortcutFile.reset();
        QVERIFY(!rig.finish(rig.service.resume(sentState())).ok());
        QCOMPARE(rig.lines.last(), QStringLiteral("TessaryReceiverInstaller: bundled "
                                                  "SonavertReceiver.shortcut not found in bundle"));
        QVERIFY(!rig.defaults.contains(QStringLiteral("Sonavert.shortcut.donated")));
    }

    // Stations, consent and events

    void stationOpensItsLinkWithoutVerification() {
        MusicServiceRig rig;
        CapturingLogSink log;
        PlaybackState state = sentState(123.0);
        state.stationID = QStringLiteral("ra.985484166");
        QVERIFY(rig.finish(rig.service.resume(state)).ok());
        QCOMPARE(rig.links.openedTexts(),
                 QStringList{QStringLiteral("music://music.sonavert.io/station/ra.985484166")});
        QVERIFY(rig.music.calls.isEmpty());
        QVERIFY(rig.catalog.requests.isEmpty());
        QCOMPARE(rig.clock.monotonicNow(), Duration::zero());
        QCOMPARE(log.messages(LogCategory::Playback),
                 (QStringList{QStringLiteral("event=playback_service_resume_requested song_id=") +
                                  masked(kSongID) + QStringLiteral(" is_station=true"),
                              QStringLiteral("event=playback_station_open_started station_id=") +
                                  masked(QStringLiteral("ra.985484166")),
                              QStringLiteral("event=playback_catalog_url_opened")}));
        QCOMPARE(log.records().at(1).level, LogLevel::Info);
    }

    void emptyStationTextTakesTheSongRoute() {
        MusicServiceRig rig;
        PlaybackState state = sentState();
        state.stationID = QString();
        rig.music.library = {requestedTrack()};
        QVERIFY(rig.finish(rig.service.resume(state)).ok());
        QCOMPARE(rig.music.current, std::optional<ScriptTrack>(requestedTrack()));
    }

    void withoutConsentNothingPlaysAndNothingIsRaised() {
        MusicServiceRig rig;
        CapturingLogSink log;
        rig.catalog.isAuthorized = false;
        rig.music.library = {requestedTrack()};
        QVERIFY(rig.finish(rig.service.resume(sentState())).ok());
        QVERIFY(rig.music.calls.isEmpty());
        QVERIFY(rig.links.opened.empty());
        QCOMPARE(log.messages().last(),
                 QStringLiteral("event=playback_service_resume_rejected reason=not_authorized"));
        QCOMPARE(log.records().back().level, LogLevel::Error);
    }

    void songRouteWritesItsEvents() {
        MusicServiceRig rig;
        CapturingLogSink log;
        rig.shortcuts.listOutput = "SonavertReceiver\n";
        QVERIFY(!rig.finish(rig.service.resume(sentState())).ok());
        QCOMPARE(log.messages(LogCategory::Playback),
                 (QStringList{QStringLiteral("event=playback_service_resume_requested song_id=") +
                                  masked(kSongID) + QStringLiteral(" is_station=false"),
                              QStringLiteral("event=playback_applescript_resume_started "
                                             "has_catalog_url=true"),
                              QStringLiteral("event=playback_shortcut_invoked"),
                              QStringLiteral("event=playback_catalog_url_opened")}));
    }

    void unparsableCatalogLinkGoesToThePlayerByScript() {
        MusicServiceRig rig;
        rig.catalog.songsByID[kSongID] =
            CatalogSong{kSongID, QStringLiteral("Harvest Moon"), QStringLiteral("Neil Young"),
                        QStringLiteral("https://[bad link")};
        QVERIFY(!rig.finish(rig.service.resume(sentState())).ok());
        QVERIFY(rig.music.calls.contains(QStringLiteral("open:https://[bad link")));
        QCOMPARE(rig.links.opened.size(), std::size_t(1)); // only the installer's file
    }
};

QTEST_GUILESS_MAIN(PlaybackResumeTest)
#include "playback_resume_test.moc"
