#include "src/music/music_app_error.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/log_format.h"
#include "tests/music/music_test_doubles.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString kSongID = u"1440857781"_s;
const QString kWebLink = u"https://music.sonavert.io/us/song/id1440857781"_s;
const QString kMusicLink = u"music://music.sonavert.io/us/song/id1440857781"_s;

ScriptTrack requestedTrack() {
    return makeSong(u"lib-7"_s, u"Harvest Moon"_s, u"Neil Young"_s);
}

PlaybackState sentState(double position = 60.0) {
    return {kSongID, position, u"Harvest Moon"_s, u"Neil Young"_s, {}, {}, {}};
}

QString masked(const QString& value) {
    return u"<mask.hash: '"_s + maskHashToken(value, LogChannel::instance().privacy().salt) +
           u"'>"_s;
}

// Every poll line of one verification run that reports nothing playing.
QStringList idlePollLines(const QString& label, const std::vector<int>& attempts) {
    QStringList lines;
    for (int attempt : attempts)
        lines << u"resumeViaAppleScript: %1 poll_%2=snapshot|state=stopped|"
                 "track=none|artist=none"_s.arg(label)
                     .arg(attempt);
    return lines;
}

} // namespace

class PlaybackResumeTest : public QObject {
    Q_OBJECT
    std::optional<MusicServiceRig> m_rig;

private Q_SLOTS:
    void init() { m_rig.emplace(); }
    void cleanup() { m_rig.reset(); }
    // The library route

    void libraryHitPlaysAtPositionWithoutOtherRoutes() {
        m_rig->music.library = {makeSong(u"lib-1"_s, u"Harvest Moon"_s, u"Someone Else"_s),
                                requestedTrack()};
        const Status status = m_rig->finish(m_rig->service.resume(sentState(93.5)));
        QVERIFY(status.ok());
        QCOMPARE(m_rig->music.current, std::optional<ScriptTrack>(requestedTrack()));
        QCOMPARE(m_rig->music.position, 93.5);
        QCOMPARE(m_rig->lines, QStringList{u"resumeViaAppleScript: library=library_ok"_s});
        QVERIFY(m_rig->links.opened.empty());
        QCOMPARE(m_rig->shortcuts.listCalls, 0);
    }

    void catalogTitleAndArtistAreSearchedInTheLibrary() {
        m_rig->catalog.songsByID[kSongID] =
            CatalogSong{kSongID, u"Harvest Moon"_s, u"Neil Young"_s, std::nullopt};
        m_rig->music.library = {requestedTrack()};
        PlaybackState state = sentState();
        state.songTitle = u"harvest moon (live)"_s; // the sender's own spelling
        QVERIFY(m_rig->finish(m_rig->service.resume(state)).ok());
        QCOMPARE(m_rig->catalog.requests, QStringList{u"lookup:"_s + kSongID});
        QCOMPARE(m_rig->music.current, std::optional<ScriptTrack>(requestedTrack()));
    }

    void failedCatalogLookupIsPrintedAndTheStateIsUsed() {
        m_rig->catalog.lookupFailure = makeError(u"Catalog"_s, 3, u"catalog unreachable"_s);
        m_rig->music.library = {requestedTrack()};
        QVERIFY(m_rig->finish(m_rig->service.resume(sentState())).ok());
        QCOMPARE(m_rig->lines, (QStringList{u"resumeViaAppleScript: catalog resolve failed: "
                                            "catalog unreachable"_s,
                                            u"resumeViaAppleScript: library=library_ok"_s}));
    }

    // The Shortcut route

    void installedShortcutIsRunAndConfirmedByPolling() {
        m_rig->shortcuts.listOutput = "Morning Routine\n  SonavertReceiver \n";
        m_rig->links.onOpen = [this](const QUrl& link) {
            if (link.scheme() == QLatin1String("shortcuts"))
                m_rig->music.startPlaying(requestedTrack(), 0.0);
        };
        QVERIFY(m_rig->finish(m_rig->service.resume(sentState())).ok());
        QCOMPARE(m_rig->links.openedTexts(),
                 QStringList{u"shortcuts://run-shortcut?name=SonavertReceiver&input=1440857781"_s});
        QCOMPARE(m_rig->linesStartingWith(u"resumeViaAppleScript: shortcut"_s),
                 QStringList{u"resumeViaAppleScript: shortcut playing_match at attempt 1"_s});
        QCOMPARE(m_rig->music.position, 60.0);
        QCOMPARE(m_rig->clock.monotonicNow(), Duration(300ms + 250ms)); // one pace, one seek delay
    }

