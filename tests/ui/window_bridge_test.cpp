#include "src/music/player_adapters.h"
#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

namespace {

const QString kOfflineID = QStringLiteral("C0000000-0000-4000-8000-000000000001");

PlaybackState song(std::optional<QString> album = std::nullopt) {
    PlaybackState s;
    s.songID = QStringLiteral("1");
    s.songTitle = QStringLiteral("Teardrop");
    s.artistName = QStringLiteral("Massive Attack");
    s.albumTitle = std::move(album);
    s.playbackTime = 75.9;
    return s;
}

/// Shows the bridge's window and runs the coordinator's first pass with `devices`, then stops
/// its loops so only the window's own timers move anything.
void showWithDevices(WindowRig& rig, const DeviceList& devices) {
    rig.cloud().fetchDefault = devices;
    rig.cloud().peers = devices;
    rig.bridge->setWindowVisible(true);
    rig.clock().runUntil([&] { return !rig.coordinator().isDiscovering(); }, 10s);
    rig.coordinator().stop();
    rig.settle();
}

QString statusOf(WindowBridge& bridge, int row) {
    return bridge.devices()->presentationAt(row).statusText;
}

} // namespace

class WindowBridgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstStartWelcomesThenShowsMainWithTheStoreBannerAndTheSheets() {
        WindowRig rig;
        auto& bridge = rig.makeBridge();
        rig.shortcuts.listOutput = QByteArrayLiteral("SonavertReceiver\n");
        bridge.setWindowVisible(true);
        rig.settle();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Welcome);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        // The welcome screen holds the start-up work back.
        QCOMPARE(rig.cloud().callCount(QStringLiteral("sessionID")), 0);
        QCOMPARE(rig.shortcuts.listCalls, 0);

        bridge.getStarted();
        rig.settle();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        // A current build has no discontinued-version banner.
        QVERIFY(!bridge.mainSections().contains(QStringLiteral("discontinued")));
        QCOMPARE(rig.cloud().callCount(QStringLiteral("sessionID")), 1);
        QCOMPARE(rig.shortcuts.listCalls, 1);
        // The music question comes first, then the Shortcut sheet over the main content.
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::MusicConsent);
        bridge.answerMusicConsent(true);
        QCOMPARE(rig.defaults().boolValue(ConsentingMusicCatalog::kAllowedKey), true);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::ReceiverOnboarding);
        // Leaving the welcome screen with the switch off writes nothing.
        QVERIFY(!rig.defaults().contains(WindowBridge::kHideWelcomeKey));
    }

    void getStartedWithTheSwitchOnRemembersIt() {
        WindowRig rig;
        auto& bridge = rig.makeBridge();
        bridge.setDontShowWelcomeAgain(true);
        QVERIFY(!rig.defaults().contains(WindowBridge::kHideWelcomeKey));
        bridge.getStarted();
        QCOMPARE(rig.defaults().boolValue(WindowBridge::kHideWelcomeKey), true);
    }

    void restartWithTheFlagsSetGoesStraightToTheMainContent() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QCOMPARE(bridge.mainSections(), (QStringList{"title", "devices", "footer"}));
    }

    void musicQuestionIsAskedOnlyWhileUnanswered() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.defaults().setBool(ConsentingMusicCatalog::kAllowedKey, false);
        QCOMPARE(rig.makeBridge().sheet(), WindowBridge::Sheet::NoSheet);
        rig.defaults().removeObject(ConsentingMusicCatalog::kAllowedKey);
        auto& asked = rig.makeBridge();
        QCOMPARE(asked.sheet(), WindowBridge::Sheet::MusicConsent);
        // Closing the question's window answers nothing: it is asked again next start.
        asked.closeSheet();
        QCOMPARE(asked.sheet(), WindowBridge::Sheet::NoSheet);
        QVERIFY(!rig.defaults().contains(ConsentingMusicCatalog::kAllowedKey));
    }

    void withoutAnInstallerThereIsNoReceiverBannerOrSheet() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.defaults().removeObject(receiver_shortcut::kDonatedKey);
        auto& bridge = rig.makeBridge(/*withInstaller=*/false);
        bridge.setWindowVisible(true);
        rig.settle();
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QVERIFY(!bridge.receiverMissing());
        QCOMPARE(rig.shortcuts.listCalls, 0);
    }

    void receiverCheckShowsTheBannerOnlyWhenSurelyNotInstalled_data() {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<bool>("missing");
        QTest::newRow("installed")
            << QByteArray("Morning\n  SonavertReceiver \n") << false << false;
        QTest::newRow("not installed")
            << QByteArray("Morning\nSonavertReceiver Old\n") << false << true;
        QTest::newRow("tool cannot run") << QByteArray() << true << false;
        QTest::newRow("output not UTF-8") << QByteArray("\xff\xfe") << false << false;
    }
    void receiverCheckShowsTheBannerOnlyWhenSurelyNotInstalled() {
        QFETCH(QByteArray, output);
        QFETCH(bool, fails);
        QFETCH(bool, missing);
        WindowRig rig;
        rig.markSetUpDone();
        rig.shortcuts.listOutput = output;
        if (fails)
            rig.shortcuts.launchFailure =
                Error{QStringLiteral("Process"), 2, QStringLiteral("no tool"), {}, {}, {}};
        auto& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        rig.settle();
        QCOMPARE(bridge.receiverMissing(), missing);
        QCOMPARE(bridge.mainSections().contains(QStringLiteral("receiver")), missing);
    }

    void bannersKeepTheirOrder() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        rig.coordinatorRig.music->nowPlaying = song();
        auto& bridge = rig.makeBridge();
        rig.cloud().latency[QStringLiteral("sendHandoff")] = 60s;
        // The first pass and the one right after it both fail to fetch.
        for (int pass = 0; pass < 2; ++pass)
            rig.cloud().fetchResults.push_back(FakeHandoffService::cloudError(
                clouddb::CloudErrorCode::NetworkFailure, QStringLiteral("down")));
        showWithDevices(rig, {device(QStringLiteral("D1"), QStringLiteral("Den"))});
        // A transfer that hangs shows the activity row; an earlier error stays until replaced.
        bridge.transfer(QStringLiteral("D1"));
        rig.settle();
        rig.coordinator().setTransferError(QStringLiteral("Den did not answer."));
        bridge.setSuccessorChannel(QStringLiteral("the Debian package"));
        QCOMPARE(bridge.mainSections(),
                 (QStringList{"title", "receiver", "discontinued", "nowPlaying", "activity",
                              "transferError", "sync", "devices", "footer"}));
        QCOMPARE(bridge.activityLabel(), QStringLiteral("Sending to Den\u2026"));
        QCOMPARE(bridge.transferError(), QStringLiteral("Den did not answer."));
    }

    // Shown only while the feed marks the channel discontinued, naming where to go; closed,
    // it stays closed after a restart whatever the feed says.
    void discontinuedBannerFollowsTheFeedUntilClosed() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        QSignalSpy changed(&bridge, &WindowBridge::bannersChanged);
        QVERIFY(!bridge.showDiscontinuedBanner());
        bridge.setSuccessorChannel(QStringLiteral("the sonavert.io apt repository"));
        QVERIFY(bridge.showDiscontinuedBanner());
        QVERIFY(
            bridge.discontinuedText().contains(QStringLiteral("the sonavert.io apt repository")));
        bridge.setSuccessorChannel(std::nullopt);
        QVERIFY(!bridge.showDiscontinuedBanner());
        QCOMPARE(changed.count(), 2);

        bridge.setSuccessorChannel(QStringLiteral("the sonavert.io apt repository"));
        bridge.closeDiscontinuedBanner();
        QVERIFY(!bridge.showDiscontinuedBanner());
        QCOMPARE(changed.count(), 4);
        QCOMPARE(rig.defaults().boolValue(WindowBridge::kDiscontinuedBannerDismissedKey), true);
        auto& restarted = rig.makeBridge();
        restarted.setSuccessorChannel(QStringLiteral("the sonavert.io apt repository"));
        QVERIFY(!restarted.showDiscontinuedBanner());
    }

    void nowPlayingFollowsTheCurrentStateAndGatesPush() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        showWithDevices(rig, {device(QStringLiteral("D1"), QStringLiteral("Den"))});
        QVERIFY(!bridge.canPush());
        QVERIFY(!bridge.mainSections().contains(QStringLiteral("nowPlaying")));
        QVERIFY(!bridge.devices()->presentationAt(0).showsPush);

        rig.coordinatorRig.music->nowPlaying = song(QStringLiteral("Mezzanine"));
        rig.coordinator().start();
        rig.clock().advance(100ms);
        QVERIFY(bridge.canPush());
        QCOMPARE(bridge.nowPlayingTitle(), QStringLiteral("Teardrop"));
        QCOMPARE(bridge.nowPlayingArtist(), QStringLiteral("Massive Attack"));
        QVERIFY(bridge.hasNowPlayingAlbum());
        QCOMPARE(bridge.nowPlayingAlbum(), QStringLiteral("Mezzanine"));
        QCOMPARE(bridge.nowPlayingElapsed(), QStringLiteral("1:15"));
        QCOMPARE(bridge.nowPlayingSource(), QString());
        QVERIFY(bridge.devices()->presentationAt(0).showsPush);

        // Without an album the panel has three lines, not four.
        rig.coordinatorRig.music->nowPlaying = song();
        rig.clock().advance(2s);
        QVERIFY(!bridge.hasNowPlayingAlbum());
        QCOMPARE(bridge.nowPlayingAlbum(), QString());
        QCOMPARE(bridge.nowPlayingTitle(), QStringLiteral("Teardrop"));

        // Played from another computer's copy: the panel says so.
        rig.coordinatorRig.music->nowPlaying->isRelayed = true;
        rig.clock().advance(2s);
        QCOMPARE(bridge.nowPlayingSource(), QStringLiteral("Playing from another computer"));
    }

    void versionLineShowsAQuestionMarkForAMissingBuild() {
        WindowRig rig;
        auto& bridge = rig.makeBridge(true, QString());
        QCOMPARE(bridge.versionLine(), QStringLiteral("Sonavert version 1.4 (?)"));
        QCOMPARE(bridge.versionAccessibilityLabel(),
                 QStringLiteral("Sonavert version 1.4, build ?"));
    }

    void offlineTextsStayCurrentWhileTheWindowIsShown() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        AppDevice attic = device(kOfflineID, QStringLiteral("Attic"), DevicePresence::Offline);
        attic.lastSeen = rig.clock().now().addSeconds(-59);
        showWithDevices(rig, {attic});
        const double shownAfter = rig.clock().now().secondsSince(attic.lastSeen);
        QVERIFY(shownAfter < 60);
        QCOMPARE(statusOf(bridge, 0), QStringLiteral("Offline"));
        rig.clock().advance(std::chrono::milliseconds(qint64((60 - shownAfter) * 1000) + 10));
        QCOMPARE(statusOf(bridge, 0), QStringLiteral("Offline \u00b7 1m ago"));
        rig.clock().advance(60s);
        QCOMPARE(statusOf(bridge, 0), QStringLiteral("Offline \u00b7 2m ago"));

        // Hidden, nothing ticks; shown again, the text is fresh at once.
        bridge.setWindowVisible(false);
        rig.clock().advance(3600s);
        QCOMPARE(statusOf(bridge, 0), QStringLiteral("Offline \u00b7 2m ago"));
        bridge.setWindowVisible(true);
        QCOMPARE(statusOf(bridge, 0), QStringLiteral("Offline \u00b7 1h ago"));
    }

    void waveformMovesOnlyWhileShownWithAnimationsOn() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        AppDevice studio = device(QStringLiteral("D1"), QStringLiteral("Studio"));
        studio.nowPlaying = song();
        showWithDevices(rig, {studio});
        auto* list = bridge.devices();
        rig.clock().advance(200ms);
        const QList<qreal> first = list->waveformHeights();
        rig.clock().advance(WindowBridge::kWaveformFrameInterval);
        QVERIFY(list->waveformHeights() != first);
        const double t = rig.clock().now().secondsSinceReferenceDate;
        QVERIFY(qAbs(list->waveformHeights()[0] -
                     device_rows::waveformBarHeight(t, device_rows::kWaveformPhases[0])) < 1.0);

        bridge.setWindowVisible(false);
        const QList<qreal> hidden = list->waveformHeights();
        rig.clock().advance(1s);
        QCOMPARE(list->waveformHeights(), hidden);

        bridge.setWindowVisible(true);
        bridge.setAnimationsEnabled(false);
        QCOMPARE(list->waveformHeights(), (QList<qreal>{5, 11, 8, 6}));
        rig.clock().advance(1s);
        QCOMPARE(list->waveformHeights(), (QList<qreal>{5, 11, 8, 6}));
        QVERIFY(!bridge.animationsRunning());
    }

    void listFlagsReachTheRows() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.coordinatorRig.music->nowPlaying = song();
        auto& bridge = rig.makeBridge();
        rig.cloud().latency[QStringLiteral("sendHandoff")] = 60s;
        showWithDevices(rig, {device(QStringLiteral("D1"), QStringLiteral("Den"))});
        QVERIFY(bridge.devices()->presentationAt(0).areButtonsEnabled);
        bridge.transfer(QStringLiteral("D1"));
        rig.settle();
        QVERIFY(rig.coordinator().isTransferring());
        QVERIFY(!bridge.devices()->presentationAt(0).areButtonsEnabled);
        QVERIFY(bridge.devices()->presentationAt(0).isPushBusy);
        rig.clock().advance(61s);
        QVERIFY(bridge.devices()->presentationAt(0).areButtonsEnabled);
    }
};

QTEST_GUILESS_MAIN(WindowBridgeTest)
#include "window_bridge_test.moc"
