// What the coordinator learns of the account key from AccountKeys: who holds it, and whether
// this computer waits for it.

#include "src/account/account_key_holding.h"
#include "tests/support/account_keys_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

class AccountKeyHoldingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tellsTheComputersWithTheKeyFromThoseWithout() {
        KeysRig rig;
        AccountKeyHolding kitchen(&rig.kitchen->keys);
        AccountKeyHolding study(&rig.study->keys);
        // Signed out, there is nobody to tell apart.
        QVERIFY(rig.run(kitchen.keyHolding()).value().isEmpty());
        rig.start();
        QVERIFY(!kitchen.isThisDeviceUnverified());
        QVERIFY(study.isThisDeviceUnverified());
        const KeyHolding expected{{kKitchenID, true}, {kStudyID, false}};
        QCOMPARE(rig.run(kitchen.keyHolding()).value(), expected);

        // Gone with its keys: nothing known, nothing refused on its account.
        rig.study.reset();
        QVERIFY(!study.isThisDeviceUnverified());
        QVERIFY(rig.run(study.keyHolding()).value().isEmpty());
    }
};

QTEST_GUILESS_MAIN(AccountKeyHoldingTest)
#include "account_key_holding_test.moc"
