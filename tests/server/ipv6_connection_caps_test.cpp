// The connection caps count an IPv6 client by its /64: one subscriber holds a whole /64 and
// would otherwise fill the server from its addresses in turn. Run in a network namespace of
// the test's own, whose loopback holds addresses of two /64 networks.
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_main.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/checked.h"

#include <QtTest>
#include <cstdlib>
#include <sched.h>

using namespace sonavert::cloud::testing;
using sonavert::cloud::ServerConfig;

namespace {

const char* const kServer = "fd00:5::1";

// Before main, while the process has one thread: only then may it leave the host's network.
const bool g_isIsolated =
    unshare(CLONE_NEWNET) == 0 &&
    std::system("ip link set lo up && "
                "for a in fd00:5::1 fd00:5::a fd00:5::b fd00:5::c fd00:6::a; do "
                "ip -6 addr add $a/128 dev lo nodad || exit 1; done") == 0;

int healthCheckStatus(const QUrl& url, const char* from) {
    return RawConnection::statusOf(url, RawConnection::healthCheck(),
                                   QHostAddress(QString::fromLatin1(from)));
}

} // namespace

class Ipv6ConnectionCapsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void anIpv6NetworkCountsAsOneClient() {
        if (!g_isIsolated)
            QSKIP("needs a network namespace of its own (run as root)");
        ServerConfig config;
        config.http.maxConnectionsPerAddress = 2;
        TestCloudServer server(config, nullptr);
        QVERIFY(server.isRunning());
        const auto url = server.server().listen(QHostAddress(QString::fromLatin1(kServer)), 0);
        QVERIFY(url.ok());
        RawConnection first(url.value(), QHostAddress(QStringLiteral("fd00:5::a")));
        RawConnection second(url.value(), QHostAddress(QStringLiteral("fd00:5::b")));
        // A third address of the same /64 is the same client.
        RawConnection third(url.value(), QHostAddress(QStringLiteral("fd00:5::c")));
        QCOMPARE(third.awaitStatus(), 503);
        // Another /64 is another client, and an address of the first is served again once one
        // of its connections went.
        QCOMPARE(healthCheckStatus(url.value(), "fd00:6::a"), 200);
        first.socket().disconnectFromHost();
        QVERIFY(first.waitForClose());
        // Waited for once: a second look could meet the first one's connection not yet seen
        // closed by the server, and be turned away for it.
        QVERIFY(
            QTest::qWaitFor([&] { return healthCheckStatus(url.value(), "fd00:5::c") == 200; }));
    }
};

SONAVERT_SERVER_TEST_MAIN(Ipv6ConnectionCapsTest)
#include "ipv6_connection_caps_test.moc"
