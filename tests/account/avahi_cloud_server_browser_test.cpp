// Finding sonavert-cloud on the local network through real avahi-daemons: two hosts in two
// network namespaces joined by a veth pair, each with its own system bus (set up by
// tests/support/with-avahi-pair.sh). This test itself runs in host b's namespace, so the
// addresses it finds are the ones a device there would use.
#include "src/account/avahi_cloud_server_browser.h"
#include "tests/support/avahi_pair.h"
#include "tests/support/checked.h"
#include "tests/support/child_program.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

constexpr int kFoundWithinMs = 10000;

/// `sonavert-cloud` serving in host `host`'s namespace, announcing through its daemon.
struct CloudOnHost {
    CloudOnHost(const QString& host, const QStringList& options)
        : program(u"ip"_s,
                  QStringList{u"netns"_s, u"exec"_s, qEnvironmentVariable(namespaceOf(host)),
                              QStringLiteral(SONAVERT_CLOUD_EXECUTABLE), u"--data-dir"_s,
                              data.path()} +
                      options,
                  withSystemBus(qEnvironmentVariable(busOf(host)))) {
        url = QUrl(program.nextLine());
    }
    static QByteArray namespaceOf(const QString& host) {
        return "SONAVERT_AVAHI_NETNS_" + host.toUpper().toLatin1();
    }
    static QByteArray busOf(const QString& host) {
        return "SONAVERT_AVAHI_BUS_" + host.toUpper().toLatin1();
    }
    static QProcessEnvironment withSystemBus(const QString& address) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, address);
        return environment;
    }

    QTemporaryDir data;
    ChildProgram program;
    QUrl url; ///< as printed: the address it listens on
};

QStringList namesOf(const CloudServerBrowser& browser) {
    QStringList names;
    for (const FoundCloudServer& server : browser.servers())
        names << server.name;
    return names;
}

QUrl urlOf(const CloudServerBrowser& browser, const QString& name) {
    for (const FoundCloudServer& server : browser.servers())
        if (server.name == name)
            return server.url;
    return {};
}

/// Whether a Sonavert server answers at `base`: a claim without a code is refused in its way.
QString serverErrorAt(const QUrl& base) {
    QNetworkAccessManager network;
    QNetworkRequest request(base.resolved(QUrl(u"pairing/1/claim"_s)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    std::unique_ptr<QNetworkReply> reply(network.post(request, "{}"));
    // Beyond loopback each server serves a certificate it made itself; whom to trust is not
    // what this test is about.
    reply->ignoreSslErrors();
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(kFoundWithinMs))
        return {};
    return QJsonDocument::fromJson(reply->readAll()).object().value("serverErrorCode").toString();
}

} // namespace

class AvahiCloudServerBrowserTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void serversAreFoundRenamedOnClashAndLostWhenTheyStop() {
        const QDBusConnection bus =
            QDBusConnection::connectToBus(qEnvironmentVariable("SONAVERT_AVAHI_BUS_B"), u"b"_s);
        QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
        AvahiCloudServerBrowser browser(bus);
        browser.start();

        // Not announced: told not to, or reachable from this machine only.
        CloudOnHost hidden(u"a"_s, {u"--listen"_s, u"0.0.0.0:0"_s, u"--no-advertise"_s,
                                    u"--advertise-name"_s, u"Hidden"_s});
        CloudOnHost loopback(
            u"a"_s, {u"--listen"_s, u"127.0.0.1:0"_s, u"--advertise-name"_s, u"Loopback"_s});
        CloudOnHost home(u"a"_s,
                         {u"--listen"_s, u"0.0.0.0:0"_s, u"--advertise-name"_s, u"Home Cloud"_s});
        QTRY_VERIFY_WITH_TIMEOUT(namesOf(browser).contains(u"Home Cloud"_s), kFoundWithinMs);
        const QUrl found = urlOf(browser, u"Home Cloud"_s);
        QCOMPARE(found, QUrl(u"https://10.213.0.1:%1/"_s.arg(home.url.port())));
        QCOMPARE(serverErrorAt(found), u"BAD_REQUEST"_s);

