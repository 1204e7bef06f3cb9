#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

class DeviceHandoffViewModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startTwiceStartsOnceAndStartAfterStopStartsAgain() {
        CoordinatorRig rig;
        auto& vm = rig.make();
        vm.start();
        vm.start();
        rig.finishFirstPass();
        QCOMPARE(rig.cloud->callCount(QStringLiteral("seedObservedSessions")), 1);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("ensureHandoffSubscription")), 1);
        QCOMPARE(rig.music->sampleCount, 1);

        vm.stop();
        QVERIFY(!vm.isDiscovering());
        const int fetchesAtStop = rig.cloud->callCount(QStringLiteral("fetchPresence"));
        rig.clock->advance(10s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchPresence")), fetchesAtStop);
        QCOMPARE(rig.music->sampleCount, 1);

        vm.start();
        QVERIFY(vm.isDiscovering() ||
                rig.cloud->callCount(QStringLiteral("seedObservedSessions")) == 2);
        rig.finishFirstPass();
        QCOMPARE(rig.cloud->callCount(QStringLiteral("seedObservedSessions")), 2);
        QCOMPARE(rig.music->sampleCount, 2);
    }

    void firstPassRunsInitialPublishBesideRefreshThenPublishes() {
        CoordinatorRig rig;
        rig.cloud->latency = {{QStringLiteral("publishPresence"), 1s},
                              {QStringLiteral("fetchPresence"), 1s}};
        auto& vm = rig.make();
        QSignalSpy discovering(&vm, &DeviceHandoffViewModel::isDiscoveringChanged);
        vm.start();
        QVERIFY(vm.isDiscovering());

        // The initial publish is under way when the refresh begins.
        const QStringList early = rig.cloud->calls;
        const auto seed = early.indexOf(QStringLiteral("seedObservedSessions"));
        const auto publish =
            early.indexOf(QRegularExpression(QStringLiteral("publishPresence:.*")));
        const auto fetch = early.indexOf(QRegularExpression(QStringLiteral("fetchPresence:.*")));
        QVERIFY(seed >= 0 && seed < publish && publish < fetch);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("peerDevices")), 0);

        rig.clock->advance(1500ms);
        QVERIFY(vm.isDiscovering()); // the publish step still runs
        QCOMPARE(rig.cloud->callCount(QStringLiteral("publishPresence")), 2);
        rig.clock->advance(500ms);
        QVERIFY(!vm.isDiscovering());
        QCOMPARE(rig.cloud->callCount(QStringLiteral("peerDevices")), 1);
        QCOMPARE(discovering.count(), 2);
        QCOMPARE(rig.cloud->timesOf(QStringLiteral("peerDevices")).first(), Duration(2s));
    }

    void presencePassRepeatsAfterPointThreeSecondsWhileHandshakesPend() {
        CoordinatorRig rig;
        rig.cloud->pendingHandshakeCount = 1;
        rig.make(true);
        rig.finishFirstPass();
        rig.clock->advance(900ms);
        rig.cloud->pendingHandshakeCount = 0;
        rig.clock->advance(5s);
        const auto times = rig.cloud->timesOf(QStringLiteral("fetchPresence"));
        // First pass and the loop's first pass at 0, then 0.3 s steps while pending (the pass at
        // 0.9 s still saw one pending), then 2 s.
        const QList<Duration> expected = {0ms, 0ms, 300ms, 600ms, 900ms, 1200ms, 3200ms, 5200ms};
        QCOMPARE(times, expected);
    }

    void syncErrorPrefersPublishErrorAndClearsAfterCleanPass() {
        CoordinatorRig rig;
        auto fetchError = FakeHandoffService::cloudError(4, QStringLiteral("fetch broke"));
        auto publishError = FakeHandoffService::cloudError(4, QStringLiteral("publish broke"));
        rig.cloud->fetchResults = {Result<DeviceList>(fetchError)};
        auto& vm = rig.make();
        QList<std::optional<QString>> history;
        connect(&vm, &DeviceHandoffViewModel::syncErrorChanged, this,
                [&] { history << vm.syncError(); });
        vm.start();
        rig.finishFirstPass();
        // First pass: only the fetch failed. The loop's own pass right after is clean.
        QCOMPARE(history,
                 (QList<std::optional<QString>>{QStringLiteral("fetch broke"), std::nullopt}));

        // Both fail: the publish error wins; then a clean pass clears it.
        rig.cloud->fetchResults = {Result<DeviceList>(fetchError)};
        rig.cloud->publishResults = {Status(publishError)};
        rig.clock->advance(2s);
        QCOMPARE(vm.syncError(), std::optional<QString>(QStringLiteral("publish broke")));
        rig.clock->advance(2s);
        QCOMPARE(vm.syncError(), std::nullopt);
    }

    void failuresWriteTheirEvents() {
        CapturingLogSink log;
        CoordinatorRig rig;
        rig.cloud->accountStatus = FakeHandoffService::cloudError(9, QStringLiteral("no account"));
        rig.cloud->handoffSubscriptionStatus =
            FakeHandoffService::cloudError(4, QStringLiteral("down"));
        rig.cloud->fetchResults = {
            Result<DeviceList>(FakeHandoffService::cloudError(4, QStringLiteral("x")))};
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        QCOMPARE(vm.syncError(), std::optional<QString>(QStringLiteral("no account")));

        QCOMPARE(
            log.messages(LogCategory::Push),
            QStringList{QStringLiteral("event=subscription_configuration_failed error=<private>")});
        QCOMPARE(
            log.messages(LogCategory::CloudKit).mid(0, 3),
            (QStringList{QStringLiteral("event=initial_presence_publish_failed error=<private>"),
                         QStringLiteral("event=presence_fetch_failed error=<private>"),
                         QStringLiteral("event=presence_publish_failed error=<private>")}));
        for (const auto& record : log.records())
            QCOMPARE(record.level, LogLevel::Error);
    }

    void missingZoneIsRecreatedOnceAndSecondFailureIsReported() {
        CapturingLogSink log;
        CoordinatorRig rig;
        const auto zoneGone = FakeHandoffService::cloudError(26, QStringLiteral("Zone not found"));
        // Initial publish, then the publish step: the step meets a missing zone once.
        rig.cloud->publishResults = {Status(), Status(zoneGone), Status()};
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        QCOMPARE(vm.syncError(), std::nullopt);
        QCOMPARE(log.count(QStringLiteral("event=presence_zone_missing action=recreate")), 1);

        rig.cloud->publishResults = {Status(zoneGone), Status(zoneGone)};
        rig.clock->advance(2s);
        QCOMPARE(vm.syncError(), std::optional<QString>(QStringLiteral("Zone not found")));
        QCOMPARE(rig.cloud->callCount(QStringLiteral("recreateZone")), 2);
    }

    void playbackLoopSamplesEveryTwoSecondsUntilStopped() {
        CoordinatorRig rig;
        PlaybackState song{QStringLiteral("s1"),
                           12.5,
                           QStringLiteral("Song"),
                           QStringLiteral("Artist"),
                           std::nullopt,
                           std::nullopt,
                           std::nullopt};
        rig.music->nowPlaying = song;
        auto& vm = rig.make(true);
        QSignalSpy changed(&vm, &DeviceHandoffViewModel::currentStateChanged);
        QCOMPARE(vm.currentState(), std::optional(song));

        rig.music->nowPlaying.reset();
        rig.clock->advance(1900ms);
        QCOMPARE(vm.currentState(), std::optional(song));
        rig.clock->advance(100ms);
        QCOMPARE(vm.currentState(), std::nullopt);
        QCOMPARE(changed.count(), 1);
        // What the next publish sends is what was sampled.
        rig.clock->advance(2s);
        QCOMPARE(rig.cloud->lastPublishedNowPlaying, std::nullopt);

        vm.stop();
        const int samples = rig.music->sampleCount;
        rig.music->nowPlaying = song;
        rig.clock->advance(6s);
        QCOMPARE(rig.music->sampleCount, samples);
        QCOMPARE(vm.currentState(), std::nullopt);
    }

    void favouritesWithSessionsSeedTheFirstPass() {
        CoordinatorRig rig;
        rig.roster->mergeRoster({device(QStringLiteral("B"), QStringLiteral("b"),
                                        DevicePresence::Online, QStringLiteral("sB")),
                                 device(QStringLiteral("C"), QStringLiteral("c"),
                                        DevicePresence::Online, QStringLiteral("sC"))});
        rig.roster->toggleFavorite(QStringLiteral("B"));
        rig.make(true);
        rig.finishFirstPass();
        QCOMPARE(rig.cloud->lastSeeds,
                 (QMap<QString, QString>{{QStringLiteral("B"), QStringLiteral("sB")}}));
    }

    void favouriteFoundNearbyIsListedAndPublishedAtOnce() {
        CoordinatorRig rig;
        rig.roster->mergeRoster({device(QStringLiteral("B"), QStringLiteral("b"))});
        rig.roster->toggleFavorite(QStringLiteral("B"));
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        QVERIFY(rig.nearby);
        QCOMPARE(rig.nearby->deviceID, kThisID);
        QCOMPARE(rig.nearby->sessionID, rig.cloud->session);
        QCOMPARE(vm.devices().first().presence, DevicePresence::Offline);

        const int publishes = rig.cloud->callCount(QStringLiteral("publishPresence"));
        auto online = device(QStringLiteral("B"), QStringLiteral("b"), DevicePresence::Online,
                             QStringLiteral("sB2"));
        rig.cloud->peers = {online};
        rig.nearby->reportPeer({QStringLiteral("B"), QStringLiteral("b"), QStringLiteral("sB2")});
        VirtualClock::drainEvents();
        QCOMPARE(
            rig.cloud->calls.filter(QStringLiteral("noteNearbyPeer")),
            QStringList{
                QStringLiteral("noteNearbyPeer:B/b/sB2/%1/%2").arg(rig.cloud->session, kThisID)});
        QCOMPARE(vm.devices().first().presence, DevicePresence::Online);
        QVERIFY(vm.devices().first().isFavorite);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("publishPresence")), publishes + 1);

        vm.stop();
        QCOMPARE(rig.nearby->stopCount, 1);
    }

    void nonFavouriteFoundNearbyChangesNothing() {
        CoordinatorRig rig;
        rig.roster->mergeRoster({device(QStringLiteral("B"), QStringLiteral("b")),
                                 device(QStringLiteral("C"), QStringLiteral("c"))});
        rig.roster->toggleFavorite(QStringLiteral("B"));
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        const DeviceList before = vm.devices();
        const int calls = rig.cloud->calls.size();
        rig.nearby->reportPeer({QStringLiteral("C"), QStringLiteral("c"), QStringLiteral("sC")});
        rig.nearby->reportPeer({QStringLiteral("Z"), QStringLiteral("z"), QStringLiteral("sZ")});
        VirtualClock::drainEvents();
        QCOMPARE(rig.cloud->calls.size(), calls);
        QCOMPARE(vm.devices(), before);
    }

    void noNearbyDiscoveryWithoutSession() {
        CoordinatorRig rig;
        rig.cloud->session.clear();
        rig.make(true);
        rig.finishFirstPass();
        QVERIFY(!rig.nearby);
    }

    void toggleFavoriteKeepsOneFavouriteFirst() {
        CoordinatorRig rig;
        rig.cloud->fetchDefault = {device(QStringLiteral("A"), QStringLiteral("A")),
                                   device(QStringLiteral("a"), QStringLiteral("a")),
                                   device(QStringLiteral("b"), QStringLiteral("b"))};
        rig.defaults->setBool(rig.roster->favoriteClearedKey, true); // no seeding
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        QCOMPARE(names(vm.devices()), (QStringList{"A", "a", "b"}));

        vm.toggleFavorite(vm.devices().at(2));
        QCOMPARE(names(vm.devices()), (QStringList{"b", "A", "a"}));
        vm.toggleFavorite(vm.devices().at(1));
        QCOMPARE(names(vm.devices()), (QStringList{"A", "a", "b"}));
        QVERIFY(vm.devices().first().isFavorite && !vm.devices().at(2).isFavorite);

        vm.toggleFavorite(vm.devices().first());
        for (const auto& d : vm.devices())
            QVERIFY(!d.isFavorite);
        rig.clock->advance(2s); // a pass does not seed a favourite the user cleared
        for (const auto& d : vm.devices())
            QVERIFY(!d.isFavorite);
    }

    void forgetRemovesDeviceUntilItStartsANewSession() {
        CoordinatorRig rig;
        auto b = device(QStringLiteral("B"), QStringLiteral("b"), DevicePresence::Online,
                        QStringLiteral("s1"));
        rig.cloud->fetchDefault = {b};
        rig.cloud->queuedTargets = {QStringLiteral("B")};
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        rig.clock->advance(1ms);
        QVERIFY(vm.queuedPushTargets().contains(QStringLiteral("B")));

        rig.cloud->queuedTargets.clear();
        vm.forget(vm.devices().first());
        QVERIFY(vm.devices().isEmpty());
        QVERIFY(!vm.queuedPushTargets().contains(QStringLiteral("B")));
        rig.clock->advance(2s);
        QVERIFY(vm.devices().isEmpty());

        b.sessionID = QStringLiteral("s2");
        rig.cloud->fetchDefault = {b};
        rig.clock->advance(2s);
        QCOMPARE(names(vm.devices()), QStringList{"b"});
    }

    void queuedPushesMarkTheirDevices() {
        CoordinatorRig rig;
        rig.cloud->fetchDefault = {device(QStringLiteral("B"), QStringLiteral("b")),
                                   device(QStringLiteral("C"), QStringLiteral("c"))};
        rig.cloud->queuedTargets = {QStringLiteral("C")};
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        rig.clock->advance(1ms);
        QCOMPARE(vm.queuedPushTargets(), QSet<QString>{QStringLiteral("C")});
        QVERIFY(!vm.devices().at(0).hasQueuedPush);
        QVERIFY(vm.devices().at(1).hasQueuedPush);
        rig.cloud->queuedTargets.clear();
        rig.clock->advance(2s);
        QVERIFY(!vm.devices().at(1).hasQueuedPush);
    }

    void shutdownStopsAndMarksOffline() {
        CoordinatorRig rig;
        auto& vm = rig.make(true);
        rig.finishFirstPass();
        auto marking = vm.shutdown();
        VirtualClock::drainEvents();
        QVERIFY(marking.isReady());
        QCOMPARE(rig.cloud->markedOffline, QStringList{kThisID});
        const int fetches = rig.cloud->callCount(QStringLiteral("fetchPresence"));
        rig.clock->advance(10s);
        QCOMPARE(rig.cloud->callCount(QStringLiteral("fetchPresence")), fetches);
    }

    void coordinatorDestroyedDuringCallsEndsQuietly() {
        CoordinatorRig rig;
        rig.cloud->latency = {{QStringLiteral("fetchPresence"), 1s},
                              {QStringLiteral("publishPresence"), 1s}};
        rig.cloud->fetchDefault = {device(QStringLiteral("B"), QStringLiteral("b"))};
        rig.make(true);
        rig.clock->advance(500ms);
        rig.coordinator.reset();
        rig.clock->advance(5s); // the held calls answer into a coordinator that is gone
        QVERIFY(rig.clock->pendingTimerCount() == 0);
    }

    void storedRosterNeverListsThisDevice() {
        CoordinatorRig rig;
        rig.roster->mergeRoster({device(kThisID, QStringLiteral("This Mac")),
                                 device(QStringLiteral("B"), QStringLiteral("b"))});
        auto& vm = rig.make();
        QCOMPARE(names(vm.devices()), QStringList{"b"});
    }
};

QTEST_GUILESS_MAIN(DeviceHandoffViewModelTest)
#include "device_handoff_view_model_test.moc"
