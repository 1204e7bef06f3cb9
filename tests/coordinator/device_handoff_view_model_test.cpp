#include "src/runtime/log_channel.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

class DeviceHandoffViewModelTest : public QObject {
    Q_OBJECT

    std::optional<CoordinatorRig> rig; // made afresh for every case

private Q_SLOTS:
    void init() { rig.emplace(); }
    void cleanup() { rig.reset(); }

    void startTwiceStartsOnceAndStartAfterStopStartsAgain() {
        auto& vm = rig->make();
        vm.start();
        vm.start();
        rig->finishFirstPass();
        QCOMPARE(rig->cloud->callCount(u"seedObservedSessions"_s), 1);
        QCOMPARE(rig->cloud->callCount(u"ensureHandoffSubscription"_s), 1);
        QCOMPARE(rig->music->sampleCount, 1);

        vm.stop();
        QVERIFY(!vm.isDiscovering());
        const int fetchesAtStop = rig->cloud->callCount(u"fetchPresence"_s);
        rig->clock->advance(10s);
        QCOMPARE(rig->cloud->callCount(u"fetchPresence"_s), fetchesAtStop);
        QCOMPARE(rig->music->sampleCount, 1);

        vm.start();
        QVERIFY(vm.isDiscovering() || rig->cloud->callCount(u"seedObservedSessions"_s) == 2);
        rig->finishFirstPass();
        QCOMPARE(rig->cloud->callCount(u"seedObservedSessions"_s), 2);
        QCOMPARE(rig->music->sampleCount, 2);
    }

    void firstPassRunsInitialPublishBesideRefreshThenPublishes() {
        rig->cloud->latency = {{u"publishPresence"_s, 1s}, {u"fetchPresence"_s, 1s}};
        auto& vm = rig->make();
        QSignalSpy discovering(&vm, &DeviceHandoffViewModel::isDiscoveringChanged);
        vm.start();
        QVERIFY(vm.isDiscovering());

        // The initial publish is under way when the refresh begins.
        const QStringList early = rig->cloud->calls;
        const auto seed = early.indexOf(u"seedObservedSessions"_s);
        const auto publish = early.indexOf(QRegularExpression(u"publishPresence:.*"_s));
        const auto fetch = early.indexOf(QRegularExpression(u"fetchPresence:.*"_s));
        QVERIFY(seed >= 0 && seed < publish && publish < fetch);
        QCOMPARE(rig->cloud->callCount(u"peerDevices"_s), 0);

        rig->clock->advance(1500ms);
        QVERIFY(vm.isDiscovering()); // the publish step still runs
        QCOMPARE(rig->cloud->callCount(u"publishPresence"_s), 2);
        rig->clock->advance(500ms);
        QVERIFY(!vm.isDiscovering());
        QCOMPARE(rig->cloud->callCount(u"peerDevices"_s), 1);
        QCOMPARE(discovering.count(), 2);
        QCOMPARE(rig->cloud->timesOf(u"peerDevices"_s).first(), Duration(2s));
    }

    void presencePassRepeatsAfterPointThreeSecondsWhileHandshakesPend() {
        rig->cloud->pendingHandshakeCount = 1;
        rig->started();
        rig->clock->advance(900ms);
        rig->cloud->pendingHandshakeCount = 0;
        rig->clock->advance(5s);
        const auto times = rig->cloud->timesOf(u"fetchPresence"_s);
        // First pass and the loop's first pass at 0, then 0.3 s steps while pending (the pass at
        // 0.9 s still saw one pending), then 2 s.
        const QList<Duration> expected = {0ms, 0ms, 300ms, 600ms, 900ms, 1200ms, 3200ms, 5200ms};
        QCOMPARE(times, expected);
    }

    void syncErrorPrefersPublishErrorAndClearsAfterCleanPass() {
        auto fetchError = FakeHandoffService::cloudError(clouddb::CloudErrorCode::NetworkFailure,
                                                         u"fetch broke"_s);
        auto publishError = FakeHandoffService::cloudError(clouddb::CloudErrorCode::NetworkFailure,
                                                           u"publish broke"_s);
        rig->cloud->fetchResults = {Result<DeviceList>(fetchError)};
        auto& vm = rig->make();
        QList<std::optional<QString>> history;
        connect(&vm, &DeviceHandoffViewModel::syncErrorChanged, this,
                [&] { history << vm.syncError(); });
        vm.start();
        rig->finishFirstPass();
        // First pass: only the fetch failed. The loop's own pass right after is clean.
        QCOMPARE(history, (QList<std::optional<QString>>{u"fetch broke"_s, std::nullopt}));

        // Both fail: the publish error wins; then a clean pass clears it.
        rig->cloud->fetchResults = {Result<DeviceList>(fetchError)};
        rig->cloud->publishResults = {Status(publishError)};
        rig->clock->advance(2s);
        QCOMPARE(vm.syncError(), std::optional(u"publish broke"_s));
        rig->clock->advance(2s);
        QCOMPARE(vm.syncError(), std::nullopt);
    }

