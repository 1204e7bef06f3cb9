// This computer's server for the home, as the first computer's set-up asks for it: used as it
// is when it answers, else enabled and started through a stand-in for the user's systemd
// manager on a private bus, and waited for; each way it cannot come up says so.
#include "src/account/home_server.h"
#include "tests/support/await_task.h"
#include "tests/support/private_session_bus.h"

#include <QDBusObjectPath>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace sonavert;
using test::awaitTask;

namespace {

/// Answers every request with 200, as a server's /healthz does, once it listens.
class HealthAnswer : public QObject {
    Q_OBJECT
public:
    bool listen(quint16 port) {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    socket->readAll();
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"
                                  "Connection: close\r\n\r\nok");
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return m_server.listen(QHostAddress::LocalHost, port);
    }

private:
    QTcpServer m_server;
};

/// The calls of the user's systemd manager that the set-up makes; starting the unit starts the
/// server, unless told it would not come up.
class FakeSystemdManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Manager")
public:
    quint16 port = 0;
    bool serverComesUp = true;
    QStringList enabled;
    QStringList started;
    /// What the calls carried that the service manager would not take as the set-up needs.
    QStringList misuse;
    std::unique_ptr<HealthAnswer> server;

public Q_SLOTS:
    void EnableUnitFiles(const QStringList& files, bool runtime, bool force) {
        if (runtime || !force) // it must come back at the next login, whatever was there
            misuse << QStringLiteral("EnableUnitFiles runtime=%1 force=%2").arg(runtime).arg(force);
        enabled << files;
    }
    QDBusObjectPath StartUnit(const QString& name, const QString& mode) {
        if (mode != QStringLiteral("replace"))
            misuse << QStringLiteral("StartUnit mode=") + mode;
        started << name;
        if (serverComesUp) {
            server = std::make_unique<HealthAnswer>();
            server->listen(port);
        }
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/1"));
    }
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class HomeServerTest : public QObject {
    Q_OBJECT

private:
    test::PrivateSessionBus m_bus;
    QDBusConnection m_connection{QString()};
    QNetworkAccessManager m_network;
    std::shared_ptr<Clock> m_clock = std::make_shared<SystemClock>();
    FakeSystemdManager m_manager;

    HomeServer::Settings settings() const {
        HomeServer::Settings settings;
        settings.localUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_manager.port));
        settings.probeInterval = std::chrono::milliseconds(20);
        settings.startTimeout = std::chrono::milliseconds(600);
        return settings;
    }

private Q_SLOTS:
    void initTestCase() {
        QString reason;
        if (!m_bus.start(&reason))
            QSKIP(qPrintable(reason));
        m_connection = m_bus.connect(QStringLiteral("home-server-test"));
        QVERIFY(m_connection.isConnected());
    }
    void init() {
        m_manager.port = freePort();
        m_manager.enabled.clear();
        m_manager.started.clear();
        m_manager.misuse.clear();
        m_manager.server.reset();
        m_manager.serverComesUp = true;
    }

    void aServerThatAnswersIsUsedAsItIs() {
        HealthAnswer running;
        QVERIFY(running.listen(m_manager.port));
        HomeServer home(m_connection, m_network, m_clock, settings());
        const auto url = awaitTask(home.ensureRunning());
        QVERIFY2(url, url ? "" : qPrintable(url.error().description));
        QCOMPARE(url.value(), settings().localUrl);
        QVERIFY(m_manager.started.isEmpty());
    }

    void aStoppedServerIsEnabledStartedAndWaitedFor() {
        QVERIFY(m_connection.registerService(QStringLiteral("org.freedesktop.systemd1")));
        QVERIFY(m_connection.registerObject(QStringLiteral("/org/freedesktop/systemd1"), &m_manager,
                                            QDBusConnection::ExportAllSlots));
        HomeServer home(m_connection, m_network, m_clock, settings());
        const auto url = awaitTask(home.ensureRunning());
        QVERIFY2(url, url ? "" : qPrintable(url.error().description));
        QCOMPARE(url.value(), settings().localUrl);
        QCOMPARE(m_manager.enabled, QStringList{QStringLiteral("sonavert-cloud-home.service")});
        QCOMPARE(m_manager.started, QStringList{QStringLiteral("sonavert-cloud-home.service")});
        QCOMPARE(m_manager.misuse, QStringList());

        // Started, but it never answers: the user is told where to look.
        m_manager.server.reset();
        m_manager.serverComesUp = false;
        const auto silent = awaitTask(home.ensureRunning());
        QVERIFY(!silent);
        QVERIFY(silent.error().is(HomeServerErrorCode::NoAnswer));
        QVERIFY2(silent.error().description.contains(QStringLiteral("journalctl --user")),
                 qPrintable(silent.error().description));
        m_connection.unregisterObject(QStringLiteral("/org/freedesktop/systemd1"));
        QVERIFY(m_connection.unregisterService(QStringLiteral("org.freedesktop.systemd1")));
    }

    void withoutAServiceManagerTheUserIsToldWhatIsMissing() {
        HomeServer home(m_connection, m_network, m_clock, settings());
        const auto url = awaitTask(home.ensureRunning());
        QVERIFY(!url);
        QVERIFY(url.error().is(HomeServerErrorCode::CannotStart));
        QVERIFY2(url.error().description.contains(QStringLiteral("sonavert-cloud package")),
                 qPrintable(url.error().description));
    }
};

QTEST_GUILESS_MAIN(HomeServerTest)
#include "home_server_test.moc"
