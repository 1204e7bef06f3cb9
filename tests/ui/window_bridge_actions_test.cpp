#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

class WindowBridgeActionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void notNowClosesTheSheetForGoodButKeepsTheBanner() {
        WindowRig rig(kSetUpDone);
        rig.defaults().removeObject(receiver_shortcut::kDonatedKey);
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        auto& bridge = rig.showBridge();
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::ReceiverOnboarding);
        bridge.notNow();
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QCOMPARE(rig.defaults().boolValue(receiver_shortcut::kDonatedKey), true);
        QVERIFY(rig.links.opened.empty());
        QVERIFY(bridge.receiverMissing());
        // After a restart the sheet stays away; the banner comes back with the check.
        auto& restarted = rig.showBridge();
        QCOMPARE(restarted.sheet(), WindowBridge::Sheet::NoSheet);
        QVERIFY(restarted.receiverMissing());
    }

    // The import's dialog is answered in the user's own time: the banner is looked at every
    // three seconds after an offer until the Shortcut shows, then no more.
    void theReceiverIsCheckedAfterAnOfferAndOnEveryShowing() {
        WindowRig rig(kSetUpDone);
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        auto& bridge = rig.showBridge();
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
        QVERIFY(!bridge.mainSections().contains(u"receiver"_s));
        rig.clock().advance(60s);
        QCOMPARE(rig.shortcuts.listCalls, listedBefore + 3);
        // Removed while the window was closed: the next opening shows the banner again.
        bridge.setWindowVisible(false);
        rig.shortcuts.listOutput = QByteArrayLiteral("Other\n");
        bridge.setWindowVisible(true);
        rig.settle();
        QVERIFY(bridge.receiverMissing());
        QCOMPARE(rig.shortcuts.listCalls, listedBefore + 4);
        // The coordinator's own guard keeps a second start from doubling its loops.
        QCOMPARE(rig.cloud().callCount(u"sessionID"_s), 1);
    }

    // The offer at launch comes from the installer, not from a button: the banner follows it
    // too, and a user who never answers is not looked after for ever.
    void anOfferFromElsewhereIsFollowedForAWhile() {
        WindowRig rig(kSetUpDone);
        auto& bridge = rig.showBridge();
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
        rig.makeBridge();
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

    void rowActionsReachTheCoordinator() {
        WindowRig rig(kSetUpDone);
        rig.coordinatorRig.music->nowPlaying = teardrop();
        auto& bridge = rig.makeBridge();
        const QString den = u"D1"_s, studio = u"D2"_s;
        AppDevice playing = device(studio, u"Studio"_s);
        playing.nowPlaying = teardrop();
        rig.showWithDevices({device(den, u"Den"_s), playing});
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
        WindowRig rig(kSetUpDone);
        rig.keys = std::make_unique<KeysRig>();
        rig.keys->start();
        rig.keysOf = &rig.keys->kitchen->keys;
        rig.coordinatorRig.accountKeys = std::make_shared<FakeAccountKeys>();
        rig.coordinatorRig.accountKeys->holding = {{kStudyID, false}};
        rig.coordinatorRig.make();
        rig.cloud().fetchDefault = {device(kStudyID, u"Study"_s)};
        rig.cloud().peers = rig.cloud().fetchDefault;
        rig.coordinatorRig.music->nowPlaying =
            PlaybackState{u"s"_s, 1.0, u"Song"_s, u"A"_s, {}, {}, {}};
        WindowBridge& bridge = rig.makeBridge();
        rig.coordinator().start();
        rig.clock().runUntil([&] { return !rig.coordinator().isDiscovering(); }, 10s);
        rig.clock().advance(2s); // the playback loop samples the player: push is possible
        const DeviceRowPresentation& row = bridge.devices()->presentationAt(0);
        QCOMPARE(row.statusText, u"Not verified yet"_s);
        QVERIFY(row.showsVerify);
        QVERIFY(!row.showsPush && !row.showsPull);

        bridge.verify(kStudyID);
        KeysBridge& keys = *bridge.keys();
        QVERIFY(keys.isOpen() && !keys.isJoining());
        QCOMPARE(keys.otherName(), u"Study"_s);
        QVERIFY(rig.keys->runUntil([&] { return keys.phase() == KeysBridge::Phase::Comparing; }));
    }

    void contactSupportSendsTheFooterAndTheWindowsPicture() {
        WindowRig rig;
        rig.snapshotImage = QImage(36, 52, QImage::Format_ARGB32);
        rig.snapshotImage.fill(Qt::red);
        rig.actions.model.clear();
        rig.makeBridge().contactSupport();
        QCOMPARE(rig.actions.supportMails.size(), 1);
        const auto& mail = rig.actions.supportMails[0];
        QCOMPARE(mail.address, u"support@sonavert.io"_s);
        QCOMPARE(mail.subject, u"Sonavert Help"_s);
        QVERIFY(mail.body.startsWith(u"\n\n\u2014\u2014 Please describe"_s));
        QVERIFY(mail.body.contains(QStringLiteral(
            "App: Sonavert 1.4 (42)\nOS: Debian GNU/Linux 12 (bookworm)\nDevice: Computer")));
        QCOMPARE(mail.snapshot.size(), QSize(36, 52));
    }
};

QTEST_GUILESS_MAIN(WindowBridgeActionsTest)
#include "window_bridge_actions_test.moc"