    void failuresWriteTheirEvents() {
        CapturingLogSink log;
        rig->cloud->accountStatus = FakeHandoffService::cloudError(
            clouddb::CloudErrorCode::NotAuthenticated, u"no account"_s);
        rig->cloud->handoffSubscriptionStatus =
            FakeHandoffService::cloudError(clouddb::CloudErrorCode::NetworkFailure, u"down"_s);
        rig->cloud->fetchResults = {Result<DeviceList>(
            FakeHandoffService::cloudError(clouddb::CloudErrorCode::NetworkFailure, u"x"_s))};
        auto& vm = rig->started();
        QCOMPARE(vm.syncError(), std::optional(u"no account"_s));

        QCOMPARE(log.messages(LogCategory::Push),
                 QStringList{u"event=subscription_configuration_failed error=<private>"_s});
        QCOMPARE(log.messages(LogCategory::CloudKit).mid(0, 3),
                 (QStringList{u"event=initial_presence_publish_failed error=<private>"_s,
                              u"event=presence_fetch_failed error=<private>"_s,
                              u"event=presence_publish_failed error=<private>"_s}));
        for (const auto& record : log.records())
            QCOMPARE(record.level, LogLevel::Error);
    }

    void missingZoneIsRecreatedOnceAndSecondFailureIsReported() {
        CapturingLogSink log;
        const auto zoneGone = FakeHandoffService::cloudError(clouddb::CloudErrorCode::ZoneNotFound,
                                                             u"Zone not found"_s);
        // Initial publish, then the publish step: the step meets a missing zone once.
        rig->cloud->publishResults = {Status(), Status(zoneGone), Status()};
        auto& vm = rig->started();
        QCOMPARE(vm.syncError(), std::nullopt);
        QCOMPARE(log.count(u"event=presence_zone_missing action=recreate"_s), 1);

        rig->cloud->publishResults = {Status(zoneGone), Status(zoneGone)};
        rig->clock->advance(2s);
        QCOMPARE(vm.syncError(), std::optional(u"Zone not found"_s));
        QCOMPARE(rig->cloud->callCount(u"recreateZone"_s), 2);
    }

    void playbackLoopSamplesEveryTwoSecondsUntilStopped() {
        PlaybackState song{u"s1"_s, 12.5, u"Song"_s, u"Artist"_s, {}, {}, {}};
        rig->music->nowPlaying = song;
        auto& vm = rig->make(true);
        QSignalSpy changed(&vm, &DeviceHandoffViewModel::currentStateChanged);
        QCOMPARE(vm.currentState(), std::optional(song));

        rig->music->nowPlaying.reset();
        rig->clock->advance(1900ms);
        QCOMPARE(vm.currentState(), std::optional(song));
        rig->clock->advance(100ms);
        QCOMPARE(vm.currentState(), std::nullopt);
        QCOMPARE(changed.count(), 1);
        // What the next publish sends is what was sampled.
        rig->clock->advance(2s);
        QCOMPARE(rig->cloud->lastPublishedNowPlaying, std::nullopt);

        vm.stop();
        const int samples = rig->music->sampleCount;
        rig->music->nowPlaying = song;
        rig->clock->advance(6s);
        QCOMPARE(rig->music->sampleCount, samples);
        QCOMPARE(vm.currentState(), std::nullopt);
    }

    void favouritesWithSessionsSeedTheFirstPass() {
        rig->roster->mergeRoster({device(u"B"_s, u"b"_s, DevicePresence::Online, u"sB"_s),
                                  device(u"C"_s, u"c"_s, DevicePresence::Online, u"sC"_s)});
        rig->roster->toggleFavorite(u"B"_s);
        rig->started();
        QCOMPARE(rig->cloud->lastSeeds, (QMap<QString, QString>{{u"B"_s, u"sB"_s}}));
    }

    void favouriteFoundNearbyIsListedAndPublishedAtOnce() {
        rig->roster->mergeRoster({device(u"B"_s, u"b"_s)});
        rig->roster->toggleFavorite(u"B"_s);
        auto& vm = rig->started();
        QVERIFY(rig->nearby);
        QCOMPARE(rig->nearby->deviceID, kThisID);
        QCOMPARE(rig->nearby->sessionID, rig->cloud->session);
        QCOMPARE(vm.devices().first().presence, DevicePresence::Offline);

        const int publishes = rig->cloud->callCount(u"publishPresence"_s);
        auto online = device(u"B"_s, u"b"_s, DevicePresence::Online, u"sB2"_s);
        rig->cloud->peers = {online};
        rig->nearby->reportPeer({u"B"_s, u"b"_s, u"sB2"_s});
        VirtualClock::drainEvents();
        QCOMPARE(rig->cloud->calls.filter(u"noteNearbyPeer"_s),
                 QStringList{u"noteNearbyPeer:B/b/sB2/%1/%2"_s.arg(rig->cloud->session, kThisID)});
        QCOMPARE(vm.devices().first().presence, DevicePresence::Online);
        QVERIFY(vm.devices().first().isFavorite);
        QCOMPARE(rig->cloud->callCount(u"publishPresence"_s), publishes + 1);

        vm.stop();
        QCOMPARE(rig->nearby->stopCount, 1);
    }

