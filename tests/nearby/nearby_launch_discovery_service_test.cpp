// NearbyLaunchDiscoveryService over the in-memory transport, on virtual time.

#include "src/nearby/in_memory_nearby_transport.h"
#include "src/nearby/nearby_launch_discovery_service.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/virtual_clock.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

const QString kThisID = u"AAAAAAAA-1111-4111-8111-111111111111"_s;
const QString kOtherID = u"BBBBBBBB-2222-4222-8222-222222222222"_s;
const QString kStarted = u"event=nearby_launch_discovery_started"_s;
const QString kStopped = u"event=nearby_launch_discovery_stopped"_s;
const QString kType = QString::fromLatin1(NearbyLaunchDiscoveryService::kServiceType);

/// One device's discovery service on a shared network, recording the peers it reports.
struct Device {
    Device(InMemoryNearbyNetwork& network, std::shared_ptr<VirtualClock> clock, QString id,
           QString name = u"Desk"_s, QString session = u"S-1"_s)
        : id(id)
        , service(std::make_unique<NearbyLaunchDiscoveryService>(
              id, name, session, [this](const NearbyPeer& peer) { found << peer; },
              std::move(clock), network.factory())) {}

    QStringList foundIDs() const {
        QStringList ids;
        for (const auto& peer : found)
            ids << peer.deviceID;
        return ids;
    }
    InMemoryNearbyTransport* transport(InMemoryNearbyNetwork& network) const {
        for (auto* t : network.transports())
            if (t->advertisement().peerName == id)
                return t;
        return nullptr;
    }

    QString id;
    QList<NearbyPeer> found;
    std::unique_ptr<NearbyLaunchDiscoveryService> service;
};

DiscoveryInfo info(std::initializer_list<std::pair<QString, QString>> entries) {
    DiscoveryInfo out;
    for (const auto& [key, value] : entries)
        out.insert(key, value);
    return out;
}

/// The three entries a complete advertisement carries.
DiscoveryInfo entries(const QString& id, const QString& name, const QString& session) {
    return info({{"deviceID", id}, {"deviceName", name}, {"sessionID", session}});
}

} // namespace

class NearbyLaunchDiscoveryServiceTest : public QObject {
    Q_OBJECT

    std::optional<CapturingLogSink> log; // what every case logs, from its start

private:
    std::shared_ptr<VirtualClock> m_clock;
    std::unique_ptr<InMemoryNearbyNetwork> m_network;

private Q_SLOTS:
    void init() {
        log.emplace();
        m_clock = std::make_shared<VirtualClock>();
        m_network = std::make_unique<InMemoryNearbyNetwork>();
    }
    void cleanup() {
        log.reset();
        VirtualClock::drainEvents();
        m_network.reset();
        m_clock.reset();
    }

    void advertisesExactlyTheThreeEntriesUnderTheServiceType() {
        Device device(*m_network, m_clock, kThisID, u"Desk"_s, u"S-9"_s);
        auto* transport = device.transport(*m_network);
        QVERIFY(transport && transport->hasDelegate());
        QCOMPARE(transport->advertisement().serviceType, u"tessary"_s);
        QCOMPARE(transport->advertisement().peerName, kThisID);
        QCOMPARE(transport->advertisement().discoveryInfo, entries(kThisID, "Desk", "S-9"));
        QVERIFY(!transport->isAdvertising() && !transport->isBrowsing());
    }

    void stopsByItselfTwelveSecondsAfterStart() {
        Device device(*m_network, m_clock, kThisID);
        auto* transport = device.transport(*m_network);
        device.service->start();
        QVERIFY(transport->isAdvertising() && transport->isBrowsing());
        QCOMPARE(log->messages(LogCategory::Nearby), QStringList{kStarted});

        m_clock->advance(12s - 1ms);
        QVERIFY(transport->isAdvertising() && transport->isBrowsing());
        m_clock->advance(1ms);
        QVERIFY(!transport->isAdvertising() && !transport->isBrowsing());
        QVERIFY(!device.service->hasPendingStop());
        QCOMPARE(log->messages(LogCategory::Nearby), (QStringList{kStarted, kStopped}));
    }

