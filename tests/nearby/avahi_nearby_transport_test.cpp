// Nearby discovery through real avahi-daemons: two hosts in two network namespaces joined by a
// veth pair, each with its own system bus (set up by tests/support/with-avahi-pair.sh).

#include "src/nearby/avahi_nearby_transport.h"
#include "src/nearby/nearby_launch_discovery_service.h"
#include "src/runtime/log_channel.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <cstdio>

using namespace sonavert;

namespace {

const QString kIdA = QStringLiteral("A0A0A0A0-1111-4111-8111-111111111111");
const QString kIdB = QStringLiteral("B0B0B0B0-2222-4222-8222-222222222222");

/// One host's device: the discovery service over Avahi on that host's private bus.
struct Host {
    Host(const QString& busAddress, const QString& connectionName, const QString& id,
         const QString& name, std::shared_ptr<Clock> clock)
        : bus(QDBusConnection::connectToBus(busAddress, connectionName)) {
        service = std::make_unique<NearbyLaunchDiscoveryService>(
            id, name, QStringLiteral("session-") + id.left(4),
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

/// Stops or starts one host's avahi-daemon through the set-up script.
void controlDaemon(const QString& action, const QString& host) {
    QStringList command = qEnvironmentVariable("SONAVERT_AVAHI_CTL").split(QLatin1Char(' '));
    const QString program = command.takeFirst();
    QCOMPARE(QProcess::execute(program, command << action << host), 0);
}

} // namespace

class AvahiNearbyTransportTest : public QObject {
    Q_OBJECT

    std::shared_ptr<SystemClock> clock = std::make_shared<SystemClock>();
    int connections = 0;

    std::unique_ptr<Host> host(const char* which, const QString& id, const QString& name) {
        const QString address =
            qEnvironmentVariable(which[0] == 'a' ? "SONAVERT_AVAHI_BUS_A" : "SONAVERT_AVAHI_BUS_B");
        auto made = std::make_unique<Host>(address, QStringLiteral("bus-%1").arg(++connections), id,
                                           name, clock);
        [&] { QVERIFY2(made->bus.isConnected(), qPrintable(made->bus.lastError().message())); }();
        return made;
    }

    static QStringList errorsLogged(const CapturingLogSink& log) {
        QStringList errors;
        for (const auto& record : log.records())
            if (record.level == LogLevel::Error && record.category == LogCategory::Nearby)
                errors << record.message.section(QLatin1Char(' '), 0, 0);
        return errors;
    }

private Q_SLOTS:
    void txtRecordCarriesTheDiscoveryInformation() {
        const DiscoveryInfo info =
            NearbyLaunchDiscoveryService::makeDiscoveryInfo(kIdA, QStringLiteral("Büro"), "s=1");
        const auto txt = AvahiNearbyTransport::encodeTxt(info);
        QCOMPARE(txt.size(), 3);
        QVERIFY(txt.contains(QByteArray("deviceName=B\xc3\xbcro")));
        QCOMPARE(AvahiNearbyTransport::decodeTxt(txt), info); // '=' inside a value survives
        QCOMPARE(AvahiNearbyTransport::decodeTxt({"flag", "=x", "k="}),
                 (DiscoveryInfo{{QStringLiteral("k"), QString()}}));
        QCOMPARE(AvahiNearbyTransport::dnsServiceType(QStringLiteral("tessary")),
                 QStringLiteral("_tessary._tcp"));
    }

    void twoDevicesFindEachOtherWithinTwoSeconds() {
        CapturingLogSink log;
        auto a = host("a", kIdA, QStringLiteral("Desk"));
        auto b = host("b", kIdB, QStringLiteral("Laptop"));
        QElapsedTimer elapsed;
        elapsed.start();
        a->service->start();
        b->service->start();
        QTRY_VERIFY_WITH_TIMEOUT(a->found.contains(kIdB) && b->found.contains(kIdA), 2000);
        qInfo("found each other after %lld ms", static_cast<long long>(elapsed.elapsed()));
        QCOMPARE(a->found, QStringList{kIdB}); // each device skipped its own advertisement
        QCOMPARE(b->found, QStringList{kIdA});
        QCOMPARE(log.count(QStringLiteral("event=nearby_peer_found peer_device_id=B0B0B0B0")), 1);
        QCOMPARE(errorsLogged(log), QStringList{});
    }

    void sameNameOnBothHostsIsRenamedAndBothAreStillFound() {
        auto a = host("a", kIdA, QStringLiteral("Workstation"));
        auto b = host("b", kIdB, QStringLiteral("Workstation"));
        QSignalSpy establishedA(a->transport, &AvahiNearbyTransport::advertisementEstablished);
        QSignalSpy establishedB(b->transport, &AvahiNearbyTransport::advertisementEstablished);
        a->service->start();
        QTRY_COMPARE_WITH_TIMEOUT(establishedA.size(), 1, 5000);
        b->service->start();
        QTRY_VERIFY_WITH_TIMEOUT(a->found.contains(kIdB) && b->found.contains(kIdA), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(establishedB.size(), 1, 5000);
        QCOMPARE(a->transport->serviceName(), QStringLiteral("Workstation"));
        QCOMPARE(b->transport->serviceName(), QStringLiteral("Workstation #2"));
    }

    void daemonRestartIsLoggedAndDiscoveryResumes() {
        CapturingLogSink log;
        auto a = host("a", kIdA, QStringLiteral("Desk"));
        auto b = host("b", kIdB, QStringLiteral("Laptop"));
        a->service->start();
        b->service->start();
        QTRY_VERIFY_WITH_TIMEOUT(a->found.contains(kIdB) && b->found.contains(kIdA), 5000);

        controlDaemon(QStringLiteral("stop"), QStringLiteral("a"));
        QTRY_COMPARE_WITH_TIMEOUT(errorsLogged(log),
                                  (QStringList{QStringLiteral("event=nearby_advertise_failed"),
                                               QStringLiteral("event=nearby_browse_failed")}),
                                  5000);
        controlDaemon(QStringLiteral("start"), QStringLiteral("a"));
        // Host a publishes and browses again by itself; each side reports the other anew.
        QTRY_VERIFY_WITH_TIMEOUT(a->found.count(kIdB) == 2 && b->found.count(kIdA) == 2, 10000);
    }

    void absentDaemonIsLoggedWithoutBlockingAndLaterUsed() {
        CapturingLogSink log;
        controlDaemon(QStringLiteral("stop"), QStringLiteral("a"));
        auto a = host("a", kIdA, QStringLiteral("Desk"));
        auto b = host("b", kIdB, QStringLiteral("Laptop"));
        a->service->start();
        // The failure comes back from the bus later; start itself waited for nothing.
        QCOMPARE(errorsLogged(log), QStringList{});
        QTRY_COMPARE_WITH_TIMEOUT(errorsLogged(log),
                                  (QStringList{QStringLiteral("event=nearby_advertise_failed"),
                                               QStringLiteral("event=nearby_browse_failed")}),
                                  5000);
        b->service->start();
        controlDaemon(QStringLiteral("start"), QStringLiteral("a"));
        QTRY_VERIFY_WITH_TIMEOUT(a->found.contains(kIdB) && b->found.contains(kIdA), 10000);
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