    void nonFavouriteFoundNearbyChangesNothing() {
        rig->roster->mergeRoster({device(u"B"_s, u"b"_s), device(u"C"_s, u"c"_s)});
        rig->roster->toggleFavorite(u"B"_s);
        auto& vm = rig->started();
        const DeviceList before = vm.devices();
        const int calls = rig->cloud->calls.size();
        rig->nearby->reportPeer({u"C"_s, u"c"_s, u"sC"_s});
        rig->nearby->reportPeer({u"Z"_s, u"z"_s, u"sZ"_s});
        VirtualClock::drainEvents();
        QCOMPARE(rig->cloud->calls.size(), calls);
        QCOMPARE(vm.devices(), before);
    }

    void noNearbyDiscoveryWithoutSession() {
        rig->cloud->session.clear();
        rig->started();
        QVERIFY(!rig->nearby);
    }

    void toggleFavoriteKeepsOneFavouriteFirst() {
        rig->cloud->fetchDefault = {device(u"A"_s, u"A"_s), device(u"a"_s, u"a"_s),
                                    device(u"b"_s, u"b"_s)};
        rig->defaults->setBool(rig->roster->favoriteClearedKey, true); // no seeding
        auto& vm = rig->started();
        QCOMPARE(names(vm.devices()), (QStringList{"A", "a", "b"}));

        vm.toggleFavorite(vm.devices().at(2));
        QCOMPARE(names(vm.devices()), (QStringList{"b", "A", "a"}));
        vm.toggleFavorite(vm.devices().at(1));
        QCOMPARE(names(vm.devices()), (QStringList{"A", "a", "b"}));
        QVERIFY(vm.devices().first().isFavorite && !vm.devices().at(2).isFavorite);

        vm.toggleFavorite(vm.devices().first());
        for (const auto& d : vm.devices())
            QVERIFY(!d.isFavorite);
        rig->clock->advance(2s); // a pass does not seed a favourite the user cleared
        for (const auto& d : vm.devices())
            QVERIFY(!d.isFavorite);
    }

    void forgetRemovesDeviceUntilItStartsANewSession() {
        auto b = device(u"B"_s, u"b"_s, DevicePresence::Online, u"s1"_s);
        rig->cloud->fetchDefault = {b};
        rig->cloud->queuedTargets = {u"B"_s};
        auto& vm = rig->started();
        rig->clock->advance(1ms);
        QVERIFY(vm.queuedPushTargets().contains(u"B"_s));

        rig->cloud->queuedTargets.clear();
        vm.forget(vm.devices().first());
        QVERIFY(vm.devices().isEmpty());
        QVERIFY(!vm.queuedPushTargets().contains(u"B"_s));
        rig->clock->advance(2s);
        QVERIFY(vm.devices().isEmpty());

        b.sessionID = u"s2"_s;
        rig->cloud->fetchDefault = {b};
        rig->clock->advance(2s);
        QCOMPARE(names(vm.devices()), QStringList{"b"});
    }

    void queuedPushesMarkTheirDevices() {
        rig->cloud->fetchDefault = {device(u"B"_s, u"b"_s), device(u"C"_s, u"c"_s)};
        rig->cloud->queuedTargets = {u"C"_s};
        auto& vm = rig->started();
        rig->clock->advance(1ms);
        QCOMPARE(vm.queuedPushTargets(), QSet<QString>{u"C"_s});
        QVERIFY(!vm.devices().at(0).hasQueuedPush);
        QVERIFY(vm.devices().at(1).hasQueuedPush);
        rig->cloud->queuedTargets.clear();
        rig->clock->advance(2s);
        QVERIFY(!vm.devices().at(1).hasQueuedPush);
    }

    void shutdownStopsAndMarksOffline() {
        auto& vm = rig->started();
        auto marking = vm.shutdown();
        VirtualClock::drainEvents();
        QVERIFY(marking.isReady());
        QCOMPARE(rig->cloud->markedOffline, QStringList{kThisID});
        const int fetches = rig->cloud->callCount(u"fetchPresence"_s);
        rig->clock->advance(10s);
        QCOMPARE(rig->cloud->callCount(u"fetchPresence"_s), fetches);
    }

    void coordinatorDestroyedDuringCallsEndsQuietly() {
        rig->cloud->latency = {{u"fetchPresence"_s, 1s}, {u"publishPresence"_s, 1s}};
        rig->cloud->fetchDefault = {device(u"B"_s, u"b"_s)};
        rig->make(true);
        rig->clock->advance(500ms);
        rig->coordinator.reset();
        rig->clock->advance(5s); // the held calls answer into a coordinator that is gone
        QVERIFY(rig->clock->pendingTimerCount() == 0);
    }

    void storedRosterNeverListsThisDevice() {
        rig->roster->mergeRoster({device(kThisID, u"This Mac"_s), device(u"B"_s, u"b"_s)});
        auto& vm = rig->make();
        QCOMPARE(names(vm.devices()), QStringList{"b"});
    }
};

QTEST_GUILESS_MAIN(DeviceHandoffViewModelTest)
#include "device_handoff_view_model_test.moc"
