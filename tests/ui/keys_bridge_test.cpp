// The verification dialog's rules over two real account-key services on an in-memory cloud:
// what each side shows in each phase, that only "They Match" on both sides shares the key, and
// that "They Differ" on either side ends it with nothing shared.

#include "src/ui/keys_bridge.h"
#include "tests/support/account_keys_rig.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using namespace sonavert::test;
using Phase = KeysBridge::Phase;

class KeysBridgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bothSidesWalkThroughTheSameCode() {
        KeysBridge none(nullptr); // without keys, nothing shows or opens
        none.open();
        QVERIFY(!none.isOpen() && !none.lacksKey() && !none.canVerifyOthers());
        KeysRig rig;
        rig.start();
        KeysBridge kitchen(&rig.kitchen->keys);
        KeysBridge study(&rig.study->keys);
        QVERIFY(kitchen.canVerifyOthers() && !kitchen.lacksKey());
        QVERIFY(study.lacksKey() && !study.canVerifyOthers());
        // Only a computer that holds the key offers the dialog.
        study.open();
        QVERIFY(!study.isOpen());

        kitchen.open();
        QVERIFY(rig.runUntil([&] { return !kitchen.candidates().isEmpty(); }));
        QCOMPARE(kitchen.candidates(), QStringList{u"Study"_s});
        QCOMPARE(kitchen.phase(), Phase::Choosing);
        kitchen.choose(u"Attic"_s); // not offered: nothing happens
        QCOMPARE(kitchen.phase(), Phase::Choosing);
        kitchen.choose(u"Study"_s);
        QCOMPARE(kitchen.phase(), Phase::Waiting);
        QVERIFY(kitchen.message().contains(u"Study"_s));

        // Study's dialog opens by itself and reaches the same code.
        QVERIFY(rig.runUntil([&] {
            return kitchen.phase() == Phase::Comparing && study.phase() == Phase::Comparing;
        }));
        QVERIFY(study.isOpen() && study.isIncoming());
        QCOMPARE(study.otherName(), u"Kitchen"_s);
        QCOMPARE(study.code(), kitchen.code());
        QVERIFY(QRegularExpression(u"^\\d{3} \\d{3}$"_s).match(study.code()).hasMatch());

        kitchen.confirmMatch();
        QVERIFY(rig.runUntil([&] { return kitchen.phase() == Phase::Done; }));
        QVERIFY(study.lacksKey());
        study.confirmMatch();
        QVERIFY(rig.runUntil([&] { return study.phase() == Phase::Done; }));
        QVERIFY(!study.lacksKey() && study.canVerifyOthers());
        QCOMPARE(rig.study->keys.keyRing()->current().keyId(),
                 rig.kitchen->keys.keyRing()->current().keyId());

        // With every computer verified, the list says so.
        kitchen.close();
        kitchen.open();
        QVERIFY(rig.runUntil([&] { return kitchen.message().contains(u"Every"_s); }));
        QVERIFY(kitchen.candidates().isEmpty());
    }

    void theyDifferOnEitherSideSharesNothing() {
        for (const bool isKitchenSaying : {true, false}) {
            KeysRig rig;
            rig.start();
            KeysBridge kitchen(&rig.kitchen->keys);
            KeysBridge study(&rig.study->keys);
            kitchen.open();
            QVERIFY(rig.runUntil([&] { return !kitchen.candidates().isEmpty(); }));
            kitchen.choose(u"Study"_s);
            QVERIFY(rig.runUntil([&] {
                return kitchen.phase() == Phase::Comparing && study.phase() == Phase::Comparing;
            }));
            if (isKitchenSaying) {
                kitchen.reportMismatch();
                QVERIFY(rig.runUntil([&] { return kitchen.phase() == Phase::Failed; }));
                QVERIFY(kitchen.message().contains(u"nothing was shared"_s));
                // Study's side learns that the exchange ended.
                QVERIFY(rig.runUntil([&] { return study.phase() == Phase::Failed; }));
            } else {
                kitchen.confirmMatch();
                study.reportMismatch();
                QVERIFY(rig.runUntil([&] { return study.phase() == Phase::Failed; }));
                QVERIFY(study.message().contains(u"nothing was shared"_s));
            }
            rig.clock->advance(20s);
            QVERIFY(study.lacksKey());
            QVERIFY(!rig.study->keys.keyRing());
        }
    }
};

QTEST_GUILESS_MAIN(KeysBridgeTest)
#include "keys_bridge_test.moc"
