// Which of this computer's addresses an invitation names for the home's other computers.
#include "server/app/network_address.h"

#include <QtTest>

using namespace sonavert::cloud;

namespace {

InterfaceAddresses interface(const char* name, QStringList addresses, bool isUsable = true) {
    InterfaceAddresses entry{QString::fromLatin1(name), isUsable, {}};
    for (const QString& address : addresses)
        entry.addresses.append(QHostAddress(address));
    return entry;
}

} // namespace

class NetworkAddressTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theAddressOtherComputersReach_data() {
        QTest::addColumn<QString>("listen");
        QTest::addColumn<QList<InterfaceAddresses>>("interfaces");
        QTest::addColumn<QString>("chosen");
        const auto lo = interface("lo", {"127.0.0.1", "::1"}, false);
        QTest::newRow("a named address is itself")
            << "192.168.1.7" << QList{lo, interface("eth0", {"192.168.1.5"})} << "192.168.1.7";
        QTest::newRow("loopback only") << "0.0.0.0" << QList{lo} << "";
        QTest::newRow("home before a container bridge")
            << "0.0.0.0"
            << QList{lo, interface("docker0", {"172.17.0.1"}), interface("wlan0", {"192.168.1.5"})}
            << "192.168.1.5";
        QTest::newRow("private before public")
            << "0.0.0.0"
            << QList{interface("eth1", {"203.0.113.9"}), interface("eth0", {"10.0.0.4"})}
            << "10.0.0.4";
        QTest::newRow("an interface that is down")
            << "0.0.0.0"
            << QList{interface("eth0", {"192.168.1.5"}, false), interface("eth1", {"203.0.113.9"})}
            << "203.0.113.9";
        QTest::newRow("link-local is no address to give")
            << "::" << QList{interface("eth0", {"fe80::1", "169.254.3.3", "2001:db8::5"})}
            << "2001:db8::5";
        QTest::newRow("IPv6 only when the listener takes it")
            << "0.0.0.0" << QList{interface("eth0", {"2001:db8::5"})} << "";
    }
    void theAddressOtherComputersReach() {
        QFETCH(QString, listen);
        QFETCH(QList<InterfaceAddresses>, interfaces);
        QFETCH(QString, chosen);
        const QHostAddress address = addressForOtherComputers(QHostAddress(listen), interfaces);
        QCOMPARE(address.isNull() ? QString() : address.toString(), chosen);
    }
};

QTEST_APPLESS_MAIN(NetworkAddressTest)
#include "network_address_test.moc"
