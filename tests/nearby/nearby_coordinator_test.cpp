// The coordinator with real nearby discovery over the in-memory network: what a device found
// on the local network does to the device list before the cloud has seen it.

#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/model/device_roster_store.h"
#include "src/nearby/in_memory_nearby_transport.h"
#include "src/nearby/nearby_launch_discovery_service.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/virtual_clock.h"
#include "tests/fakes/fake_handoff_service.h"
#include "tests/fakes/fake_music_service.h"

#include <QTest>

using namespace sonavert;

namespace {

const QString kThisID = QStringLiteral("11111111-1111-4111-8111-111111111111");
const QString kFavoriteID = QStringLiteral("22222222-2222-4222-8222-222222222222");
const QString kOtherID = QStringLiteral("33333333-3333-4333-8333-333333333333");
const QString kUnknownID = QStringLiteral("44444444-4444-4444-8444-444444444444");

AppDevice remembered(const QString& id, const QString& name) {
    AppDevice d;
    d.id = id;
    d.name = name;
    d.lastSeen = Timestamp{1000.0};
    d.sessionID = QStringLiteral("old-session-") + id.left(4);
    return d;
}

const AppDevice* findDevice(const DeviceList& devices, const QString& id) {
    for (const auto& d : devices)
        if (d.id == id)
            return &d;
    return nullptr;
}

} // namespace

class NearbyCoordinatorTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> clock;
    std::unique_ptr<InMemoryNearbyNetwork> network;
    std::shared_ptr<InMemoryUserDefaults> defaults;
    std::shared_ptr<DeviceRosterStore> roster;
    std::shared_ptr<FakeHandoffService> cloud;
    std::unique_ptr<DeviceHandoffViewModel> coordinator;
    std::vector<std::unique_ptr<NearbyLaunchDiscoveryService>> others;

    /// Another device running the application nearby, advertising at once.
    void advertiseNearby(const QString& id, const QString& name) {
        others.push_back(std::make_unique<NearbyLaunchDiscoveryService>(
            id, name, QStringLiteral("session-") + id.left(4), nullptr, clock, network->factory()));
        others.back()->start();
    }

    /// A device that advertises itself and does nothing else.
    void advertiseOnly(const QString& id, const QString& name) {
        network->addForeignAdvertisement(
            QString::fromLatin1(NearbyLaunchDiscoveryService::kServiceType), id,
            NearbyLaunchDiscoveryService::makeDiscoveryInfo(id, name, QStringLiteral("s")));
    }

    void startCoordinator() {
        auto nearbyClock = clock;
        auto* net = network.get();
        DeviceHandoffViewModel::Dependencies deps{
            std::make_shared<FakeMusicService>(),
            cloud,
            roster,
            clock,
            [nearbyClock, net](const QString& id, const QString& name, const QString& session) {
                return std::make_unique<NearbyLaunchDiscoveryService>(id, name, session, nullptr,
                                                                      nearbyClock, net->factory());
            },
            std::make_shared<InMemoryUserDefaults>()};
        coordinator = std::make_unique<DeviceHandoffViewModel>(
            deps,
            DeviceHandoffViewModel::makeThisDevice(kThisID, QStringLiteral("Desk"), clock->now()),
            true);
    }

private Q_SLOTS:
    void init() {
        clock = std::make_shared<VirtualClock>();
        network = std::make_unique<InMemoryNearbyNetwork>();
        defaults = std::make_shared<InMemoryUserDefaults>();
        roster = std::make_shared<DeviceRosterStore>(defaults);
        cloud = std::make_shared<FakeHandoffService>(clock);
        cloud->nearbyPeersJoinPeers = true;
        // The cloud knows nobody and answers its first fetch only after 5 s: whatever the
        // list shows before then came through the local network.
        cloud->latency.insert(QStringLiteral("fetchPresence"), 5s);
        roster->mergeRoster({remembered(kFavoriteID, QStringLiteral("Laptop")),
                             remembered(kOtherID, QStringLiteral("Tablet"))});
        roster->toggleFavorite(kFavoriteID);
    }

    void cleanup() {
        coordinator.reset();
        others.clear();
        for (int i = 0; i < 1000 && clock->advanceToNextTimer(); ++i) {
        }
        VirtualClock::drainEvents();
    }

    void favouriteFoundNearbyIsOnlineBeforeAnyCloudFetch() {
        CapturingLogSink log;
        advertiseNearby(kFavoriteID, QStringLiteral("Laptop"));
        startCoordinator();
        QCOMPARE(findDevice(coordinator->devices(), kFavoriteID)->presence,
                 DevicePresence::Offline);
        VirtualClock::drainEvents();

        const AppDevice* favorite = findDevice(coordinator->devices(), kFavoriteID);
        QVERIFY(favorite);
        QCOMPARE(favorite->presence, DevicePresence::Online);
        QCOMPARE(favorite->sessionID, QStringLiteral("session-2222"));
        QVERIFY(favorite->isFavorite);
        QCOMPARE(clock->monotonicNow(), Duration::zero());
        QCOMPARE(cloud->callCount(QStringLiteral("fetchPresence")), 1); // still in flight
        QCOMPARE(cloud->calls.filter(QStringLiteral("noteNearbyPeer")),
                 QStringList{QStringLiteral("noteNearbyPeer:%1/Laptop/session-2222/%2/%3")
                                 .arg(kFavoriteID, cloud->session, kThisID)});
        // This device published at once, so the favourite sees it too.
        QVERIFY(cloud->callCount(QStringLiteral("publishPresence")) >= 1);
        QCOMPARE(log.count(QStringLiteral("event=nearby_peer_found peer_device_id=22222222")), 1);
        // The laptop in turn heard this device advertise itself.
        QCOMPARE(log.count(QStringLiteral("event=nearby_peer_found peer_device_id=11111111")), 1);
    }

    void unknownOrNonFavouriteDeviceFoundNearbyChangesNothing() {
        CapturingLogSink log;
        advertiseOnly(kOtherID, QStringLiteral("Tablet"));
        advertiseOnly(kUnknownID, QStringLiteral("Stranger"));
        startCoordinator();
        const DeviceList before = coordinator->devices();
        VirtualClock::drainEvents();

        QCOMPARE(coordinator->devices(), before);
        QVERIFY(!findDevice(coordinator->devices(), kUnknownID));
        QCOMPARE(cloud->callCount(QStringLiteral("noteNearbyPeer")), 0);
        QCOMPARE(cloud->callCount(QStringLiteral("peerDevices")), 0);
        // Both were found; the coordinator chose to ignore them.
        QCOMPARE(log.count(QStringLiteral("event=nearby_peer_found peer_device_id=33333333")), 1);
        QCOMPARE(log.count(QStringLiteral("event=nearby_peer_found peer_device_id=44444444")), 1);
    }

    void coordinatorStopEndsTheWindowAndTeardownIsSilent() {
        CapturingLogSink log;
        startCoordinator();
        VirtualClock::drainEvents();
        QCOMPARE(log.count(QStringLiteral("event=nearby_launch_discovery_started")), 1);
        coordinator->stop();
        QCOMPARE(log.count(QStringLiteral("event=nearby_launch_discovery_stopped")), 1);
        coordinator.reset();
        QCOMPARE(log.count(QStringLiteral("event=nearby_launch_discovery_stopped")), 1);
        QCOMPARE(network->transports().size(), 0);
    }
};

QTEST_GUILESS_MAIN(NearbyCoordinatorTest)
#include "nearby_coordinator_test.moc"
