#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"

#include <QTest>
#include <QUrlQuery>

using namespace sonavert;
using namespace sonavert::test;

namespace {

PlaybackState song() {
    PlaybackState s;
    s.songID = QStringLiteral("1");
    s.songTitle = QStringLiteral("Teardrop");
    s.artistName = QStringLiteral("Massive Attack");
    return s;
}

AppDevice playingDevice(const QString& id, const QString& name) {
    AppDevice d = device(id, name);
    d.nowPlaying = song();
    return d;
}

void showWithDevices(WindowRig& rig, const DeviceList& devices) {
    rig.cloud().fetchDefault = devices;
    rig.cloud().peers = devices;
    rig.bridge->setWindowVisible(true);
    rig.clock().runUntil([&] { return !rig.coordinator().isDiscovering(); }, 10s);
    rig.settle();
}

} // namespace

class WindowBridgeActionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void notNowClosesTheSheetForGoodButKeepsTheBanner() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.defaults().removeObject(receiver_shortcut::kDonatedKey);
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        auto& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        rig.settle();
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::ReceiverOnboarding);
        bridge.notNow();
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QCOMPARE(rig.defaults().boolValue(receiver_shortcut::kDonatedKey), true);
        QVERIFY(rig.links.opened.empty());
        QVERIFY(bridge.receiverMissing());
        // After a restart the sheet stays away; the banner comes back with the check.
        auto& restarted = rig.makeBridge();
        restarted.setWindowVisible(true);
        rig.settle();
        QCOMPARE(restarted.sheet(), WindowBridge::Sheet::NoSheet);
        QVERIFY(restarted.receiverMissing());
    }

    void installShortcutOpensTheFileAndClosesTheSheet() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.defaults().removeObject(receiver_shortcut::kDonatedKey);
        auto& bridge = rig.makeBridge();
        bridge.installShortcut();
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QCOMPARE(rig.links.openedTexts(),
                 QStringList{QUrl::fromLocalFile(
                                 QStringLiteral("/usr/share/sonavert/SonavertReceiver.shortcut"))
                                 .toString()});
        QCOMPARE(rig.defaults().boolValue(receiver_shortcut::kDonatedKey), true);
    }

    // The import's dialog is answered in the user's own time: the banner is looked at every
    // three seconds after an offer until the Shortcut shows, then no more.
    void addShortcutChecksAgainUntilTheDialogIsAnswered() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        auto& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        rig.settle();
        QVERIFY(bridge.receiverMissing());
        const int listedBefore = rig.shortcuts.listCalls;
        bridge.addShortcut();
        QCOMPARE(rig.links.opened.size(), std::size_t(1));
        rig.clock().advance(6100ms);
        QVERIFY(bridge.receiverMissing());
        QCOMPARE(rig.shortcuts.listCalls, listedBefore + 2);
        // The user says yes in the dialog now.
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\nSonavertReceiver\n");
        rig.clock().advance(2900ms);
        QVERIFY(!bridge.receiverMissing());
        QVERIFY(!bridge.mainSections().contains(QStringLiteral("receiver")));
        rig.clock().advance(60s);
        QCOMPARE(rig.shortcuts.listCalls, listedBefore + 3);
    }

    // The offer at launch comes from the installer, not from a button: the banner follows it
    // too, and a user who never answers is not looked after for ever.
    void anOfferFromElsewhereIsFollowedForAWhile() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        rig.settle();
        QVERIFY(bridge.receiverMissing());
        const int listedBefore = rig.shortcuts.listCalls;
        QVERIFY(rig.installer->install());
        rig.clock().advance(WindowBridge::kReceiverRecheckDelay *
                            (WindowBridge::kReceiverRecheckCount + 10));
        QCOMPARE(rig.shortcuts.listCalls, listedBefore + WindowBridge::kReceiverRecheckCount);
        QVERIFY(bridge.receiverMissing());
    }

    void reviewRequestIsTakenAtOnceAndMadeThreeSecondsLater() {
        WindowRig rig;
        auto& bridge = rig.makeBridge();
        Q_UNUSED(bridge);
        rig.coordinator().setShouldRequestReview(true);
        QVERIFY(!rig.coordinator().shouldRequestReview());
        rig.clock().advance(1s);
        rig.coordinator().setShouldRequestReview(true);
        QVERIFY(!rig.coordinator().shouldRequestReview());
        rig.clock().advance(1900ms);
        QCOMPARE(rig.actions.reviewRequests, 0);
        rig.clock().advance(200ms);
        QCOMPARE(rig.actions.reviewRequests, 1);
        rig.clock().advance(1s);
        QCOMPARE(rig.actions.reviewRequests, 2);
        // Taking it back to false is no request.
        rig.coordinator().setShouldRequestReview(false);
        rig.clock().advance(5s);
        QCOMPARE(rig.actions.reviewRequests, 2);
    }

    void closingTheErrorBannerClearsTheCoordinatorsError() {
        WindowRig rig;
        auto& bridge = rig.makeBridge();
        rig.coordinator().setTransferError(QStringLiteral("Den did not answer."));
        QVERIFY(bridge.mainSections().contains(QStringLiteral("transferError")));
        bridge.closeTransferError();
        QVERIFY(!rig.coordinator().transferError());
        QVERIFY(!bridge.mainSections().contains(QStringLiteral("transferError")));
    }

    void rowActionsReachTheCoordinator() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.coordinatorRig.music->nowPlaying = song();
        auto& bridge = rig.makeBridge();
        const QString den = QStringLiteral("D1"), studio = QStringLiteral("D2");
        showWithDevices(rig, {device(den, QStringLiteral("Den")),
                              playingDevice(studio, QStringLiteral("Studio"))});
        rig.clock().advance(100ms);

        bridge.devices()->transfer(den);
        rig.clock().runUntil([&] { return !rig.coordinator().isTransferring(); }, 20s);
        QCOMPARE(rig.cloud().sentHandoffs.size(), 1);
        QCOMPARE(rig.cloud().sentHandoffs[0].second, den);

        bridge.devices()->pull(studio);
        rig.settle();
        QCOMPARE(rig.cloud().sentPullRequests.size(), 1);
        QCOMPARE(rig.cloud().sentPullRequests[0].first, studio);
        // A second pull while one waits is not started.
        bridge.pull(studio);
        rig.settle();
        QCOMPARE(rig.cloud().sentPullRequests.size(), 1);
        rig.coordinator().finishPull();

        const auto favoriteOf = [&](const QString& id) {
            for (const AppDevice& d : rig.coordinator().devices()) {
                if (d.id == id)
                    return d.isFavorite;
            }
            return false;
        };
        const bool before = favoriteOf(studio);
        bridge.devices()->toggleFavorite(studio);
        QCOMPARE(favoriteOf(studio), !before);
        // The favourite leads the list; without one, names order it.
        QCOMPARE(bridge.devices()->deviceAt(0).id, favoriteOf(studio) ? studio : den);

        bridge.devices()->forget(den);
        QCOMPARE(rig.coordinator().devices().size(), 1);
        QCOMPARE(bridge.devices()->count(), 1);
        QCOMPARE(bridge.devices()->deviceAt(0).id, studio);
    }

    void anUnverifiedRowOffersItsVerificationInsteadOfPush() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.keys = std::make_unique<KeysRig>();
        rig.keys->start();
        rig.keysOf = &rig.keys->kitchen->keys;
        rig.coordinatorRig.accountKeys = std::make_shared<FakeAccountKeys>();
        rig.coordinatorRig.accountKeys->holding = {{kStudyID, false}};
        rig.coordinatorRig.make();
        rig.cloud().fetchDefault = {device(kStudyID, QStringLiteral("Study"))};
        rig.cloud().peers = rig.cloud().fetchDefault;
        rig.coordinatorRig.music->nowPlaying = PlaybackState{
            QStringLiteral("s"), 1.0, QStringLiteral("Song"), QStringLiteral("A"), {}, {}, {}};
        WindowBridge& bridge = rig.makeBridge();
        rig.coordinator().start();
        rig.clock().runUntil([&] { return !rig.coordinator().isDiscovering(); }, 10s);
        rig.clock().advance(2s); // the playback loop samples the player: push is possible
        const DeviceRowPresentation& row = bridge.devices()->presentationAt(0);
        QCOMPARE(row.statusText, QStringLiteral("Not verified yet"));
        QVERIFY(row.showsVerify);
        QVERIFY(!row.showsPush && !row.showsPull);

        bridge.verify(kStudyID);
        KeysBridge& keys = *bridge.keys();
        QVERIFY(keys.isOpen() && !keys.isJoining());
        QCOMPARE(keys.otherName(), QStringLiteral("Study"));
        QVERIFY(rig.keys->runUntil([&] { return keys.phase() == KeysBridge::Phase::Comparing; }));
    }

    void pushWithNothingPlayingHereIsNotStarted() {
        WindowRig rig;
        rig.markSetUpDone();
        auto& bridge = rig.makeBridge();
        showWithDevices(rig, {device(QStringLiteral("D1"), QStringLiteral("Den"))});
        bridge.transfer(QStringLiteral("D1"));
        rig.settle();
        QVERIFY(!rig.coordinator().isTransferring());
        QCOMPARE(rig.cloud().callCount(QStringLiteral("sendHandoff")), 0);
    }

    void downloadLinkOpensTheMailToSupport() {
        WindowRig rig;
        rig.makeBridge().getDownloadLink();
        QCOMPARE(rig.actions.openedUrls.size(), 1);
        const QUrl mail = rig.actions.openedUrls[0];
        QCOMPARE(mail.scheme(), QStringLiteral("mailto"));
        QCOMPARE(mail.path(), QStringLiteral("support@sonavert.io"));
        QCOMPARE(QUrlQuery(mail).queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
                 QStringLiteral("Sonavert Download Link"));
    }

    void contactSupportSendsTheFooterAndTheWindowsPicture() {
        WindowRig rig;
        rig.snapshotImage = QImage(36, 52, QImage::Format_ARGB32);
        rig.snapshotImage.fill(Qt::red);
        rig.actions.model.clear();
        rig.makeBridge().contactSupport();
        QCOMPARE(rig.actions.supportMails.size(), 1);
        const auto& mail = rig.actions.supportMails[0];
        QCOMPARE(mail.address, QStringLiteral("support@sonavert.io"));
        QCOMPARE(mail.subject, QStringLiteral("Sonavert Help"));
        QVERIFY(mail.body.startsWith(QStringLiteral("\n\n\u2014\u2014 Please describe")));
        QVERIFY(mail.body.contains(QStringLiteral(
            "App: Sonavert 1.4 (42)\nOS: Debian GNU/Linux 12 (bookworm)\nDevice: Computer")));
        QCOMPARE(mail.snapshot.size(), QSize(36, 52));
    }

    void footerCommandsAndHelp() {
        WindowRig rig;
        auto& bridge = rig.makeBridge();
        bridge.checkForUpdates();
        bridge.quit();
        QCOMPARE(rig.actions.updateChecks, 1);
        QCOMPARE(rig.actions.quits, 1);
        bridge.showHelp();
        QVERIFY(bridge.isShowingHelp());
        bridge.closeHelp();
        QVERIFY(!bridge.isShowingHelp());
    }

    void everyShowingOfTheMainContentChecksTheReceiverAgain() {
        WindowRig rig;
        rig.markSetUpDone();
        rig.shortcuts.listOutput = QByteArrayLiteral("SonavertReceiver\n");
        auto& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        rig.settle();
        QVERIFY(!bridge.receiverMissing());
        // Removed while the window was closed: the next opening shows the banner.
        bridge.setWindowVisible(false);
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        bridge.setWindowVisible(true);
        rig.settle();
        QVERIFY(bridge.receiverMissing());
        QCOMPARE(rig.shortcuts.listCalls, 2);
        // The coordinator's own guard keeps a second start from doubling its loops.
        QCOMPARE(rig.cloud().callCount(QStringLiteral("sessionID")), 1);
    }
};

QTEST_GUILESS_MAIN(WindowBridgeActionsTest)
#include "window_bridge_actions_test.moc"
