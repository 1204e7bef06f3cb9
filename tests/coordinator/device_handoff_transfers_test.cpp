#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"
#include "tests/support/await_task.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kPause = u"tell application \"Music\" to pause"_s;
const QString kPlay = u"tell application \"Music\" to play"_s;

} // namespace

class DeviceHandoffTransfersTest : public QObject {
    Q_OBJECT

    std::optional<CapturingLogSink> log; // what every case logs, from its start

    std::optional<CoordinatorRig> rig; // made afresh for every case

private Q_SLOTS:
    void init() {
        log.emplace();
        rig.emplace();
    }
    void cleanup() {
        rig.reset();
        log.reset();
    }

    void pushSendsPausesAndClearsThePlayback() {
        rig->music->nowPlaying = playing();
        rig->cloud->latency = {{u"sendHandoff"_s, 1s}};
        auto& vm = rig->make();
        auto target = device(u"K"_s, u"Kitchen"_s);
        auto first = vm.transfer(target);
        auto second = vm.transfer(target); // a second tap while the first runs
        QVERIFY(second.isReady());
        QVERIFY(vm.isTransferring());
        QCOMPARE(vm.activityLabel(), std::optional(u"Sending to Kitchen\u2026"_s));
        // Paused at the captured position while the save is still under way, so the other
        // device continues where this one stopped however long the save takes.
        QCOMPARE(rig->music->scripts, QStringList{kPause});
        rig->clock->advance(1s);
        QVERIFY(first.isReady());
        QCOMPARE(rig->cloud->sentHandoffs.size(), 1);
        PlaybackState sent = playing();
        sent.returnDeviceID = kThisID; // the target can hand it back
        QCOMPARE(rig->cloud->sentHandoffs.first().first, sent);
        QCOMPARE(rig->cloud->sentHandoffs.first().second, u"K"_s);
        QCOMPARE(rig->music->scripts, QStringList{kPause});
        QCOMPARE(vm.currentState(), std::nullopt);
        QVERIFY(!vm.isTransferring());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(), std::nullopt);
        QVERIFY(vm.queuedPushTargets().isEmpty()); // an online target takes it at once
        const QStringList lines = log->messages(LogCategory::Playback);
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith(
            u"event=source_pause_started reason=handoff target_device_id=<mask.hash: '"_s));
        QVERIFY(lines[0].endsWith(u"'> queued=false"_s));
        QCOMPARE(lines[1], u"event=source_pause_completed reason=handoff"_s);
    }

    void pushToAnOfflineDeviceIsQueued() {
        rig->music->nowPlaying = playing();
        rig->listPeers({device(u"K"_s, u"Kitchen"_s, DevicePresence::Offline),
                        device(u"S"_s, u"Study"_s, DevicePresence::Connecting)});
        rig->defaults->setBool(rig->roster->favoriteClearedKey, true);
        auto& vm = rig->started();
        QCOMPARE(names(vm.devices()), (QStringList{"Kitchen", "Study"}));
        vm.transfer(vm.devices().at(1)); // Study, connecting: not queued
        QVERIFY(vm.queuedPushTargets().isEmpty());
        rig->music->nowPlaying = playing();
        vm.transfer(vm.devices().at(0)); // Kitchen, offline
        QCOMPARE(vm.queuedPushTargets(), QSet<QString>{u"K"_s});
        QVERIFY(vm.devices().at(0).hasQueuedPush);
        QVERIFY(!vm.devices().at(1).hasQueuedPush);
    }

    void nothingPlayingSendsNothing() {
        auto& vm = rig->make();
        vm.transfer(device(u"K"_s, u"Kitchen"_s));
        QCOMPARE(vm.transferError(), std::optional(u"Nothing is playing right now."_s));
        QVERIFY(rig->cloud->sentHandoffs.isEmpty());
        QVERIFY(!vm.isTransferring());
        QCOMPARE(log->messages(LogCategory::Handoff),
                 QStringList{u"event=handoff_capture_empty"_s});
    }

    void sendFailurePlaysOnHere() {
        rig->music->nowPlaying = playing();
        rig->cloud->sendHandoffStatus = makeError(
            u"ServiceError"_s, 2, u"The push timed out after 3 attempts. Please try again."_s);
        auto& vm = rig->started();
        vm.transfer(device(u"K"_s, u"Kitchen"_s));
        QCOMPARE(vm.transferError(),
                 std::optional(u"The push timed out after 3 attempts. Please try again."_s));
        QCOMPARE(rig->music->scripts, (QStringList{kPause, kPlay}));
        QCOMPARE(vm.currentState(), std::optional(playing()));
        QCOMPARE(log->messages(LogCategory::Handoff),
                 QStringList{u"event=handoff_operation_failed error=<private>"_s});
        QCOMPARE(log->messages(LogCategory::Playback).last(),
                 u"event=source_play_restored reason=handoff_failed"_s);
        QVERIFY(!rig->defaults->contains(u"Tessary.transferCount"_s));
    }

    void everyFifthTransferAsksForAReview() {
        auto& vm = rig->make();
        for (int i = 1; i <= 4; ++i) {
            rig->music->nowPlaying = playing();
            vm.transfer(device(u"K"_s, u"Kitchen"_s));
        }
        QVERIFY(!vm.shouldRequestReview());
        vm.pull(device(u"S"_s, u"Study"_s)); // a sent pull counts too
        QVERIFY(vm.shouldRequestReview());
        QCOMPARE(rig->defaults->integer(u"Tessary.transferCount"_s), std::optional<qint64>(5));
    }

    void pullWaitsThenTimesOutWithTheSourcesName() {
        auto& vm = rig->make();
        const auto source = device(u"L"_s, u"Living Room Mac"_s);
        vm.pull(source);
        QCOMPARE(rig->cloud->sentPullRequests.size(), 1);
        QCOMPARE(rig->cloud->sentPullRequests.first(), (std::pair{u"L"_s, kThisID}));
        QVERIFY(vm.isPulling());
        QCOMPARE(vm.activityLabel(), std::optional(u"Pulling from Living Room Mac\u2026"_s));
        vm.pull(source); // a second pull while one waits does nothing
        vm.transfer(source);
        QCOMPARE(rig->cloud->sentPullRequests.size(), 1);
        rig->clock->advance(29s);
        QVERIFY(vm.isPulling());
        rig->clock->advance(1s);
        QVERIFY(!vm.isPulling());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(), std::optional(u"Living Room Mac didn't respond. Make sure "
                                                   "Sonavert is open on it and try again."_s));

        vm.pull(source); // a fresh 30 seconds
        QCOMPARE(vm.transferError(), std::nullopt);
        rig->clock->advance(29s);
        QVERIFY(vm.isPulling());
    }

    void aHandoffArrivingAt25SecondsEndsThePull() {
        auto& vm = rig->make();
        vm.pull(device(u"L"_s, u"Living Room"_s));
        rig->clock->advance(25s);
        PlaybackState received = playing(12.0);
        received.handoffMessageID = u"M-1"_s;
        rig->cloud->handoffResults = {handoff(received)};
        auto consumed = vm.consumePendingHandoff();
        QVERIFY(!vm.isPulling());
        rig->clock->advance(100ms);
        QVERIFY(awaitTask(std::move(consumed)));
        rig->clock->advance(30s);
        QCOMPARE(vm.transferError(), std::nullopt);
        QCOMPARE(rig->music->resumed, QList<PlaybackState>{received});
    }

    void failedPullRequestEndsThePull() {
        rig->cloud->sendPullStatus =
            makeError(u"ServiceError"_s, 1,
                      u"Your Sonavert account is not available. Sign in on this computer."_s);
        auto& vm = rig->make();
        vm.pull(device(u"L"_s, u"Living Room"_s));
        QVERIFY(!vm.isPulling());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(
                     u"Your Sonavert account is not available. Sign in on this computer."_s));
    }

    void pullResponseHandsOffPausesAndRepublishes() {
        rig->music->nowPlaying = playing();
        rig->cloud->pullRequestResults = {id(u"R"_s)};
        rig->cloud->latency = {{u"sendHandoff"_s, 1s}};
        auto& vm = rig->make();
        auto answering = vm.respondToPendingPull();
        QCOMPARE(vm.activityLabel(), std::optional(u"Handing off to another device\u2026"_s));
        auto concurrent = vm.respondToPendingPull();
        QVERIFY(concurrent.isReady());
        QVERIFY(!awaitTask(std::move(concurrent)));
        rig->clock->advance(1s);
        QVERIFY(awaitTask(std::move(answering)));
        QCOMPARE(rig->cloud->sentHandoffs.first().second, u"R"_s);
        QCOMPARE(rig->music->scripts, QStringList{kPause});
        QCOMPARE(vm.currentState(), std::nullopt);
        QCOMPARE(rig->cloud->callCount(u"publishPresence"_s), 1);
        QCOMPARE(rig->cloud->lastPublishedNowPlaying, std::nullopt);
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QVERIFY(!vm.isPulling() && !vm.isTransferring() && !vm.transferError());
        QVERIFY(log->messages(LogCategory::Pull)
                    .last()
                    .startsWith(u"event=pull_response_completed requester_device_id="_s));
    }

    void pullResponseWithNothingPlayingChangesNothingVisible() {
        rig->cloud->pullRequestResults = {id(u"R"_s)};
        auto& vm = rig->make();
        QVERIFY(!awaitTask(vm.respondToPendingPull()));
        QVERIFY(rig->cloud->sentHandoffs.isEmpty());
        QCOMPARE(vm.activityLabel(), std::nullopt);
        QCOMPARE(vm.transferError(), std::nullopt);
        QVERIFY(log->messages(LogCategory::Pull).first().endsWith(u" reason=nothing_playing"_s));
        // The requester is told so at once instead of waiting for its timeout.
        QCOMPARE(rig->cloud->sentPullUnavailable,
                 (QList<std::pair<QString, QString>>{{u"R"_s, kThisID}}));
        QVERIFY(!awaitTask(vm.respondToPendingPull())); // nothing left to answer
    }

    void receivedHandoffIsResumedAndPublished() {
        PlaybackState received = playing(42.0);
        rig->cloud->handoffResults = {handoff(received)};
        auto& vm = rig->make();
        auto consumed = vm.consumePendingHandoff();
        QCOMPARE(vm.activityLabel(), std::optional(u"Resuming playback\u2026"_s));
        QVERIFY(rig->music->resumed.isEmpty()); // the label shows before the player is driven
        rig->clock->advance(100ms);
        QVERIFY(awaitTask(std::move(consumed)));
        QCOMPARE(vm.currentState(), std::optional(received));
        QCOMPARE(rig->cloud->lastPublishedNowPlaying, std::optional(received));
        QCOMPARE(vm.activityLabel(), std::nullopt);
        const QStringList lines = log->messages(LogCategory::Playback);
        QVERIFY(lines.first().startsWith(
            u"event=playback_resume_started trigger=background message_id=legacy "
            "song_id=<mask.hash: '"_s));
        QVERIFY(lines.last().startsWith(
            u"event=playback_resume_succeeded trigger=background message_id=legacy "
            "duration_seconds="_s));
        QCOMPARE(log->messages(LogCategory::Background),
                 QStringList{u"event=post_resume_presence_published has_playback=true"_s});
        QCOMPARE(rig->cloud->settledHandoffs, QStringList{u"legacy"_s});
        QVERIFY(!awaitTask(vm.consumePendingHandoff())); // nothing more addressed here
    }

    void handoffIsSettledOnlyOnceTheResumeHasAnOutcome() {
        PlaybackState received = playing(42.0);
        received.handoffMessageID = u"MSG-1"_s;
        rig->cloud->handoffResults = {handoff(received)};
        auto& vm = rig->make();
        auto consumed = vm.consumePendingHandoff();
        QVERIFY(rig->cloud->settledHandoffs.isEmpty()); // taken, not yet played
        // The coordinator goes away before the player was driven: the handoff stays taken,
        // for the next run to play.
        rig->coordinator.reset();
        rig->clock->advance(1s);
        QVERIFY(consumed.isReady());
        QVERIFY(rig->music->resumed.isEmpty());
        QVERIFY(rig->cloud->settledHandoffs.isEmpty());
    }

    void failedResumeShowsItsReason() {
        rig->cloud->handoffResults = {handoff(playing())};
        rig->music->resumeResults = {Status(Error{
            u"MusicAppError"_s, 1, u"Music playback did not start (no route)."_s, {}, {}, {}})};
        auto& vm = rig->make();
        auto consumed = vm.consumePendingHandoff();
        rig->clock->advance(100ms);
        QVERIFY(!awaitTask(std::move(consumed)));
        QCOMPARE(vm.transferError(),
                 std::optional<QString>(
                     u"Failed to resume: Music playback did not start (no route)."_s));
        QCOMPARE(vm.currentState(), std::nullopt);
        QCOMPARE(vm.activityLabel(), std::nullopt);
        // Failed with a reason the user saw: not tried again on every pass.
        QCOMPARE(rig->cloud->settledHandoffs, QStringList{u"legacy"_s});
    }

    void commandLoopTakesHandoffsEveryTwoSeconds() {
        auto& vm = rig->started();
        const int checks = rig->cloud->callCount(u"fetchHandoff"_s);
        QCOMPARE(checks, 1);
        rig->cloud->handoffResults = {handoff(playing(7.0))};
        rig->clock->advance(2s);
        QCOMPARE(rig->cloud->callCount(u"fetchHandoff"_s), 2);
        QCOMPARE(rig->cloud->callCount(u"fetchPullRequest"_s), 2);
        rig->clock->advance(100ms);
        QCOMPARE(rig->music->resumed.size(), 1);
        vm.stop();
        rig->clock->advance(10s);
        QCOMPARE(rig->cloud->callCount(u"fetchHandoff"_s), 2);
    }

    // A computer without the account's key could open nothing it is sent: a push or pull
    // with it is refused before anything is paused or written, and says what to do.
    void pushAndPullWithAComputerWithoutTheKeyAreRefusedWithNothingWritten() {
        rig->holdKeys({{u"K"_s, true}, {u"S"_s, false}});
        rig->music->nowPlaying = playing();
        AppDevice study = device(u"S"_s, u"Study"_s);
        study.nowPlaying = playing(10);
        rig->listPeers({device(u"K"_s, u"Kitchen"_s), study});
        rig->defaults->setBool(rig->roster->favoriteClearedKey, true); // listed by name
        auto& vm = rig->started();
        QCOMPARE(vm.unverifiedDevices(), QSet<QString>{u"S"_s});
        QVERIFY(vm.devices().at(1).isUnverified);
        QVERIFY(!vm.devices().at(0).isUnverified);

        QCoro::waitFor(vm.transfer(vm.devices().at(1)));
        QCOMPARE(vm.transferError(),
                 std::optional(u"Study is not verified yet, so it could not open what you "
                               "send. Verify it from a computer that holds the key: choose "
                               "Verify on its row there, or run 'sonavertctl verify Study'."_s));
        QVERIFY(rig->cloud->sentHandoffs.isEmpty());
        QVERIFY(rig->music->scripts.isEmpty()); // never paused here
        QVERIFY(!vm.isTransferring());
        QCOMPARE(vm.activityLabel(), std::nullopt);

        // Offline, the push would have been queued: it is refused all the same.
        AppDevice away = vm.devices().at(1);
        away.presence = DevicePresence::Offline;
        QCoro::waitFor(vm.transfer(away));
        QVERIFY(rig->cloud->sentHandoffs.isEmpty());
        QVERIFY(vm.queuedPushTargets().isEmpty());

        QCoro::waitFor(vm.pull(vm.devices().at(1)));
        QVERIFY(vm.transferError()->startsWith(u"Study is not verified yet, so it cannot send"_s));
        QVERIFY(rig->cloud->sentPullRequests.isEmpty());
        QVERIFY(!vm.isPulling());

        // The one that holds the key is not held up.
        QCoro::waitFor(vm.transfer(vm.devices().at(0)));
        QCOMPARE(rig->cloud->sentHandoffs.size(), 1);
        QCOMPARE(vm.transferError(), std::nullopt);
    }

    void thisComputerWithoutTheKeyNeitherPushesNorPulls() {
        rig->accountKeys = std::make_shared<FakeAccountKeys>();
        rig->accountKeys->isUnverified = true;
        rig->music->nowPlaying = playing();
        auto& vm = rig->make();
        QCoro::waitFor(vm.transfer(device(u"K"_s, u"Kitchen"_s)));
        QCOMPARE(vm.transferError(),
                 std::optional(u"This computer is not verified yet, so it cannot seal what it "
                               "plays for Kitchen. Verify it from a computer that holds the "
                               "key: choose Verify on its row there, or run 'sonavertctl "
                               "verify This Mac'."_s));
        AppDevice kitchen = device(u"K"_s, u"Kitchen"_s);
        kitchen.nowPlaying = playing();
        QCoro::waitFor(vm.pull(kitchen));
        QVERIFY(vm.transferError()->startsWith(u"This computer is not verified yet"_s));
        QVERIFY(rig->cloud->sentHandoffs.isEmpty());
        QVERIFY(rig->cloud->sentPullRequests.isEmpty());
        QVERIFY(rig->music->scripts.isEmpty());
    }

    void aComputerVerifiedSinceTheLastLookIsNotRefused() {
        rig->holdKeys({{u"S"_s, false}});
        rig->music->nowPlaying = playing();
        rig->listPeers({device(u"S"_s, u"Study"_s)});
        auto& vm = rig->started();
        QVERIFY(vm.devices().at(0).isUnverified);
        // Verified a moment ago: the push looks again rather than trust the last pass.
        rig->accountKeys->holding = {{u"S"_s, true}};
        QCoro::waitFor(vm.transfer(vm.devices().at(0)));
        QCOMPARE(rig->cloud->sentHandoffs.size(), 1);
        QVERIFY(!vm.devices().at(0).isUnverified);
    }

    void theKeysAreReadOnlyWhileSomeListedComputerMayLackThem() {
        rig->holdKeys({{u"K"_s, true}, {u"S"_s, false}});
        rig->listPeers({device(u"K"_s, u"Kitchen"_s), device(u"S"_s, u"Study"_s)});
        rig->defaults->setBool(rig->roster->favoriteClearedKey, true); // listed by name
        auto& vm = rig->started();
        const int reads = rig->accountKeys->reads;
        QVERIFY(reads >= 1);
        QCoro::waitFor(vm.syncPresence()); // Study still lacks it: read again
        QCOMPARE(rig->accountKeys->reads, reads + 1);
        rig->accountKeys->holding[u"S"_s] = true;
        QCoro::waitFor(vm.syncPresence());
        QVERIFY(!vm.devices().at(1).isUnverified);
        QCoro::waitFor(vm.syncPresence()); // everyone holds it: nothing to read
        QCOMPARE(rig->accountKeys->reads, reads + 2);
        // A computer the keys do not know yet is looked up.
        rig->cloud->fetchDefault.append(device(u"N"_s, u"New"_s));
        rig->cloud->peers = rig->cloud->fetchDefault;
        rig->accountKeys->holding[u"N"_s] = false;
        QCoro::waitFor(vm.syncPresence());
        QCOMPARE(rig->accountKeys->reads, reads + 3);
        QCOMPARE(vm.unverifiedDevices(), QSet<QString>{u"N"_s});
    }
};

QTEST_GUILESS_MAIN(DeviceHandoffTransfersTest)
#include "device_handoff_transfers_test.moc"
