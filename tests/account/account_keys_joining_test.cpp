// The inviting computer watching the account's keys for the computer its code brings: only a
// computer new since the invitation and without the key counts, and the wait ends with the
// code, with the account, or when asked to.

#include "tests/support/account_keys_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kAtticID = u"CCCCCCCC-3333-4333-8333-333333333333"_s;

/// Kitchen alone holds the key; the invitation is made now and lasts ten minutes.
struct JoiningRig : KeysRig {
    JoiningRig() {
        kitchen->keys.setAccount(kAccount);
        runUntil([&] { return kitchen->keys.state() == AccountKeys::State::Verified; });
        expires = clock->now().toDateTime().addSecs(600);
    }
    QDateTime expires;
};

} // namespace

class AccountKeysJoiningTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theComputerThatSignsInAfterTheInvitationIsFound() {
        JoiningRig rig;
        const QSet<QString> known = rig.run(rig.kitchen->keys.deviceIDs()).value();
        QCOMPARE(known, QSet<QString>{kKitchenID});
        auto joined = rig.kitchen->keys.awaitJoiningComputer(known, rig.expires, {});
        rig.clock->advance(30s);
        QVERIFY(!joined.isReady()); // nobody yet: it keeps looking
        rig.study->keys.setAccount(kAccount);
        QVERIFY(rig.runUntil([&] { return joined.isReady(); }, 10s));
        const Result<KeyedDevice> found = awaitTask(std::move(joined));
        QVERIFY(found.ok());
        QCOMPARE(found.value().name, u"Study"_s);
        QCOMPARE(found.value().deviceID, kStudyID);
        // And the verification it leads to works as from the menu (signing in with the code
        // opened the verification there).
        rig.study->keys.openVerification();
        QVERIFY(rig.run(rig.kitchen->keys.beginVerification(u"Study"_s)).ok());
    }

    void computersThereBeforeTheInvitationDoNotCount() {
        JoiningRig rig;
        // Study signed in earlier and was never verified: not the one this code brings.
        rig.study->keys.setAccount(kAccount);
        rig.runUntil([&] { return rig.study->keys.state() == AccountKeys::State::Unverified; });
        const QSet<QString> known = rig.run(rig.kitchen->keys.deviceIDs()).value();
        auto joined = rig.kitchen->keys.awaitJoiningComputer(known, rig.expires, {});
        rig.clock->advance(20s);
        QVERIFY(!joined.isReady());
        KeysDevice attic(rig.cloud->connect(u"user"_s), rig.clock, kAtticID, u"Attic"_s);
        attic.keys.setAccount(kAccount);
        QVERIFY(rig.runUntil([&] { return joined.isReady(); }, 10s));
        QCOMPARE(awaitTask(std::move(joined)).value().name, u"Attic"_s);
    }

    void theWaitEndsWithTheCodeOrWhenStopped() {
        JoiningRig rig;
        const QSet<QString> known{kKitchenID};
        auto expired = rig.kitchen->keys.awaitJoiningComputer(known, rig.expires, {});
        QVERIFY(rig.runUntil([&] { return expired.isReady(); }, 11min));
        QCOMPARE(rig.clock->now().toDateTime() >= rig.expires, true);
        QCOMPARE(awaitTask(std::move(expired)).error().description,
                 u"The code expired before another computer signed in with it."_s);

        std::stop_source stop;
        auto stopped = rig.kitchen->keys.awaitJoiningComputer(
            known, rig.clock->now().toDateTime().addSecs(600), stop.get_token());
        rig.clock->advance(4s);
        stop.request_stop();
        QVERIFY(rig.runUntil([&] { return stopped.isReady(); }, 1s));
        QVERIFY(!awaitTask(std::move(stopped)).ok());

        // Signing out ends it too: nothing of that account is for this one.
        auto signedOut = rig.kitchen->keys.awaitJoiningComputer(
            known, rig.clock->now().toDateTime().addSecs(600), {});
        rig.clock->advance(1s);
        rig.kitchen->keys.setAccount(std::nullopt);
        QVERIFY(rig.runUntil([&] { return signedOut.isReady(); }, 5s));
        QVERIFY(!awaitTask(std::move(signedOut)).ok());
    }
};

QTEST_GUILESS_MAIN(AccountKeysJoiningTest)
#include "account_keys_joining_test.moc"
