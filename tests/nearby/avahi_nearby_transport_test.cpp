// Nearby discovery through real avahi-daemons: two hosts in two network namespaces joined by a
// veth pair, each with its own system bus (set up by tests/support/with-avahi-pair.sh).

#include "src/nearby/avahi_nearby_transport.h"
#include "src/nearby/nearby_launch_discovery_service.h"
#include "src/runtime/log_channel.h"
#include "tests/support/avahi_pair.h"
#include "tests/support/checked.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <cstdio>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

const QString kIdA = u"A0A0A0A0-1111-4111-8111-111111111111"_s;
const QString kIdB = u"B0B0B0B0-2222-4222-8222-222222222222"_s;

/// One host's device: the discovery service over Avahi on that host's private bus.
struct Host {
    Host(const QString& busAddress, const QString& connectionName, const QString& id,
         const QString& name, std::shared_ptr<Clock> clock)
        : bus(QDBusConnection::connectToBus(busAddress, connectionName)) {
        service = std::make_unique<NearbyLaunchDiscoveryService>(
            id, name, u"session-"_s + id.left(4),
            [this](const NearbyPeer& peer) { found << peer.deviceID; }, std::move(clock),
            [this](const NearbyAdvertisement& ad) {
                auto made = std::make_unique<AvahiNearbyTransport>(ad, bus);
                transport = made.get();
                return std::unique_ptr<NearbyTransport>(std::move(made));
            });
    }

    QDBusConnection bus;
    AvahiNearbyTransport* transport = nullptr;
    QStringList found;
    std::unique_ptr<NearbyLaunchDiscoveryService> service;
};

} // namespace

class AvahiNearbyTransportTest : public QObject {
    Q_OBJECT

    std::shared_ptr<SystemClock> clock = std::make_shared<SystemClock>();
    int connections = 0;

    std::unique_ptr<Host> m_a;
    std::unique_ptr<Host> m_b;

    /// A device named `nameA` on host a and one named `nameB` on host b.
    void openHosts(const QString& nameA, const QString& nameB) {
        m_a = std::make_unique<Host>(qEnvironmentVariable("SONAVERT_AVAHI_BUS_A"),
                                     u"bus-%1"_s.arg(++connections), kIdA, nameA, clock);
        m_b = std::make_unique<Host>(qEnvironmentVariable("SONAVERT_AVAHI_BUS_B"),
                                     u"bus-%1"_s.arg(++connections), kIdB, nameB, clock);
        for (const Host* host : {m_a.get(), m_b.get()})
            QVERIFY2(host->bus.isConnected(), qPrintable(host->bus.lastError().message()));
    }

    static QStringList errorsLogged(const CapturingLogSink& log) {
        QStringList errors;
        for (const auto& record : log.records())
            if (record.level == LogLevel::Error && record.category == LogCategory::Nearby)
                errors << record.message.section(QLatin1Char(' '), 0, 0);
        // Publisher and browser each hear the daemon leave; which of them is told first is
        // up to the bus.
        errors.sort();
        return errors;
    }

private Q_SLOTS:
    void cleanup() {
        m_a.reset();
        m_b.reset();
    }

    void txtRecordCarriesTheDiscoveryInformation() {
        const DiscoveryInfo info =
            NearbyLaunchDiscoveryService::makeDiscoveryInfo(kIdA, u"Büro"_s, "s=1");
        const auto txt = AvahiNearbyTransport::encodeTxt(info);
        QCOMPARE(txt.size(), 3);
        QVERIFY(txt.contains(QByteArray("deviceName=B\xc3\xbcro")));
        QCOMPARE(AvahiNearbyTransport::decodeTxt(txt), info); // '=' inside a value survives
        QCOMPARE(AvahiNearbyTransport::decodeTxt({"flag", "=x", "k="}),
                 (DiscoveryInfo{{u"k"_s, QString()}}));
        QCOMPARE(AvahiNearbyTransport::dnsServiceType(u"tessary"_s), u"_tessary._tcp"_s);
    }

