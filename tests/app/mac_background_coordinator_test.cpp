#include "src/app/mac_background_coordinator.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

class MacBackgroundCoordinatorTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void notificationsDuringAPassCauseExactlyOneMorePass() {
        CoordinatorRig rig;
        rig.cloud->latency = {{QStringLiteral("fetchHandoff"), 1s}};
        auto& vm = rig.make();
        MacBackgroundCoordinator background;
        background.viewModel = &vm;
        auto first = background.processRemoteNotification();
        QVERIFY(vm.isReceiving);
        for (int i = 0; i < 3; ++i) {
            auto during = background.processRemoteNotification();
            QVERIFY(during.isReady()); // returns at once, only asking for one more pass
        }
        QVERIFY(vm.receptionRequested);
        rig.clock->runUntil([&] { return first.isReady(); }, 10s);
        QVERIFY(first.isReady());
        QVERIFY(!vm.isReceiving);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 2);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchPullRequest")), 2);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchPresence")), 2);
        QCOMPARE(rig.clock->monotonicNow(), Duration(2s)); // the three ran side by side, twice
    }

    void withoutACoordinatorNothingHappens() {
        MacBackgroundCoordinator background;
        auto pass = background.processRemoteNotification();
        QVERIFY(pass.isReady());
    }
};

QTEST_GUILESS_MAIN(MacBackgroundCoordinatorTest)
#include "mac_background_coordinator_test.moc"
