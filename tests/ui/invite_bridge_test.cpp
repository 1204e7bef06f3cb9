#include "src/account/account_keys.h"
#include "src/ui/invite_bridge.h"
#include "src/ui/window_bridge.h"
#include "src/ui/window_texts.h"
#include "tests/ui/window_rig.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

/// A signed-in window, shown.
WindowBridge& signedInWindow(WindowRig& rig) {
    rig.markSetUpDone();
    rig.usesAccount = true;
    rig.account.setSignedIn(QUrl(u"http://192.168.1.20:8470"_s));
    return rig.showBridge();
}

} // namespace

class InviteBridgeTest : public QObject {
    Q_OBJECT

    /// Kitchen's window, Kitchen holding the account's key, Study not signed in yet.
    static KeysRig& withKitchenHoldingTheKey(WindowRig& rig) {
        rig.keys = std::make_unique<KeysRig>();
        KeysRig& keysRig = *rig.keys;
        keysRig.kitchen->keys.setAccount(kAccount);
        keysRig.runUntil(
            [&] { return keysRig.kitchen->keys.state() == AccountKeys::State::Verified; });
        rig.keysOf = &keysRig.kitchen->keys;
        return keysRig;
    }

private Q_SLOTS:
    // The computer that signs in with the code goes straight into its verification: the
    // invitation gives way to the verification dialog, and both screens reach the same code.
    void theDialogTurnsIntoTheVerificationOfTheComputerItBrings() {
        WindowRig rig;
        KeysRig& keysRig = withKitchenHoldingTheKey(rig);
        WindowBridge& bridge = signedInWindow(rig);
        InviteBridge& invite = *bridge.invite();
        KeysBridge& keys = *bridge.keys();
        bridge.addAnotherComputer();
        QVERIFY(keysRig.runUntil([&] { return invite.phase() == InviteBridge::Phase::Showing; }));
        keysRig.clock->advance(10s);
        QVERIFY(invite.isOpen() && !keys.isOpen());

        keysRig.study->keys.setAccount(kAccount); // Study signs in with the code...
        keysRig.study->keys.openVerification();   // ...which opens its verification
        QVERIFY(keysRig.runUntil([&] { return keys.isOpen(); }, 10s));
        QVERIFY(!invite.isOpen());
        QVERIFY(keys.isJoining() && !keys.isIncoming());
        QCOMPARE(keys.otherName(), u"Study"_s);
        KeysBridge study(&keysRig.study->keys);
        QVERIFY(keysRig.runUntil([&] {
            return keys.phase() == KeysBridge::Phase::Comparing &&
                   study.phase() == KeysBridge::Phase::Comparing;
        }));
        QCOMPARE(study.code(), keys.code());
        keys.confirmMatch();
        study.confirmMatch();
        QVERIFY(keysRig.runUntil(
            [&] { return keysRig.study->keys.state() == AccountKeys::State::Verified; }));
    }

    void aClosedInvitationStopsWatching() {
        WindowRig rig;
        KeysRig& keysRig = withKitchenHoldingTheKey(rig);
        WindowBridge& bridge = signedInWindow(rig);
        bridge.addAnotherComputer();
        QVERIFY(keysRig.runUntil(
            [&] { return bridge.invite()->phase() == InviteBridge::Phase::Showing; }));
        bridge.invite()->close();
        keysRig.study->keys.setAccount(kAccount);
        keysRig.runUntil([&] { return bridge.keys()->isOpen(); }, 20s);
        QVERIFY(!bridge.keys()->isOpen());
    }

