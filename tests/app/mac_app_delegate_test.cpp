// Push notifications into background passes: the delegate over a scripted channel and the
// background coordinator over a coordinator wired to fakes.

#include "src/app/mac_app_delegate.h"
#include "src/app/mac_background_coordinator.h"
#include "src/clouddb/cloud_database.h"
#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QTest>
#include <optional>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

// A channel the test drives by emitting its signals.
class ScriptedPushChannel final : public clouddb::PushChannel {
public:
    void open() override { ++openCount; }
    void close() override {}
    bool isConnected() const override { return false; }
    int openCount = 0;
};

const QString kReceived = u"event=remote_notification_received platform=macos"_s;

QStringList completions(const CapturingLogSink& log) {
    return log.messages(LogCategory::Push).filter(u"processing_completed"_s);
}

QString completedAfter(const char* seconds) {
    return u"event=remote_notification_processing_completed platform=macos "
           "duration_seconds="_s +
           QLatin1String(seconds);
}

/// A registered delegate whose passes run on a coordinator over fakes.
struct DelegateRig {
    CapturingLogSink log; ///< first, so it hears the registration
    CoordinatorRig coordinator;
    ScriptedPushChannel channel;
    std::optional<MacBackgroundCoordinator> background;
    std::unique_ptr<MacAppDelegate> delegate;

    explicit DelegateRig(Duration fetchHandoffLatency = 0s) {
        coordinator.cloud->latency = {{u"fetchHandoff"_s, fetchHandoffLatency}};
        background.emplace(coordinator.make());
        delegate = std::make_unique<MacAppDelegate>(&channel, &*background, coordinator.clock);
        delegate->registerForRemoteNotifications(48);
    }
    DeviceHandoffViewModel& vm() { return *coordinator.coordinator; }
    int calls(const char* operation) const {
        return coordinator.cloud->callCount(QLatin1String(operation));
    }
    void finishPass() {
        coordinator.clock->runUntil([this] { return !vm().isReceiving; }, 10s);
    }
};

} // namespace

class MacAppDelegateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void registrationOpensTheChannelAndReportsItsFate() {
        DelegateRig rig;
        QCOMPARE(rig.channel.openCount, 1);
        Q_EMIT rig.channel.connected();
        Q_EMIT rig.channel.disconnected(u"connection refused"_s);
        QCOMPARE(rig.log.messages(LogCategory::Push),
                 QStringList({u"event=apns_registration_started platform=macos"_s,
                              u"event=apns_registration_succeeded platform=macos "
                              "token_bytes=48"_s,
                              u"event=apns_registration_failed platform=macos "
                              "error=<private>"_s}));
    }

    void notificationsAndLostNotificationsEachRunABackgroundPass() {
        DelegateRig rig;
        Q_EMIT rig.channel.notificationReceived(clouddb::PushNotification{});
        rig.finishPass();
        QCOMPARE(rig.calls("fetchHandoff"), 1);
        Q_EMIT rig.channel.resetRequired();
        rig.finishPass();
        QCOMPARE(rig.calls("fetchHandoff"), 2);
        QCOMPARE(rig.calls("fetchPullRequest"), 2);
        QCOMPARE(rig.log.count(kReceived), 2);
        QCOMPARE(completions(rig.log).size(), 2);
    }

    // Notifications during a pass each ask for one more and are done at once; however many
    // arrive, exactly one more pass runs, and the one that started the first reports both.
    void notificationsDuringAPassCauseExactlyOneMorePass() {
        DelegateRig rig(1s);
        Q_EMIT rig.channel.notificationReceived(clouddb::PushNotification{});
        rig.coordinator.clock->advance(500ms);
        for (int i = 0; i < 3; ++i)
            Q_EMIT rig.channel.notificationReceived(clouddb::PushNotification{});
        QVERIFY(rig.vm().receptionRequested);
        QCOMPARE(completions(rig.log), QStringList(3, completedAfter("0.000000")));
        rig.finishPass();
        QCOMPARE(rig.calls("fetchHandoff"), 2);
        QCOMPARE(rig.calls("fetchPullRequest"), 2);
        QCOMPARE(rig.calls("fetchPresence"), 2);
        QCOMPARE(completions(rig.log).last(), completedAfter("2.000000"));
    }

    void aNotificationAfterTheDelegateIsGoneDoesNothing() {
        DelegateRig rig;
        rig.delegate.reset();
        Q_EMIT rig.channel.notificationReceived(clouddb::PushNotification{});
        QVERIFY(!rig.vm().isReceiving);
        QCOMPARE(rig.calls("fetchHandoff"), 0);
        QCOMPARE(rig.log.count(kReceived), 0);
    }
};

QTEST_GUILESS_MAIN(MacAppDelegateTest)
#include "mac_app_delegate_test.moc"
