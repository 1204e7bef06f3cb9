#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

namespace {

PlaybackState playing(double at = 30.0) {
    return {QStringLiteral("song-1"),
            at,
            QStringLiteral("Song"),
            QStringLiteral("Artist"),
            std::nullopt,
            std::nullopt,
            std::nullopt};
}

const QString kPause = QStringLiteral("tell application \"Music\" to pause");

} // namespace

class DeviceHandoffTransfersTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pushSendsPausesAndClearsThePlayback() {
        CapturingLogSink log;
        CoordinatorRig rig;
        rig.music->nowPlaying = playing();
        rig.cloud->latency = {{QStringLiteral("sendHandoff"), 1s}};
        auto& vm = rig.make();
        auto target = device(QStringLiteral("K"), QStringLiteral("Kitchen"));
        auto first = vm.transfer(target);
        auto second = vm.transfer(target); // a second tap while the first runs
        QVERIFY(second.isReady());
        QVERIFY(vm.isTransferring());
        QCOMPARE(vm.activityLabel(),
                 std::optional<QString>(QStringLiteral("Sending to Kitchen\u2026")));
        rig.clock->advance(1s);
        QVERIFY(first.isReady());
        QCOMPARE(rig.cloud->sentHandoffs.size(), 1);
        QCOMPARE(rig.cloud->sentHandoffs.first().first, playing());
        QCOMPARE(rig.cloud->sentHandoffs.first().second, QStringLiteral("K"));
        QCOMPARE(rig.music->scripts, QStringList{kPause});
        QCOMPARE(vm.currentState(), std::nullopt);
        QVERIFY(!vm.isTransferring());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(), std::nullopt);
        QVERIFY(vm.queuedPushTargets().isEmpty()); // an online target takes it at once
        const QStringList lines = log.messages(LogCategory::Playback);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith(QStringLiteral(
            "event=source_pause_started reason=handoff target_device_id=<mask.hash: '")));
        QVERIFY(lines[0].endsWith(QStringLiteral("'> queued=false")));
        QCOMPARE(lines[1], QStringLiteral("event=source_pause_completed reason=handoff"));
    }

    void pushToAnOfflineDeviceIsQueued() {
        CoordinatorRig rig;
        rig.music->nowPlaying = playing();
        rig.cloud->fetchDefault = {
            device(QStringLiteral("K"), QStringLiteral("Kitchen"), DevicePresence::Offline),
            device(QStringLiteral("S"), QStringLiteral("Study"), DevicePresence::Connecting)};
        rig.cloud->peers = rig.cloud->fetchDefault;
        rig.defaults->setBool(rig.roster->favoriteClearedKey, true);
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        QCOMPARE(names(vm.devices()), (QStringList{"Kitchen", "Study"}));
        vm.transfer(vm.devices().at(1)); // Study, connecting: not queued
        QVERIFY(vm.queuedPushTargets().isEmpty());
        rig.music->nowPlaying = playing();
        vm.transfer(vm.devices().at(0)); // Kitchen, offline
        QCOMPARE(vm.queuedPushTargets(), QSet<QString>{QStringLiteral("K")});
        QVERIFY(vm.devices().at(0).hasQueuedPush);
        QVERIFY(!vm.devices().at(1).hasQueuedPush);
    }

    void nothingPlayingSendsNothing() {
        CapturingLogSink log;
        CoordinatorRig rig;
        auto& vm = rig.make();
        vm.transfer(device(QStringLiteral("K"), QStringLiteral("Kitchen")));
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(QStringLiteral("Nothing is playing right now.")));
        QVERIFY(rig.cloud->sentHandoffs.isEmpty());
        QVERIFY(!vm.isTransferring());
        QCOMPARE(log.messages(LogCategory::Handoff),
                 QStringList{QStringLiteral("event=handoff_capture_empty")});
    }

    void sendFailureLeavesThePlaybackAlone() {
        CapturingLogSink log;
        CoordinatorRig rig;
        rig.music->nowPlaying = playing();
        rig.cloud->sendHandoffStatus =
            Error{QStringLiteral("ServiceError"),
                  2,
                  QStringLiteral("The push timed out after 3 attempts. Please try again."),
                  {},
                  {},
                  {}};
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        vm.transfer(device(QStringLiteral("K"), QStringLiteral("Kitchen")));
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(
                     QStringLiteral("The push timed out after 3 attempts. Please try again.")));
        QVERIFY(rig.music->scripts.isEmpty());
        QCOMPARE(vm.currentState(), std::optional(playing()));
        QCOMPARE(log.messages(LogCategory::Handoff),
                 QStringList{QStringLiteral("event=handoff_operation_failed error=<private>")});
        QVERIFY(!rig.defaults->contains(QStringLiteral("Tessary.transferCount")));
    }

    void everyFifthTransferAsksForAReview() {
        CoordinatorRig rig;
        auto& vm = rig.make();
        for (int i = 1; i <= 4; ++i) {
            rig.music->nowPlaying = playing();
            vm.transfer(device(QStringLiteral("K"), QStringLiteral("Kitchen")));
        }
        QVERIFY(!vm.shouldRequestReview());
        vm.pull(device(QStringLiteral("S"), QStringLiteral("Study"))); // a sent pull counts too
        QVERIFY(vm.shouldRequestReview());
        QCOMPARE(rig.defaults->integer(QStringLiteral("Tessary.transferCount")),
                 std::optional<qint64>(5));
    }

    void pullWaitsThenTimesOutWithTheSourcesName() {
        CoordinatorRig rig;
        auto& vm = rig.make();
        const auto source = device(QStringLiteral("L"), QStringLiteral("Living Room Mac"));
        vm.pull(source);
        QCOMPARE(rig.cloud->sentPullRequests.size(), 1);
        QCOMPARE(rig.cloud->sentPullRequests.first(), (std::pair{QStringLiteral("L"), kThisID}));
        QVERIFY(vm.isPulling());
        QCOMPARE(vm.activityLabel(),
                 std::optional<QString>(QStringLiteral("Pulling from Living Room Mac\u2026")));
        vm.pull(source); // a second pull while one waits does nothing
        vm.transfer(source);
        QCOMPARE(rig.cloud->sentPullRequests.size(), 1);
        rig.clock->advance(29s);
        QVERIFY(vm.isPulling());
        rig.clock->advance(1s);
        QVERIFY(!vm.isPulling());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(QStringLiteral("Living Room Mac didn't respond. Make sure "
                                                       "Sonavert is open on it and try again.")));

        vm.pull(source); // a fresh 30 seconds
        QCOMPARE(vm.transferError(), std::nullopt);
        rig.clock->advance(29s);
        QVERIFY(vm.isPulling());
    }

    void aHandoffArrivingAt25SecondsEndsThePull() {
        CoordinatorRig rig;
        auto& vm = rig.make();
        vm.pull(device(QStringLiteral("L"), QStringLiteral("Living Room")));
        rig.clock->advance(25s);
        PlaybackState received = playing(12.0);
        received.handoffMessageID = QStringLiteral("M-1");
        rig.cloud->handoffResults = {Result<std::optional<PlaybackState>>(std::optional(received))};
        auto consumed = vm.consumePendingHandoff();
        QVERIFY(!vm.isPulling());
        rig.clock->advance(100ms);
        QVERIFY(awaitTask(std::move(consumed)));
        rig.clock->advance(30s);
        QCOMPARE(vm.transferError(), std::nullopt);
        QCOMPARE(rig.music->resumed, QList<PlaybackState>{received});
    }

    void failedPullRequestEndsThePull() {
        CoordinatorRig rig;
        rig.cloud->sendPullStatus =
            Error{QStringLiteral("ServiceError"),
                  1,
                  QStringLiteral("iCloud is not available. Sign in to iCloud on this device."),
                  {},
                  {},
                  {}};
        auto& vm = rig.make();
        vm.pull(device(QStringLiteral("L"), QStringLiteral("Living Room")));
        QVERIFY(!vm.isPulling());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(
                     QStringLiteral("iCloud is not available. Sign in to iCloud on this device.")));
    }

    void pullResponseHandsOffPausesAndRepublishes() {
        CapturingLogSink log;
        CoordinatorRig rig;
        rig.music->nowPlaying = playing();
        rig.cloud->pullRequestResults = {
            Result<std::optional<QString>>(std::optional<QString>(QStringLiteral("R")))};
        rig.cloud->latency = {{QStringLiteral("sendHandoff"), 1s}};
        auto& vm = rig.make();
        auto answering = vm.respondToPendingPull();
        QCOMPARE(vm.activityLabel(),
                 std::optional<QString>(QStringLiteral("Handing off to another device\u2026")));
        auto concurrent = vm.respondToPendingPull();
        QVERIFY(concurrent.isReady());
        QVERIFY(!awaitTask(std::move(concurrent)));
        rig.clock->advance(1s);
        QVERIFY(awaitTask(std::move(answering)));
        QCOMPARE(rig.cloud->sentHandoffs.first().second, QStringLiteral("R"));
        QCOMPARE(rig.music->scripts, QStringList{kPause});
        QCOMPARE(vm.currentState(), std::nullopt);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("publishPresence")), 1);
        QCOMPARE(rig.cloud->lastPublishedNowPlaying, std::nullopt);
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QVERIFY(!vm.isPulling() && !vm.isTransferring() && !vm.transferError());
        QVERIFY(
            log.messages(LogCategory::Pull)
                .last()
                .startsWith(QStringLiteral("event=pull_response_completed requester_device_id=")));
    }

    void pullResponseWithNothingPlayingChangesNothingVisible() {
        CapturingLogSink log;
        CoordinatorRig rig;
        rig.cloud->pullRequestResults = {
            Result<std::optional<QString>>(std::optional<QString>(QStringLiteral("R")))};
        auto& vm = rig.make();
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        QVERIFY(rig.cloud->sentHandoffs.isEmpty());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(), std::nullopt);
        QVERIFY(log.messages(LogCategory::Pull)
                    .first()
                    .endsWith(QStringLiteral(" reason=nothing_playing")));
        QVERIFY(!awaitTask(vm.respondToPendingPull())); // nothing left to answer
    }

    void receivedHandoffIsResumedAndPublished() {
        CapturingLogSink log;
        CoordinatorRig rig;
        PlaybackState received = playing(42.0);
        rig.cloud->handoffResults = {Result<std::optional<PlaybackState>>(std::optional(received))};
        auto& vm = rig.make();
        auto consumed = vm.consumePendingHandoff();
        QCOMPARE(vm.activityLabel(),
                 std::optional<QString>(QStringLiteral("Resuming playback\u2026")));
        QVERIFY(rig.music->resumed.isEmpty()); // the label shows before the player is driven
        rig.clock->advance(100ms);
        QVERIFY(awaitTask(std::move(consumed)));
        QCOMPARE(vm.currentState(), std::optional(received));
        QCOMPARE(rig.cloud->lastPublishedNowPlaying, std::optional(received));
        QCOMPARE(vm.activityLabel(), std::nullopt);
        const QStringList lines = log.messages(LogCategory::Playback);
        QVERIFY(lines.first().startsWith(
            QStringLiteral("event=playback_resume_started trigger=background message_id=legacy "
                           "song_id=<mask.hash: '")));
        QVERIFY(lines.last().startsWith(
            QStringLiteral("event=playback_resume_succeeded trigger=background message_id=legacy "
                           "duration_seconds=")));
        QCOMPARE(
            log.messages(LogCategory::Background),
            QStringList{QStringLiteral("event=post_resume_presence_published has_playback=true")});
        QVERIFY(!awaitTask(vm.consumePendingHandoff())); // nothing more addressed here
    }

    void failedResumeShowsItsReason() {
        CoordinatorRig rig;
        rig.cloud->handoffResults = {
            Result<std::optional<PlaybackState>>(std::optional(playing()))};
        rig.music->resumeResults = {
            Status(Error{QStringLiteral("MusicAppError"),
                         1,
                         QStringLiteral("Music playback did not start (no route)."),
                         {},
                         {},
                         {}})};
        auto& vm = rig.make();
        auto consumed = vm.consumePendingHandoff();
        rig.clock->advance(100ms);
        QVERIFY(!awaitTask(std::move(consumed)));
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(
                     QStringLiteral("Failed to resume: Music playback did not start (no route).")));
        QCOMPARE(vm.currentState(), std::nullopt);
        QCOMPARE(vm.activityLabel(), std::nullopt);
    }

    void commandLoopTakesHandoffsEveryTwoSeconds() {
        CoordinatorRig rig;
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        const int checks = rig.cloud->callCount(QStringLiteral("fetchHandoff"));
        QCOMPARE(checks, 1);
        rig.cloud->handoffResults = {
            Result<std::optional<PlaybackState>>(std::optional(playing(7.0)))};
        rig.clock->advance(2s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 2);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchPullRequest")), 2);
        rig.clock->advance(100ms);
        QCOMPARE(rig.music->resumed.size(), 1);
        vm.stop();
        rig.clock->advance(10s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchHandoff")), 2);
    }
};

QTEST_GUILESS_MAIN(DeviceHandoffTransfersTest)
#include "device_handoff_transfers_test.moc"