    void secondStartTenSecondsLaterRunsUntilTwelveAfterIt() {
        Device device(*m_network, m_clock, kThisID);
        auto* transport = device.transport(*m_network);
        device.service->start();
        m_clock->advance(10s);
        device.service->start();
        QCOMPARE(m_clock->pendingTimerCount(), std::size_t{1});

        m_clock->advance(12s - 1ms); // 22 s after the first start: the first window is long over
        QVERIFY(transport->isAdvertising() && transport->isBrowsing());
        QCOMPARE(log->count(kStopped), 0);
        m_clock->advance(1ms);
        QVERIFY(!transport->isAdvertising() && !transport->isBrowsing());
        QCOMPARE(log->count(kStarted), 2);
        QCOMPARE(log->count(kStopped), 1);
    }

    void stopCancelsTheAutomaticStopAndLogsOncePerCall() {
        Device device(*m_network, m_clock, kThisID);
        auto* transport = device.transport(*m_network);
        device.service->start();
        m_clock->advance(5s);
        device.service->stop();
        QVERIFY(!transport->isAdvertising() && !transport->isBrowsing());
        QVERIFY(!device.service->hasPendingStop());
        QCOMPARE(log->count(kStopped), 1);

        m_clock->advance(30s);
        QCOMPARE(log->count(kStopped), 1);
        device.service->stop();
        QCOMPARE(log->count(kStopped), 2);

        // A stop in one window leaves the next window's automatic stop alone.
        device.service->start();
        m_clock->advance(12s);
        QCOMPARE(log->count(kStopped), 3);
        QVERIFY(!transport->isAdvertising());
    }

    void teardownStopsWithoutTheStoppedEvent() {
        Device other(*m_network, m_clock, kOtherID);
        auto device = std::make_unique<Device>(*m_network, m_clock, kThisID);
        device->service->start();
        other.service->start();
        QCOMPARE(m_clock->pendingTimerCount(), std::size_t{2});
        device.reset();
        QCOMPARE(m_clock->pendingTimerCount(), std::size_t{1});
        QCOMPARE(m_network->transports().size(), 1);
        QCOMPARE(log->count(kStopped), 0);
        VirtualClock::drainEvents(); // deliveries to the torn-down service go nowhere
    }

    void reportsOtherDevicesWithTheirEntries() {
        Device a(*m_network, m_clock, kThisID, u"Desk"_s, u"S-A"_s);
        Device b(*m_network, m_clock, kOtherID, u"Laptop"_s, u"S-B"_s);
        a.service->start();
        QVERIFY(a.found.isEmpty()); // found peers arrive from the event loop, never inside start()
        b.service->start();
        VirtualClock::drainEvents();
        QCOMPARE(a.foundIDs(), QStringList{kOtherID});
        QCOMPARE(a.found.first().deviceName, u"Laptop"_s);
        QCOMPARE(a.found.first().sessionID, u"S-B"_s);
        QCOMPARE(b.foundIDs(), QStringList{kThisID});
        QCOMPARE(b.found.first().sessionID, u"S-A"_s);
        QCOMPARE(log->count(u"event=nearby_peer_found peer_device_id=BBBBBBBB"_s), 1);
        QCOMPARE(log->count(u"event=nearby_peer_found peer_device_id=AAAAAAAA"_s), 1);

        // A restart browses afresh, so a device still advertising is found again.
        a.service->stop();
        a.service->start();
        VirtualClock::drainEvents();
        QCOMPARE(a.foundIDs(), (QStringList{kOtherID, kOtherID}));
    }

