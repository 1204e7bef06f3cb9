// The list a device shows of the servers found on the network: one entry per server however
// many ways it is seen, under the address a device can actually use.
#include "src/account/avahi_cloud_server_browser.h"
#include "src/avahi/avahi_browser.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

// Index 1 is the loopback interface on Linux: a name every machine has.
AvahiResolvedService seen(const QString& name, const QString& address, int interfaceIndex = 2,
                          QList<QByteArray> txt = {"protocol=1"}) {
    AvahiResolvedService service;
    service.route = AvahiServiceRoute{interfaceIndex, address.contains(':') ? 1 : 0, name,
                                      u"_sonavert-cloud._tcp"_s, u"local"_s};
    service.address = address;
    service.port = 8470;
    service.txt = std::move(txt);
    return service;
}

} // namespace

class CloudServerListTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void onePlainUsableAddressPerServer_data() {
        QTest::addColumn<QList<AvahiResolvedService>>("routes");
        QTest::addColumn<QStringList>("expected"); // "name url" per server
        QTest::newRow("ipv4") << QList{seen(u"Home"_s, u"192.168.1.5"_s)}
                              << QStringList{u"Home http://192.168.1.5:8470/"_s};
        QTest::newRow("ipv6 bracketed") << QList{seen(u"Home"_s, u"2001:db8::5"_s)}
                                        << QStringList{u"Home http://[2001:db8::5]:8470/"_s};
        QTest::newRow("ipv4 before ipv6, one entry on two interfaces")
            << QList{seen(u"Home"_s, u"2001:db8::5"_s), seen(u"Home"_s, u"fe80::5"_s, 1),
                     seen(u"Home"_s, u"192.168.1.5"_s, 3)}
            << QStringList{u"Home http://192.168.1.5:8470/"_s};
        // Routes arrive in no set order; the list must not flip with it.
        QTest::newRow("equally good addresses: the same one whichever comes first")
            << QList{seen(u"Home"_s, u"192.168.1.5"_s, 2), seen(u"Home"_s, u"10.0.0.5"_s, 3)}
            << QStringList{u"Home http://10.0.0.5:8470/"_s};
        QTest::newRow("equally good addresses, the other way round")
            << QList{seen(u"Home"_s, u"10.0.0.5"_s, 3), seen(u"Home"_s, u"192.168.1.5"_s, 2)}
            << QStringList{u"Home http://10.0.0.5:8470/"_s};
        QTest::newRow("routable ipv6 before link-local")
            << QList{seen(u"Home"_s, u"fe80::5"_s, 1), seen(u"Home"_s, u"2001:db8::5"_s)}
            << QStringList{u"Home http://[2001:db8::5]:8470/"_s};
        QTest::newRow("link-local only: with its interface")
            << QList{seen(u"Home"_s, u"fe80::5"_s, 1)}
            << QStringList{u"Home http://[fe80::5%25lo]:8470/"_s};
        QTest::newRow("link-local on no known interface is useless")
            << QList{seen(u"Home"_s, u"fe80::5"_s, 0)} << QStringList{};
        QTest::newRow("path from the TXT record")
            << QList{seen(u"Home"_s, u"10.0.0.2"_s, 2, {"protocol=1", "path=/sonavert"})}
            << QStringList{u"Home http://10.0.0.2:8470/sonavert"_s};
        QTest::newRow("a server that speaks TLS")
            << QList{seen(u"Home"_s, u"10.0.0.2"_s, 2, {"protocol=1", "tls=1"})}
            << QStringList{u"Home https://10.0.0.2:8470/"_s};
        QTest::newRow("another protocol version, or none, is left out")
            << QList{seen(u"New"_s, u"10.0.0.2"_s, 2, {"protocol=2"}),
                     seen(u"Odd"_s, u"10.0.0.3"_s, 2, {}), seen(u"Home"_s, u"10.0.0.4"_s)}
            << QStringList{u"Home http://10.0.0.4:8470/"_s};
        QTest::newRow("several servers in name order")
            << QList{seen(u"Study"_s, u"10.0.0.3"_s), seen(u"Attic"_s, u"10.0.0.2"_s)}
            << QStringList{u"Attic http://10.0.0.2:8470/"_s, u"Study http://10.0.0.3:8470/"_s};
    }
    void onePlainUsableAddressPerServer() {
        QFETCH(QList<AvahiResolvedService>, routes);
        QFETCH(QStringList, expected);
        QStringList listed;
        for (const FoundCloudServer& server : AvahiCloudServerBrowser::serversOf(routes))
            listed << server.name + u' ' + server.url.toString(QUrl::FullyEncoded);
        QCOMPARE(listed, expected);
    }
};

QTEST_GUILESS_MAIN(CloudServerListTest)
#include "cloud_server_list_test.moc"
