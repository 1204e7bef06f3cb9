#include "src/music/player_adapters.h"
#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kOfflineID = u"C0000000-0000-4000-8000-000000000001"_s;

QString statusOf(WindowBridge& bridge, int row) {
    return bridge.devices()->presentationAt(row).statusText;
}

} // namespace

class WindowBridgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstStartWelcomesThenShowsMainWithTheStoreBannerAndTheSheets() {
        WindowRig rig;
        rig.shortcuts.listOutput = QByteArrayLiteral("SonavertReceiver\n");
        auto& bridge = rig.showBridge();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Welcome);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        // The welcome screen holds the start-up work back.
        QCOMPARE(rig.cloud().callCount(u"sessionID"_s), 0);
        QCOMPARE(rig.shortcuts.listCalls, 0);

        bridge.getStarted();
        rig.settle();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        // A current build has no discontinued-version banner.
        QVERIFY(!bridge.mainSections().contains(u"discontinued"_s));
        QCOMPARE(rig.cloud().callCount(u"sessionID"_s), 1);
        QCOMPARE(rig.shortcuts.listCalls, 1);
        // The music question comes first, then the Shortcut sheet over the main content.
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::MusicConsent);
        bridge.answerMusicConsent(true);
        QCOMPARE(rig.defaults().boolValue(ConsentingMusicCatalog::kAllowedKey), true);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::ReceiverOnboarding);
        // Leaving the welcome screen with the switch off writes nothing.
        QVERIFY(!rig.defaults().contains(WindowBridge::kHideWelcomeKey));
    }

    void restartWithTheFlagsSetGoesStraightToTheMainContent() {
        WindowRig rig(kSetUpDone);
        auto& bridge = rig.makeBridge();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QCOMPARE(bridge.mainSections(), (QStringList{"title", "devices", "footer"}));
    }

    void musicQuestionIsAskedOnlyWhileUnanswered() {
        WindowRig rig(kSetUpDone);
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
        WindowRig rig(kSetUpDone);
        rig.defaults().removeObject(receiver_shortcut::kDonatedKey);
        auto& bridge = rig.showBridge(/*withInstaller=*/false);
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
        WindowRig rig(kSetUpDone);
        rig.shortcuts.listOutput = output;
        if (fails)
            rig.shortcuts.launchFailure = Error{u"Process"_s, 2, u"no tool"_s, {}, {}, {}};
        auto& bridge = rig.showBridge();
        QCOMPARE(bridge.receiverMissing(), missing);
        QCOMPARE(bridge.mainSections().contains(u"receiver"_s), missing);
    }

    void bannersKeepTheirOrderWhileATransferHoldsTheRow() {
        WindowRig rig(kSetUpDone);
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        rig.coordinatorRig.music->nowPlaying = teardrop();
        auto& bridge = rig.makeBridge();
        rig.cloud().latency[u"sendHandoff"_s] = 60s;
        // The first pass and the one right after it both fail to fetch.
        for (int pass = 0; pass < 2; ++pass)
            rig.cloud().fetchResults.push_back(
                FakeHandoffService::cloudError(clouddb::CloudErrorCode::NetworkFailure, u"down"_s));
        rig.showWithDevices({device(u"D1"_s, u"Den"_s)}, /*stopLoops=*/true);
        const auto row = [&] { return bridge.devices()->presentationAt(0); };
        QVERIFY(row().areButtonsEnabled);
        // A transfer that hangs shows the activity row and holds the row's buttons; an earlier
        // error stays until replaced.
        bridge.transfer(u"D1"_s);
        rig.settle();
        QVERIFY(rig.coordinator().isTransferring());
        QVERIFY(!row().areButtonsEnabled && row().isPushBusy);
        rig.coordinator().setTransferError(u"Den did not answer."_s);
        bridge.setSuccessorChannel(u"the Debian package"_s);
        QCOMPARE(bridge.mainSections(),
                 (QStringList{"title", "receiver", "discontinued", "nowPlaying", "activity",
                              "transferError", "sync", "devices", "footer"}));
        QCOMPARE(bridge.activityLabel(), u"Sending to Den\u2026"_s);
        QCOMPARE(bridge.transferError(), u"Den did not answer."_s);
        // Closing the error's banner clears the coordinator's error.
        bridge.closeTransferError();
        QVERIFY(!rig.coordinator().transferError());
        QVERIFY(!bridge.mainSections().contains(u"transferError"_s));
        rig.clock().advance(61s);
        QVERIFY(row().areButtonsEnabled);
    }

    // Shown only while the feed marks the channel discontinued, naming where to go; closed,
    // it stays closed after a restart whatever the feed says.
    void discontinuedBannerFollowsTheFeedUntilClosed() {
        WindowRig rig(kSetUpDone);
        auto& bridge = rig.makeBridge();
        QSignalSpy changed(&bridge, &WindowBridge::bannersChanged);
        QVERIFY(!bridge.showDiscontinuedBanner());
        bridge.setSuccessorChannel(u"the sonavert.io apt repository"_s);
        QVERIFY(bridge.showDiscontinuedBanner());
        QVERIFY(bridge.discontinuedText().contains(u"the sonavert.io apt repository"_s));
        bridge.setSuccessorChannel(std::nullopt);
        QVERIFY(!bridge.showDiscontinuedBanner());
        QCOMPARE(changed.count(), 2);

        bridge.setSuccessorChannel(u"the sonavert.io apt repository"_s);
        bridge.closeDiscontinuedBanner();
        QVERIFY(!bridge.showDiscontinuedBanner());
        QCOMPARE(changed.count(), 4);
        QCOMPARE(rig.defaults().boolValue(WindowBridge::kDiscontinuedBannerDismissedKey), true);
        auto& restarted = rig.makeBridge();
        restarted.setSuccessorChannel(u"the sonavert.io apt repository"_s);
        QVERIFY(!restarted.showDiscontinuedBanner());
    }

    void nowPlayingFollowsTheCurrentStateAndGatesPush() {
        WindowRig rig(kSetUpDone);
        auto& bridge = rig.makeBridge();
        rig.showWithDevices({device(u"D1"_s, u"Den"_s)}, /*stopLoops=*/true);
        QVERIFY(!bridge.canPush());
        QVERIFY(!bridge.mainSections().contains(u"nowPlaying"_s));
        QVERIFY(!bridge.devices()->presentationAt(0).showsPush);
        bridge.transfer(u"D1"_s);
        rig.settle();
        QVERIFY(!rig.coordinator().isTransferring());
        QCOMPARE(rig.cloud().callCount(u"sendHandoff"_s), 0);

        rig.coordinatorRig.music->nowPlaying = teardrop(u"Mezzanine"_s);
        rig.coordinator().start();
        rig.clock().advance(100ms);
        QVERIFY(bridge.canPush());
        QCOMPARE(bridge.nowPlayingTitle(), u"Teardrop"_s);
        QCOMPARE(bridge.nowPlayingArtist(), u"Massive Attack"_s);
        QVERIFY(bridge.hasNowPlayingAlbum());
        QCOMPARE(bridge.nowPlayingAlbum(), u"Mezzanine"_s);
        QCOMPARE(bridge.nowPlayingElapsed(), u"1:15"_s);
        QCOMPARE(bridge.nowPlayingSource(), QString());
        QVERIFY(bridge.devices()->presentationAt(0).showsPush);

        // Without an album the panel has three lines, not four.
        rig.coordinatorRig.music->nowPlaying = teardrop();
        rig.clock().advance(2s);
        QVERIFY(!bridge.hasNowPlayingAlbum());
        QCOMPARE(bridge.nowPlayingAlbum(), QString());
        QCOMPARE(bridge.nowPlayingTitle(), u"Teardrop"_s);

        // Played from another computer's copy: the panel says so.
        rig.coordinatorRig.music->nowPlaying->isRelayed = true;
        rig.clock().advance(2s);
        QCOMPARE(bridge.nowPlayingSource(), u"Playing from another computer"_s);
    }

    void offlineTextsStayCurrentWhileTheWindowIsShown() {
        WindowRig rig(kSetUpDone);
        auto& bridge = rig.makeBridge();
        AppDevice attic = device(kOfflineID, u"Attic"_s, DevicePresence::Offline);
        attic.lastSeen = rig.clock().now().addSeconds(-59);
        rig.showWithDevices({attic}, /*stopLoops=*/true);
        const double shownAfter = rig.clock().now().secondsSince(attic.lastSeen);
        QVERIFY(shownAfter < 60);
        QCOMPARE(statusOf(bridge, 0), u"Offline"_s);
        rig.clock().advance(std::chrono::milliseconds(qint64((60 - shownAfter) * 1000) + 10));
        QCOMPARE(statusOf(bridge, 0), u"Offline \u00b7 1m ago"_s);
        rig.clock().advance(60s);
        QCOMPARE(statusOf(bridge, 0), u"Offline \u00b7 2m ago"_s);

        // Hidden, nothing ticks; shown again, the text is fresh at once.
        bridge.setWindowVisible(false);
        rig.clock().advance(3600s);
        QCOMPARE(statusOf(bridge, 0), u"Offline \u00b7 2m ago"_s);
        bridge.setWindowVisible(true);
        QCOMPARE(statusOf(bridge, 0), u"Offline \u00b7 1h ago"_s);
    }

    void waveformMovesOnlyWhileShownWithAnimationsOn() {
        WindowRig rig(kSetUpDone);
        auto& bridge = rig.makeBridge();
        AppDevice studio = device(u"D1"_s, u"Studio"_s);
        studio.nowPlaying = teardrop();
        rig.showWithDevices({studio}, /*stopLoops=*/true);
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
};

QTEST_GUILESS_MAIN(WindowBridgeTest)
#include "window_bridge_test.moc"