    void neverReportsItselfOrIncompleteEntries() {
        Device device(*m_network, m_clock, kThisID);
        const QString s = u"S-X"_s;
        // This device seen through another interface, under another peer name.
        m_network->addForeignAdvertisement(kType, u"echo"_s, entries(kThisID, "Desk", s));
        m_network->addForeignAdvertisement(kType, u"no-session"_s,
                                           info({{"deviceID", "C1"}, {"deviceName", "c"}}));
        m_network->addForeignAdvertisement(kType, u"no-name"_s,
                                           info({{"deviceID", "C2"}, {"sessionID", s}}));
        m_network->addForeignAdvertisement(kType, u"no-id"_s,
                                           info({{"deviceName", "c"}, {"sessionID", s}}));
        m_network->addForeignAdvertisement(kType, u"no-info"_s, std::nullopt);
        m_network->addForeignAdvertisement(u"other"_s, u"other-type"_s, entries("C3", "c", s));
        m_network->addForeignAdvertisement(kType, u"complete"_s, entries("C4", "c", s));
        device.service->start();
        VirtualClock::drainEvents();

        QCOMPARE(device.foundIDs(), QStringList{u"C4"_s});
        QCOMPARE(log->messages(LogCategory::Nearby),
                 (QStringList{kStarted, u"event=nearby_peer_found peer_device_id=C4"_s}));
    }

    void foundEventCutsLongIdsToEightCharacters() {
        Device device(*m_network, m_clock, kThisID);
        const QString longID = u"0123abcd-89AB-4CDE-8F01-23456789ABCD"_s;
        QCOMPARE(longID.size(), 36);
        for (const QString& id : {longID, u"AB12C"_s})
            m_network->addForeignAdvertisement(kType, id, entries(id, "n", "s"));
        device.service->start();
        VirtualClock::drainEvents();
        QCOMPARE(device.foundIDs(), (QStringList{longID, u"AB12C"_s}));
        QCOMPARE(log->count(u"event=nearby_peer_found peer_device_id=0123abcd"_s), 1);
        QCOMPARE(log->count(u"event=nearby_peer_found peer_device_id=AB12C"_s), 1);
    }

    void nothingIsReportedAfterStop() {
        Device device(*m_network, m_clock, kThisID);
        Device other(*m_network, m_clock, kOtherID);
        device.service->start();
        m_clock->advance(12s);
        other.service->start();
        VirtualClock::drainEvents();
        QVERIFY(device.found.isEmpty());
        QCOMPARE(other.foundIDs(), QStringList{}); // device no longer advertises either
    }

    void failuresAreLoggedAndTheOtherHalfKeepsWorking() {
        LogChannel::instance().setShowPrivate(true);
        Device device(*m_network, m_clock, kThisID);
        Device other(*m_network, m_clock, kOtherID);
        other.service->start();
        m_network->failNextAdvertising(u"daemon not running"_s);
        device.service->start();
        VirtualClock::drainEvents();
        QCOMPARE(device.foundIDs(), QStringList{kOtherID}); // browsing still works
        QVERIFY(!other.foundIDs().contains(kThisID));

        device.service->stop();
        m_network->failNextBrowsing(u"bus gone"_s);
        device.service->start();
        VirtualClock::drainEvents();
        QCOMPARE(other.foundIDs(), QStringList{kThisID}); // advertising works this time
        LogChannel::instance().setShowPrivate(false);

        QStringList errors;
        for (const auto& record : log->records())
            if (record.level == LogLevel::Error && record.category == LogCategory::Nearby)
                errors << record.message;
        QCOMPARE(errors, (QStringList{"event=nearby_advertise_failed error=daemon not running",
                                      "event=nearby_browse_failed error=bus gone"}));
    }

    void everyInvitationIsDeclined() {
        Device device(*m_network, m_clock, kThisID);
        device.service->start();
        m_network->inviteAdvertisers(u"stranger"_s);
        m_network->inviteAdvertisers(u"another"_s);
        QCOMPARE(m_network->answers, (QList<bool>{false, false}));
    }
};

QTEST_GUILESS_MAIN(NearbyLaunchDiscoveryServiceTest)
#include "nearby_launch_discovery_service_test.moc"