    void twoDevicesFindEachOtherWithinTwoSeconds() {
        CapturingLogSink log;
        CHECKED(openHosts(u"Desk"_s, u"Laptop"_s));
        QElapsedTimer elapsed;
        elapsed.start();
        m_a->service->start();
        m_b->service->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->found.contains(kIdB) && m_b->found.contains(kIdA), 2000);
        qInfo("found each other after %lld ms", static_cast<long long>(elapsed.elapsed()));
        QCOMPARE(m_a->found, QStringList{kIdB}); // each device skipped its own advertisement
        QCOMPARE(m_b->found, QStringList{kIdA});
        QCOMPARE(log.count(u"event=nearby_peer_found peer_device_id=B0B0B0B0"_s), 1);
        QCOMPARE(errorsLogged(log), QStringList{});
    }

    void sameNameOnBothHostsIsRenamedAndBothAreStillFound() {
        CHECKED(openHosts(u"Workstation"_s, u"Workstation"_s));
        QSignalSpy establishedA(m_a->transport, &AvahiNearbyTransport::advertisementEstablished);
        QSignalSpy establishedB(m_b->transport, &AvahiNearbyTransport::advertisementEstablished);
        m_a->service->start();
        QTRY_COMPARE_WITH_TIMEOUT(establishedA.size(), 1, 5000);
        m_b->service->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->found.contains(kIdB) && m_b->found.contains(kIdA), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(establishedB.size(), 1, 5000);
        QCOMPARE(m_a->transport->serviceName(), u"Workstation"_s);
        QCOMPARE(m_b->transport->serviceName(), u"Workstation #2"_s);
    }

    void daemonRestartIsLoggedAndDiscoveryResumes() {
        CapturingLogSink log;
        CHECKED(openHosts(u"Desk"_s, u"Laptop"_s));
        m_a->service->start();
        m_b->service->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->found.contains(kIdB) && m_b->found.contains(kIdA), 5000);

        CHECKED(test::controlAvahiDaemon(u"stop"_s, u"a"_s));
        QTRY_COMPARE_WITH_TIMEOUT(
            errorsLogged(log),
            (QStringList{u"event=nearby_advertise_failed"_s, u"event=nearby_browse_failed"_s}),
            5000);
        CHECKED(test::controlAvahiDaemon(u"start"_s, u"a"_s));
        // Host a publishes and browses again by itself; each side reports the other anew.
        QTRY_VERIFY_WITH_TIMEOUT(m_a->found.count(kIdB) == 2 && m_b->found.count(kIdA) == 2, 10000);
    }

    void absentDaemonIsLoggedWithoutBlockingAndLaterUsed() {
        CapturingLogSink log;
        CHECKED(test::controlAvahiDaemon(u"stop"_s, u"a"_s));
        CHECKED(openHosts(u"Desk"_s, u"Laptop"_s));
        // The failure comes back from the bus: usually after start has returned, but the bus
        // thread may have the answer before the call is awaited, so only the outcome is checked.
        m_a->service->start();
        QTRY_COMPARE_WITH_TIMEOUT(
            errorsLogged(log),
            (QStringList{u"event=nearby_advertise_failed"_s, u"event=nearby_browse_failed"_s}),
            5000);
        m_b->service->start();
        CHECKED(test::controlAvahiDaemon(u"start"_s, u"a"_s));
        QTRY_VERIFY_WITH_TIMEOUT(m_a->found.contains(kIdB) && m_b->found.contains(kIdA), 10000);
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("SONAVERT_AVAHI_BUS_A") ||
        qEnvironmentVariableIsEmpty("SONAVERT_AVAHI_BUS_B")) {
        std::puts("SKIP: run through tests/support/with-avahi-pair.sh, which makes the hosts");
        return 77;
    }
    QCoreApplication app(argc, argv);
    AvahiNearbyTransportTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "avahi_nearby_transport_test.moc"
