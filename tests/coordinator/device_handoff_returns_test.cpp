// The coordinator's side of "nothing stops everywhere" and of fast answers: a check asked for
// while one runs goes once more, a handoff that cannot start goes back to its sender (once),
// the sender continues where the song would be by now, a pull is answered from where the
// player is at that moment, and a source that plays nothing ends the requester's wait.

#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kRefused = u"Music playback did not start (the player refused it)."_s;

/// Runs the rig's clock until `task` is done and gives its result.
bool finish(CoordinatorRig& rig, QCoro::Task<bool> task) {
    rig.clock->runUntil([&] { return task.isReady(); }, 10s);
    return awaitTask(std::move(task));
}

Status refused() {
    return Status(Error{u"MusicAppError"_s, 1, kRefused, {}, {}, {}});
}

} // namespace

class DeviceHandoffReturnsTest : public QObject {
    Q_OBJECT

    std::optional<CoordinatorRig> rig; // made afresh for every case

private Q_SLOTS:
    void init() { rig.emplace(); }
    void cleanup() { rig.reset(); }

    void aHandoffCheckAskedForDuringAFetchRunsOnceMore() {
        rig->cloud->latency = {{u"fetchHandoff"_s, 50ms}};
        // The loop's fetch reads before the command is written; the notification comes after.
        rig->cloud->handoffResults = {handoff(std::nullopt), handoff(playing(12.0))};
        auto& vm = rig->make();
        auto loopCheck = vm.consumePendingHandoff();
        for (int i = 0; i < 3; ++i) { // a burst of notifications while it is in flight
            auto notified = vm.consumePendingHandoff();
            QVERIFY(notified.isReady());
            QVERIFY(!awaitTask(std::move(notified)));
        }
        rig->clock->advance(50ms);
        QCOMPARE(rig->cloud->callCount(u"fetchHandoff"_s), 2); // once more, not once per request
        rig->clock->advance(50ms + 100ms);
        QVERIFY(awaitTask(std::move(loopCheck)));
        QCOMPARE(rig->music->resumed, QList<PlaybackState>{playing(12.0)});
        QCOMPARE(rig->cloud->callCount(u"fetchHandoff"_s), 2);
        QVERIFY(!finish(*rig, vm.consumePendingHandoff())); // the gate is open again
        QCOMPARE(rig->cloud->callCount(u"fetchHandoff"_s), 3);
    }

    void aPullCheckAskedForDuringAFetchRunsOnceMore() {
        rig->music->nowPlaying = playing(3.0);
        rig->cloud->latency = {{u"fetchPullRequest"_s, 50ms}};
        rig->cloud->pullRequestResults = {id(std::nullopt), id(u"R"_s)};
        auto& vm = rig->make();
        auto loopCheck = vm.respondToPendingPull();
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        rig->clock->advance(100ms);
        QVERIFY(awaitTask(std::move(loopCheck)));
        QCOMPARE(rig->cloud->sentHandoffs.size(), 1);
        QCOMPARE(rig->cloud->sentHandoffs.first().second, u"R"_s);
        QCOMPARE(rig->cloud->callCount(u"fetchPullRequest"_s), 2);
    }

    void handoffsSentToAWaitingDeviceCarryTheWayBack() {
        auto& vm = rig->make();
        rig->music->nowPlaying = playing(30.0);
        vm.transfer(device(u"K"_s, u"Kitchen"_s));
        rig->music->nowPlaying = playing(31.0);
        vm.transfer(device(u"O"_s, u"Office"_s, DevicePresence::Offline));
        rig->music->nowPlaying = playing(32.0);
        rig->cloud->pullRequestResults = {id(u"R"_s)};
        QVERIFY(awaitTask(vm.respondToPendingPull()));
        QCOMPARE(rig->cloud->sentHandoffs.size(), 3);
        QCOMPARE(rig->cloud->sentHandoffs[0].first.returnDeviceID, std::optional(kThisID));
        // A queued push waits for a device that is not there: unchanged, never handed back.
        QCOMPARE(rig->cloud->sentHandoffs[1].first, playing(31.0));
        QCOMPARE(rig->cloud->sentHandoffs[2].first.returnDeviceID, std::optional(kThisID));
        QCOMPARE(rig->cloud->sentHandoffs[2].first.returnReason, std::nullopt);
    }

