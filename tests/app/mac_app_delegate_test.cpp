#include "src/app/mac_app_delegate.h"
#include "src/app/mac_background_coordinator.h"
#include "src/clouddb/cloud_database.h"
#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

namespace {

// A channel the test drives by emitting its signals.
class ScriptedPushChannel final : public clouddb::PushChannel {
public:
    void open() override { ++openCount; }
    void close() override {}
    bool isConnected() const override { return false; }
    int openCount = 0;
};

const QString kReceived = QStringLiteral("event=remote_notification_received platform=macos");

QStringList completions(const CapturingLogSink& log) {
    return log.messages(LogCategory::Push).filter(QStringLiteral("processing_completed"));
}

QString completedAfter(const char* seconds) {
    return QStringLiteral("event=remote_notification_processing_completed platform=macos "
                          "duration_seconds=") +
           QLatin1String(seconds);
}

} // namespace

class MacAppDelegateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registrationOpensTheChannelAndReportsItsFate() {
        CapturingLogSink log;
        CoordinatorRig rig;
        ScriptedPushChannel channel;
        MacBackgroundCoordinator background;
        MacAppDelegate delegate(&channel, &background, rig.clock);
        delegate.registerForRemoteNotifications(48);
        QCOMPARE(channel.openCount, 1);
        Q_EMIT channel.connected();
        Q_EMIT channel.disconnected(QStringLiteral("connection refused"));
        QCOMPARE(log.messages(LogCategory::Push),
                 QStringList({QStringLiteral("event=apns_registration_started platform=macos"),
                              QStringLiteral("event=apns_registration_succeeded platform=macos "
                                             "token_bytes=48"),
                              QStringLiteral("event=apns_registration_failed platform=macos "
                                             "error=<private>")}));
    }

    void notificationsAndLostNotificationsEachRunABackgroundPass() {
        CapturingLogSink log;
        CoordinatorRig rig;
        auto& vm = rig.make();
        ScriptedPushChannel channel;
        MacBackgroundCoordinator background;
        background.viewModel = &vm;
        MacAppDelegate delegate(&channel, &background, rig.clock);
        delegate.registerForRemoteNotifications(48);
        Q_EMIT channel.notificationReceived(clouddb::PushNotification{});
        rig.clock->runUntil([&] { return !vm.isReceiving; }, 10s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 1);
        Q_EMIT channel.resetRequired();
        rig.clock->runUntil([&] { return !vm.isReceiving; }, 10s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 2);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchPullRequest")), 2);
        QCOMPARE(log.count(kReceived), 2);
        QCOMPARE(completions(log).size(), 2);
    }

    void theNotificationThatStartsAPassReportsTheWholePass() {
        CapturingLogSink log;
        CoordinatorRig rig;
        rig.cloud->latency = {{QStringLiteral("fetchHandoff"), 1s}};
        auto& vm = rig.make();
        ScriptedPushChannel channel;
        MacBackgroundCoordinator background;
        background.viewModel = &vm;
        MacAppDelegate delegate(&channel, &background, rig.clock);
        delegate.registerForRemoteNotifications(48);
        Q_EMIT channel.notificationReceived(clouddb::PushNotification{});
        rig.clock->advance(500ms);
        // Arrives during the pass: asks for one more and is done at once.
        Q_EMIT channel.notificationReceived(clouddb::PushNotification{});
        QCOMPARE(completions(log), QStringList{completedAfter("0.000000")});
        rig.clock->runUntil([&] { return !vm.isReceiving; }, 10s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 2);
        QCOMPARE(completions(log),
                 QStringList({completedAfter("0.000000"), completedAfter("2.000000")}));
    }

    void aNotificationAfterTheDelegateIsGoneDoesNothing() {
        CapturingLogSink log;
        CoordinatorRig rig;
        auto& vm = rig.make();
        ScriptedPushChannel channel;
        MacBackgroundCoordinator background;
        background.viewModel = &vm;
        {
            MacAppDelegate delegate(&channel, &background, rig.clock);
            delegate.registerForRemoteNotifications(48);
        }
        Q_EMIT channel.notificationReceived(clouddb::PushNotification{});
        QVERIFY(!vm.isReceiving);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 0);
        QCOMPARE(log.count(kReceived), 0);
    }
};

QTEST_GUILESS_MAIN(MacAppDelegateTest)
#include "mac_app_delegate_test.moc"