    void theCodeCountsDownOnTheClockThenExpires() {
        WindowRig rig;
        InviteBridge& invite = *signedInWindow(rig).invite();
        rig.account.latency = 2s;
        rig.bridge->addAnotherComputer();
        rig.settle();
        QCOMPARE(invite.phase(), InviteBridge::Phase::Asking);
        QVERIFY(invite.code().isEmpty());
        rig.clock().advance(2s);
        QCOMPARE(invite.phase(), InviteBridge::Phase::Showing);
        QCOMPARE(invite.code(), u"KQ7-4FD-93X-M3P"_s);
        QCOMPARE(invite.serverAddress(), u"http://192.168.1.20:8470"_s);
        QVERIFY(invite.link().startsWith(u"sonavert://pair?server="_s));
        QCOMPARE(invite.timeLeftText(), u"Expires in 10:00"_s);
        // A second "Add Another Computer…" keeps the code on show.
        rig.bridge->addAnotherComputer();
        invite.newCode();
        QCOMPARE(rig.account.calls.count(u"invite"_s), 1);

        // The view hears of each new second, once.
        QSignalSpy ticks(&invite, &InviteBridge::changed);
        rig.clock().advance(1s);
        QCOMPARE(ticks.count(), 1);
        QCOMPARE(invite.timeLeftText(), u"Expires in 9:59"_s);
        invite.copyLink();
        QCOMPARE(rig.actions.copied, QStringList{invite.link()});
        QVERIFY(invite.isLinkCopied());
        rig.clock().advance(std::chrono::milliseconds(9 * 60 * 1000 + 58500));
        QCOMPARE(invite.timeLeftText(), u"Expires in 0:01"_s);
        rig.clock().advance(std::chrono::milliseconds(500));
        QCOMPARE(invite.phase(), InviteBridge::Phase::Expired);
        QCOMPARE(invite.timeLeftText(), window_texts::kCodeExpired);
        QVERIFY(invite.code().isEmpty());
        QVERIFY(invite.link().isEmpty());

        invite.newCode();
        rig.clock().advance(2s);
        QCOMPARE(invite.phase(), InviteBridge::Phase::Showing);
        QCOMPARE(invite.code(), u"KQ7-4FD-94X-M3P"_s);
    }

    void aFailedRequestSaysWhyAndCanBeRetried() {
        WindowRig rig;
        InviteBridge& invite = *signedInWindow(rig).invite();
        rig.account.inviteResults.push_back(
            makeError(u"Account"_s, 4, u"The server could not be reached."_s));
        rig.bridge->addAnotherComputer();
        rig.settle();
        QCOMPARE(invite.phase(), InviteBridge::Phase::Failed);
        QCOMPARE(invite.errorText(), u"The server could not be reached."_s);
        invite.copyLink();
        QVERIFY(rig.actions.copied.isEmpty());
        invite.newCode();
        rig.settle();
        QCOMPARE(invite.phase(), InviteBridge::Phase::Showing);
        QVERIFY(invite.errorText().isEmpty());
    }

    void anAnswerAfterClosingIsDropped() {
        WindowRig rig;
        InviteBridge& invite = *signedInWindow(rig).invite();
        rig.account.latency = 3s;
        rig.bridge->addAnotherComputer();
        rig.settle();
        invite.close();
        rig.clock().advance(3s);
        QVERIFY(!invite.isOpen());
        QVERIFY(invite.code().isEmpty());
        // Reopened, it asks afresh and its first answer alone counts.
        rig.bridge->addAnotherComputer();
        rig.clock().advance(3s);
        QCOMPARE(invite.phase(), InviteBridge::Phase::Showing);
        QCOMPARE(rig.account.calls.count(u"invite"_s), 2);
    }

    void signingOutAsksFirst() {
        WindowRig rig;
        WindowBridge& bridge = signedInWindow(rig);
        bridge.askToSignOut();
        QVERIFY(bridge.isConfirmingSignOut());
        QVERIFY(bridge.signOutQuestion().contains(u"\u201chome\u201d"_s));
        bridge.cancelSignOut();
        QVERIFY(!bridge.isConfirmingSignOut());
        QVERIFY(rig.account.calls.isEmpty());

        bridge.addAnotherComputer();
        rig.settle();
        rig.account.latency = 1s;
        bridge.askToSignOut();
        bridge.confirmSignOut();
        bridge.confirmSignOut();
        rig.clock().advance(1s);
        QCOMPARE(rig.account.calls.count(u"signOut"_s), 1);
        QVERIFY(!bridge.isConfirmingSignOut());
        QVERIFY(!bridge.invite()->isOpen());
        QCOMPARE(bridge.screen(), WindowBridge::Screen::SignIn);
        // Signed out, there is nothing to sign out of.
        bridge.askToSignOut();
        QVERIFY(!bridge.isConfirmingSignOut());
    }
};

QTEST_GUILESS_MAIN(InviteBridgeTest)
#include "invite_bridge_test.moc"