    void aHandoffThatCannotStartGoesBackWithTheReasonOnce() {
        CapturingLogSink log;
        PlaybackState received = playing(30.0);
        received.returnDeviceID = u"S"_s;
        received.handoffMessageID = u"M-1"_s;
        PlaybackState handedBack = received; // already came back once
        handedBack.returnDeviceID.reset();
        handedBack.returnReason = u"Earlier reason"_s;
        PlaybackState fromOlderSender = playing(30.0);
        rig->cloud->handoffResults = {handoff(received), handoff(handedBack),
                                      handoff(fromOlderSender)};
        rig->music->resumeResults = {refused(), refused(), refused()};
        auto& vm = rig->make();
        for (int i = 0; i < 3; ++i) {
            auto consumed = vm.consumePendingHandoff();
            rig->clock->advance(100ms);
            QVERIFY(!awaitTask(std::move(consumed)));
            QCOMPARE(vm.transferError(), std::optional(u"Failed to resume: "_s + kRefused));
        }
        QCOMPARE(rig->cloud->sentHandoffs.size(), 1);
        const auto& [back, target] = rig->cloud->sentHandoffs.first();
        QCOMPARE(target, u"S"_s);
        QCOMPARE(back.returnReason, std::optional(kRefused));
        QCOMPARE(back.returnDeviceID, std::nullopt); // so it never travels a third time
        QCOMPARE(back.songID, received.songID);
        // Where the song would be: the receiver counts from when it took the command.
        QVERIFY2(qAbs(back.playbackTime - 30.1) < 0.01,
                 qPrintable(QString::number(back.playbackTime)));
        QVERIFY(log.messages(LogCategory::Handoff)
                    .first()
                    .startsWith(u"event=handoff_return_started message_id=M-1 "_s));
        QVERIFY(rig->music->scripts.isEmpty()); // the receiver never touched the sender's player
    }

    void aHandedBackSongContinuesWhereItWouldBeAndSaysWhy() {
        CapturingLogSink log;
        rig->listPeers({device(u"S"_s, u"Study"_s)});
        rig->music->nowPlaying = playing(42.0);
        auto& vm = rig->started();
        vm.transfer(vm.devices().first());
        rig->music->nowPlaying.reset(); // paused for the handoff
        const Duration pushedAt = rig->clock->monotonicNow();
        rig->clock->advance(5s);
        PlaybackState back = rig->cloud->sentHandoffs.first().first;
        back.playbackTime += 3.0; // the receiver's own, cruder count
        back.returnDeviceID.reset();
        back.returnReason = kRefused;
        back.handoffMessageID = u"M-2"_s;
        rig->cloud->handoffResults = {handoff(back)};
        QVERIFY(rig->clock->runUntil([&] { return !rig->music->resumed.isEmpty(); }, 3s));
        const double expected =
            42.0 + std::chrono::duration<double>(rig->clock->monotonicNow() - pushedAt).count();
        QVERIFY2(qAbs(rig->music->resumed.first().playbackTime - expected) < 0.01,
                 qPrintable(QString::number(rig->music->resumed.first().playbackTime)));
        QVERIFY(rig->clock->runUntil([&] { return vm.transferError().has_value(); }, 1s));
        QCOMPARE(
            vm.transferError(),
            std::optional(u"Study couldn't play the song, so it plays here again: "_s + kRefused));
        QVERIFY(vm.currentState());
        QCOMPARE(vm.currentState()->returnReason, std::nullopt); // never published on
        QVERIFY(log.messages(LogCategory::Handoff)
                    .last()
                    .startsWith(u"event=handoff_returned message_id=M-2 position_seconds="_s));
    }

    void aPullIsAnsweredFromWhereThePlayerIsNow() {
        rig->music->nowPlaying = playing(10.0);
        auto& vm = rig->started(); // the playback loop has sampled 10 s
        QCOMPARE(vm.currentState(), std::optional(playing(10.0)));
        rig->music->nowPlaying = playing(95.0); // the listener skipped ahead since
        rig->cloud->pullRequestResults = {id(u"R"_s)};
        QVERIFY(awaitTask(vm.respondToPendingPull()));
        QCOMPARE(rig->cloud->sentHandoffs.first().first.playbackTime, 95.0);
    }

    void aPullIsAnsweredFromTheSampleWhenTheCaptureGivesNothing() {
        rig->music->nowPlaying = playing(10.0);
        auto& vm = rig->started();
        rig->music->nowPlaying.reset();
        rig->cloud->pullRequestResults = {id(u"R"_s)};
        QVERIFY(awaitTask(vm.respondToPendingPull()));
        QCOMPARE(rig->cloud->sentHandoffs.first().first.playbackTime, 10.0);
        QVERIFY(rig->cloud->sentPullUnavailable.isEmpty());
    }

    void aSourcePlayingNothingEndsThePullAtOnce() {
        auto& vm = rig->make();
        vm.pull(device(u"L"_s, u"Living Room"_s));
        QVERIFY(vm.isPulling());
        QCOMPARE(rig->cloud->callCount(u"fetchPullUnavailable"_s), 1); // a leftover is cleared
        rig->cloud->pullUnavailableResults = {id(u"X"_s)}; // from another device: not this pull
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        QVERIFY(vm.isPulling());
        rig->cloud->pullUnavailableResults = {id(u"L"_s)};
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        QVERIFY(!vm.isPulling());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(),
                 std::optional(u"Nothing is playing on Living Room right now."_s));
        rig->clock->advance(30s); // the timeout was cancelled
        QCOMPARE(vm.transferError(),
                 std::optional(u"Nothing is playing on Living Room right now."_s));
        const int checks = rig->cloud->callCount(u"fetchPullUnavailable"_s);
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        QCOMPARE(rig->cloud->callCount(u"fetchPullUnavailable"_s), checks); // only while pulling
    }
};

QTEST_GUILESS_MAIN(DeviceHandoffReturnsTest)
#include "device_handoff_returns_test.moc"