    void pollLinesAppearAtFirstAndEveryFourthAttemptUntilConfirmed() {
        m_rig->shortcuts.listOutput = "SonavertReceiver\n";
        m_rig->links.onOpen = [this](const QUrl&) {
            // The Shortcut takes a while to get the song going.
            m_rig->clock.schedule(1700ms,
                                  [this] { m_rig->music.startPlaying(requestedTrack(), 0.0); });
        };
        QVERIFY(m_rig->finish(m_rig->service.resume(sentState(0.5))).ok());
        QStringList expected = idlePollLines(u"shortcut"_s, {1, 4});
        expected << u"resumeViaAppleScript: shortcut playing_match at attempt 6"_s;
        QCOMPARE(m_rig->linesStartingWith(u"resumeViaAppleScript: shortcut"_s), expected);
        QVERIFY2(m_rig->music.seeks.empty(), "a target under a second confirms without seeking");
    }

    void undeterminedCheckRunsTheShortcutOnlyOnceOffered() {
        for (const bool isOffered : {false, true}) {
            MusicServiceRig rig;
            rig.shortcuts.launchFailure = makeError(u"Process"_s, 2, u"No such file"_s);
            if (isOffered)
                rig.defaults.setBool(u"Sonavert.shortcut.donated"_s, true);
            rig.music.library.clear();
            QVERIFY(!rig.finish(rig.service.resume(sentState())).ok());
            QCOMPARE(rig.lines.at(1), u"isShortcutInstalled: could not run "
                                      "shortcuts CLI: No such file"_s);
            const bool ranShortcut =
                rig.links.openedTexts().first().startsWith(QLatin1String("shortcuts://"));
            QCOMPARE(ranShortcut, isOffered);
        }
    }

    void shortcutAttemptsRunEvenWhenTheShortcutIsMissing() {
        m_rig->shortcuts.listOutput = "sonavertreceiver\nSonavertReceiver copy\n";
        m_rig->links.onOpen = [this](const QUrl& link) {
            if (link.scheme() == QLatin1String("music"))
                m_rig->music.startPlaying(requestedTrack(), 0.0);
        };
        QVERIFY(m_rig->finish(m_rig->service.resume(sentState())).ok());
        QStringList expected = idlePollLines(u"shortcut"_s, {1, 4, 8, 12, 16, 20, 24, 28, 32});
        QCOMPARE(m_rig->linesStartingWith(u"resumeViaAppleScript: shortcut"_s), expected);
        QCOMPARE(m_rig->links.openedTexts(), QStringList{kMusicLink});
        QCOMPARE(m_rig->linesStartingWith(u"resumeViaAppleScript: music_scheme"_s),
                 QStringList{u"resumeViaAppleScript: music_scheme playing_match at attempt 1"_s});
    }

    // Seeking during verification

    void positionWithinTwoSecondsConfirmsAndOneFurtherKeepsSeeking() {
        struct Case {
            double ceiling;
            QString line;
            std::size_t seeks;
        };
        const Case cases[] = {
            {58.0, u"resumeViaAppleScript: shortcut playing_match at attempt 1"_s, 1},
            {57.0,
             u"resumeViaAppleScript: shortcut playing_seek_unconfirmed|target=60.0|"
             "cur=57.0 at attempt 1"_s,
             16},
        };
        for (const Case& c : cases) {
            MusicServiceRig rig;
            rig.shortcuts.listOutput = "SonavertReceiver";
            rig.music.seekCeiling = c.ceiling;
            rig.links.onOpen = [&rig](const QUrl&) { rig.music.startPlaying(requestedTrack(), 0); };
            QVERIFY(rig.finish(rig.service.resume(sentState(60.0))).ok());
            QCOMPARE(rig.linesStartingWith(u"resumeViaAppleScript: shortcut"_s),
                     QStringList{c.line});
            QCOMPARE(rig.music.seeks.size(), c.seeks);
            QCOMPARE(rig.links.opened.size(), std::size_t(1)); // no link route after either
        }
    }

    // Every route failing

    void everyRouteFailingOffersTheShortcutOnceAndRaises() {
        const Status status = m_rig->finish(m_rig->service.resume(sentState()));
        QVERIFY(!status.ok());
        QVERIFY(status.error().is(music_app_error::Code::PlaybackDidNotStart));
        QCOMPARE(status.error().description,
                 u"Music playback did not start (catalog_no_play|hint=install_"
                 "SonavertReceiver_shortcut|url="_s +
                     kWebLink + u")."_s);
        QCOMPARE(m_rig->links.openedTexts(),
                 (QStringList{kMusicLink, u"file:///opt/sonavert/SonavertReceiver.shortcut"_s}));
        QVERIFY(m_rig->defaults.isTrue(u"Sonavert.shortcut.donated"_s));

        QStringList expected{u"resumeViaAppleScript: library=library_miss"_s};
        expected << idlePollLines(u"shortcut"_s, {1, 4, 8, 12, 16, 20, 24, 28, 32});
        expected << idlePollLines(u"music_scheme"_s, {1, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40});
        expected << u"TessaryReceiverInstaller: opening /opt/sonavert/SonavertReceiver.shortcut"_s;
        QCOMPARE(m_rig->lines, expected);
        // 72 checks, each 0.3 s after the one before, and nothing else that takes time.
        QCOMPARE(m_rig->clock.monotonicNow(), Duration(72 * 300ms));
    }

