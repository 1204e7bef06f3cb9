// A device that is not signed in has nothing to ask its server: the whole app composed as the
// program composes it, on virtual time, in front of a real sonavert-cloud seen through a relay
// that counts every connection. Signed out, a minute passes with no connection, one line on
// how to sign in and no error; once the account arrives the loops run against the server.

#include "src/account/remembered_account_session.h"
#include "src/app/tessary_app.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"
#include "tests/support/process_harness.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <mutex>

using namespace sonavert;
using test::awaitTask;

namespace {

constexpr int kEventLimitMs = 20000;

/// Passes every connection on to `target`, byte for byte, counting them.
class CountingRelay : public QObject {
    Q_OBJECT
public:
    explicit CountingRelay(quint16 target)
        : m_target(target) {
        connect(&m_server, &QTcpServer::newConnection, this, &CountingRelay::relay);
        m_server.listen(QHostAddress::LocalHost);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    int connections() const { return m_connections; }

Q_SIGNALS:
    void connected();

private:
    void relay() {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            ++m_connections;
            auto* upstream = new QTcpSocket(client);
            connect(client, &QTcpSocket::readyRead, upstream,
                    [client, upstream] { upstream->write(client->readAll()); });
            connect(upstream, &QTcpSocket::readyRead, client,
                    [client, upstream] { client->write(upstream->readAll()); });
            connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
            Q_EMIT connected();
        }
    }

    QTcpServer m_server;
    quint16 m_target;
    int m_connections = 0;
};

// The app's developer lines, recorded while the test's handler is in place; every message
// still goes on to the handler before it.
std::mutex g_linesMutex;
QStringList g_developerLines;
QtMessageHandler g_otherMessages = nullptr;

void recordDeveloperLines(QtMsgType type, const QMessageLogContext& context,
                          const QString& message) {
    if (qstrcmp(context.category, lcDeveloper().categoryName()) == 0) {
        std::lock_guard lock(g_linesMutex);
        g_developerLines << message;
    }
    g_otherMessages(type, context, message);
}

QStringList developerLines() {
    std::lock_guard lock(g_linesMutex);
    return g_developerLines;
}

} // namespace

class SignedOutAppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signedOutAsksNothingUntilTheAccountArrives() {
        test::CloudServerProcess cloud(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
        QVERIFY(cloud.isRunning());
        CountingRelay relay(static_cast<quint16>(QUrl(cloud.url()).port()));
        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("Music"))));
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());

        AppOptions options;
        options.isHeadless = true;
        options.profileDirectory = home.filePath(QStringLiteral("profile"));
        options.deviceName = QStringLiteral("Den");
        options.cloudUrl = relay.url();
        options.playerName = QStringLiteral("simulated");
        options.libraryFolders = {home.filePath(QStringLiteral("Music"))};
        auto clock = std::make_shared<VirtualClock>();
        CapturingLogSink events;
        g_otherMessages = qInstallMessageHandler(recordDeveloperLines);

        TessaryApp app(options, clock);
        QSignalSpy launched(&app, &TessaryApp::launched);
        app.launch();
        QVERIFY(!launched.isEmpty() || launched.wait(kEventLimitMs));
        for (int second = 0; second < 60; ++second) {
            clock->advance(std::chrono::seconds(1));
            VirtualClock::drainEvents();
        }
        QCOMPARE(relay.connections(), 0);
        QVERIFY(!app.coordinator()->isRunning());
        QCOMPARE(developerLines().filter(QStringLiteral("sonavertctl sign-in")).size(), 1);
        for (const LogRecord& record : events.records())
            QVERIFY2(record.level != LogLevel::Error && record.level != LogLevel::Fault,
                     qPrintable(record.message));

        // The account arrives: the loops start and reach the server at once.
        QSignalSpy reached(&relay, &CountingRelay::connected);
        QCoro::waitFor(app.account()->restore(QUrl(relay.url()), cloud.token()));
        QVERIFY(app.coordinator()->isRunning());
        QVERIFY(relay.connections() > 0 || reached.wait(kEventLimitMs));
        qInstallMessageHandler(g_otherMessages);

        QSignalSpy terminated(&app, &TessaryApp::terminated);
        app.terminate();
        clock->advance(TessaryApp::kOfflineMarkGrace);
        QVERIFY(!terminated.isEmpty() || terminated.wait(kEventLimitMs));
    }
};

QTEST_GUILESS_MAIN(SignedOutAppTest)
#include "signed_out_app_test.moc"