        // The same name on the other host: the later one takes the daemon's alternative.
        CloudOnHost twin(u"b"_s,
                         {u"--listen"_s, u"0.0.0.0:0"_s, u"--advertise-name"_s, u"Home Cloud"_s});
        QTRY_COMPARE_WITH_TIMEOUT(
            namesOf(browser), (QStringList{u"Home Cloud"_s, u"Home Cloud #2"_s}), kFoundWithinMs);
        QCOMPARE(urlOf(browser, u"Home Cloud #2"_s),
                 QUrl(u"https://10.213.0.2:%1/"_s.arg(twin.url.port())));
        QCOMPARE(serverErrorAt(urlOf(browser, u"Home Cloud #2"_s)), u"BAD_REQUEST"_s);

        home.program.terminate();
        const ProgramRun stopped = home.program.finish();
        QCOMPARE(stopped.exitCode, 0);
        QVERIFY(stopped.err.contains(u"advertisement withdrawn from the local network"_s));
        QVERIFY2(stopped.err.contains(u"advertised on the local network as \"Home Cloud\""_s),
                 qPrintable(stopped.err));
        QTRY_COMPARE_WITH_TIMEOUT(namesOf(browser), QStringList{u"Home Cloud #2"_s},
                                  kFoundWithinMs);
        twin.program.terminate();
        QVERIFY(twin.program.finish().err.contains(u"as \"Home Cloud #2\""_s));
        loopback.program.terminate();
        QVERIFY(loopback.program.finish().err.contains(u"127.0.0.1 only"_s));
        hidden.program.terminate();
        QVERIFY(!hidden.program.finish().err.contains(u"advertised"_s));
        QTRY_COMPARE_WITH_TIMEOUT(namesOf(browser), QStringList{}, kFoundWithinMs);
    }

    // The daemon is no part of serving: without it the server serves on, says so once, and
    // is advertised when the daemon comes.
    void aServerStartedWithoutItsDaemonIsFoundOnceTheDaemonComes() {
        const QDBusConnection bus =
            QDBusConnection::connectToBus(qEnvironmentVariable("SONAVERT_AVAHI_BUS_B"), u"b"_s);
        AvahiCloudServerBrowser browser(bus);
        browser.start();
        CHECKED(controlAvahiDaemon(u"stop"_s, u"a"_s));
        CloudOnHost late(u"a"_s, {u"--listen"_s, u"0.0.0.0:0"_s, u"--advertise-name"_s, u"Late"_s});
        const QUrl direct(u"https://10.213.0.1:%1/"_s.arg(late.url.port()));
        QCOMPARE(serverErrorAt(direct), u"BAD_REQUEST"_s);
        QVERIFY(namesOf(browser).isEmpty());

        CHECKED(controlAvahiDaemon(u"start"_s, u"a"_s));
        QTRY_COMPARE_WITH_TIMEOUT(namesOf(browser), QStringList{u"Late"_s}, kFoundWithinMs);
        QCOMPARE(urlOf(browser, u"Late"_s), direct);
        late.program.terminate();
        const QString log = late.program.finish().err;
        QCOMPARE(log.count(u"not advertised on the local network: avahi-daemon is not "
                           u"reachable"_s),
                 1);
        QVERIFY2(log.contains(u"advertisement withdrawn from the local network"_s),
                 qPrintable(log));
        QTRY_COMPARE_WITH_TIMEOUT(namesOf(browser), QStringList{}, kFoundWithinMs);
    }
};

// The test's own sockets belong to host b: only from there is 10.213.0.1 reachable.
static bool enterNamespace(const QString& name) {
    const int fd = open(qPrintable(u"/run/netns/"_s + name), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        close(fd);
    return entered;
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("SONAVERT_AVAHI_NETNS_B")) {
        std::puts("SKIP: run through tests/support/with-avahi-pair.sh, which makes the hosts");
        return 77;
    }
    if (!enterNamespace(qEnvironmentVariable("SONAVERT_AVAHI_NETNS_B"))) {
        std::puts("SKIP: cannot enter host b's network namespace");
        return 77;
    }
    QCoreApplication app(argc, argv);
    AvahiCloudServerBrowserTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "avahi_cloud_server_browser_test.moc"