    void catalogWebLinkIsOpenedAndNamedInTheError() {
        const QString catalogLink = u"https://music.sonavert.io/us/song/harvest"_s;
        m_rig->catalog.songsByID[kSongID] =
            CatalogSong{kSongID, u"Harvest Moon"_s, u"Neil Young"_s, catalogLink};
        const Status status = m_rig->finish(m_rig->service.resume(sentState()));
        QVERIFY(status.error().description.endsWith(u"|url="_s + catalogLink + u")."_s));
        QCOMPARE(m_rig->links.openedTexts().first(),
                 u"music://music.sonavert.io/us/song/harvest"_s);
    }

    void missingShortcutFileIsReportedAndLeavesTheFlagAlone() {
        m_rig->shortcutFile.reset();
        QVERIFY(!m_rig->finish(m_rig->service.resume(sentState())).ok());
        QCOMPARE(m_rig->lines.last(), u"TessaryReceiverInstaller: bundled "
                                      "SonavertReceiver.shortcut not found in bundle"_s);
        QVERIFY(!m_rig->defaults.contains(u"Sonavert.shortcut.donated"_s));
    }

    // Stations, consent and events

    void stationOpensItsLinkWithoutVerification() {
        CapturingLogSink log;
        PlaybackState state = sentState(123.0);
        state.stationID = u"ra.985484166"_s;
        QVERIFY(m_rig->finish(m_rig->service.resume(state)).ok());
        QCOMPARE(m_rig->links.openedTexts(),
                 QStringList{u"music://music.sonavert.io/station/ra.985484166"_s});
        QVERIFY(m_rig->music.calls.isEmpty());
        QVERIFY(m_rig->catalog.requests.isEmpty());
        QCOMPARE(m_rig->clock.monotonicNow(), Duration::zero());
        QCOMPARE(log.messages(LogCategory::Playback),
                 (QStringList{u"event=playback_service_resume_requested song_id="_s +
                                  masked(kSongID) + u" is_station=true"_s,
                              u"event=playback_station_open_started station_id="_s +
                                  masked(u"ra.985484166"_s),
                              u"event=playback_catalog_url_opened"_s}));
        QCOMPARE(log.records().at(1).level, LogLevel::Info);
    }

    void emptyStationTextTakesTheSongRoute() {
        PlaybackState state = sentState();
        state.stationID = QString();
        m_rig->music.library = {requestedTrack()};
        QVERIFY(m_rig->finish(m_rig->service.resume(state)).ok());
        QCOMPARE(m_rig->music.current, std::optional<ScriptTrack>(requestedTrack()));
    }

    void withoutConsentNothingPlaysAndNothingIsRaised() {
        CapturingLogSink log;
        m_rig->catalog.isAuthorized = false;
        m_rig->music.library = {requestedTrack()};
        QVERIFY(m_rig->finish(m_rig->service.resume(sentState())).ok());
        QVERIFY(m_rig->music.calls.isEmpty());
        QVERIFY(m_rig->links.opened.empty());
        QCOMPARE(log.messages().last(),
                 u"event=playback_service_resume_rejected reason=not_authorized"_s);
        QCOMPARE(log.records().back().level, LogLevel::Error);
    }

    void songRouteWritesItsEvents() {
        CapturingLogSink log;
        m_rig->shortcuts.listOutput = "SonavertReceiver\n";
        QVERIFY(!m_rig->finish(m_rig->service.resume(sentState())).ok());
        QCOMPARE(log.messages(LogCategory::Playback),
                 (QStringList{u"event=playback_service_resume_requested song_id="_s +
                                  masked(kSongID) + u" is_station=false"_s,
                              u"event=playback_applescript_resume_started "
                              "has_catalog_url=true"_s,
                              u"event=playback_shortcut_invoked"_s,
                              u"event=playback_catalog_url_opened"_s}));
    }

    void unparsableCatalogLinkGoesToThePlayerByScript() {
        m_rig->catalog.songsByID[kSongID] =
            CatalogSong{kSongID, u"Harvest Moon"_s, u"Neil Young"_s, u"https://[bad link"_s};
        QVERIFY(!m_rig->finish(m_rig->service.resume(sentState())).ok());
        QVERIFY(m_rig->music.calls.contains(u"open:https://[bad link"_s));
        QCOMPARE(m_rig->links.opened.size(), std::size_t(1)); // only the installer's file
    }
};

QTEST_GUILESS_MAIN(PlaybackResumeTest)
#include "playback_resume_test.moc"
