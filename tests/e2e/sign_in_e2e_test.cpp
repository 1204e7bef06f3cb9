// Adding a computer to an account, from the command line, as a user would: two `sonavert
// --headless` processes, each on a session bus of its own, and one sonavert-cloud (in this
// process, so that the test can move its wall clock on instead of waiting for a code to
// expire). Kitchen is signed in; Study starts with no account, signs in with the code Kitchen's
// `sonavertctl invite` prints, keeps its sign-in across a restart, is signed out when its
// token is revoked with `sonavert-cloud token revoke`, and comes back with a new code. Spent
// and expired codes are refused.

#include "tests/server/test_cloud_server.h"
#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/shifted_clock.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;

namespace {

const QString kControlService = QStringLiteral("io.sonavert.Sonavert");
const QString kControlPath = QStringLiteral("/io/sonavert/Sonavert");
const QString kControlInterface = QStringLiteral("io.sonavert.Sonavert.Control");
const QString kUnavailable = QStringLiteral("iCloud is not available.");
constexpr int kEventLimitMs = 60000; // only keeps a broken run from hanging

class StateSignal : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void receive(const QString& state) { Q_EMIT changed(state); }
Q_SIGNALS:
    void changed(const QString& state);
};

struct Device {
    QString name;
    QString profile;
    test::PrivateSessionBus bus;
    QDBusConnection connection{QString()};
    QProcess app;
    StateSignal stateSignal;

    ~Device() { stop(); }

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = test::withSessionBus(bus.address());
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/sonavert-e2e-system-bus"));
        environment.insert(QStringLiteral("SONAVERT_LOG_TARGET"), QStringLiteral("stderr"));
        environment.insert(QStringLiteral("SONAVERT_UPDATE_FEED_URL"),
                           QStringLiteral("http://127.0.0.1:9/appcast.xml"));
        environment.remove(QStringLiteral("SONAVERT_CLOUD_TOKEN"));
        return environment;
    }

    bool startBus(QString* reason) {
        if (!bus.start(reason))
            return false;
        connection = bus.connect(name);
        connection.connect(QString(), kControlPath, kControlInterface,
                           QStringLiteral("StateChanged"), &stateSignal, SLOT(receive(QString)));
        return true;
    }

    /// Starts the device with `extra` arguments and environment; true once it is on its bus.
    bool start(const QStringList& extra = {}, const QString& token = {}) {
        QDBusServiceWatcher watcher(kControlService, connection,
                                    QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        QProcessEnvironment env = environment();
        if (!token.isEmpty())
            env.insert(QStringLiteral("SONAVERT_CLOUD_TOKEN"), token);
        app.setProcessEnvironment(env);
        app.setStandardOutputFile(profile + QStringLiteral(".out"), QIODevice::Append);
        app.setStandardErrorFile(profile + QStringLiteral(".log"), QIODevice::Append);
        app.start(QStringLiteral(SONAVERT_EXECUTABLE),
                  QStringList{QStringLiteral("--headless"), QStringLiteral("--profile"), profile,
                              QStringLiteral("--name"), name, QStringLiteral("--player"),
                              QStringLiteral("simulated")} +
                      extra);
        return app.waitForStarted() && registered.wait(kEventLimitMs);
    }

    void stop() {
        if (app.state() == QProcess::NotRunning)
            return;
        QSignalSpy finished(&app, &QProcess::finished);
        app.terminate();
        finished.wait(kEventLimitMs);
    }

    QString log() const {
        QFile file(profile + QStringLiteral(".log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QJsonObject state() {
        const QDBusReply<QString> reply = connection.call(QDBusMessage::createMethodCall(
            kControlService, kControlPath, kControlInterface, QStringLiteral("GetState")));
        return reply.isValid() ? QJsonDocument::fromJson(reply.value().toUtf8()).object()
                               : QJsonObject();
    }

    /// Waits on the change signal for the state to satisfy `done`.
    bool waitFor(const std::function<bool(const QJsonObject&)>& done) {
        QSignalSpy changes(&stateSignal, &StateSignal::changed);
        QElapsedTimer limit;
        limit.start();
        while (!done(state())) {
            if (limit.elapsed() > kEventLimitMs || !changes.wait(kEventLimitMs))
                return done(state());
        }
        return true;
    }

    bool waitForAccount(const QString& accountState) {
        return waitFor([&](const QJsonObject& s) {
            return s[QStringLiteral("account")][QStringLiteral("state")].toString() == accountState;
        });
    }

    bool waitForOnline(const QString& peer) {
        return waitFor([&](const QJsonObject& s) {
            for (const QJsonValue device : s[QStringLiteral("devices")].toArray())
                if (device[QStringLiteral("name")].toString() == peer &&
                    device[QStringLiteral("presence")].toString() == QLatin1String("online"))
                    return true;
            return false;
        });
    }

    test::ProgramRun ctl(const QStringList& arguments) {
        return test::ChildProgram(QStringLiteral(SONAVERTCTL_EXECUTABLE), arguments, environment())
            .finish();
    }
};

} // namespace

class SignInEndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    test::ShiftedClock m_serverClock; // before the server, which schedules on it
    std::unique_ptr<cloud::testing::TestCloudServer> m_cloud;
    Device m_kitchen;
    Device m_study;

    /// A fresh code from Kitchen through `sonavertctl --json invite`.
    QString invite() {
        const test::ProgramRun run =
            m_kitchen.ctl({QStringLiteral("--json"), QStringLiteral("invite")});
        const QJsonObject invitation = QJsonDocument::fromJson(run.out.toUtf8()).object();
        if (run.exitCode != 0 ||
            invitation[QStringLiteral("server")].toString() != m_cloud->url().toString())
            qWarning().noquote() << "invite:" << run.out << run.err;
        return invitation[QStringLiteral("code")].toString();
    }

    test::ProgramRun signInStudy(const QString& code) {
        return m_study.ctl({QStringLiteral("sign-in"), QStringLiteral("--server"),
                            m_cloud->url().toString(), QStringLiteral("--code"), code});
    }

private Q_SLOTS:
    void initTestCase() {
        m_cloud = std::make_unique<cloud::testing::TestCloudServer>(cloud::ServiceOptions{},
                                                                    &m_serverClock);
        QVERIFY(m_cloud->isRunning());
        for (auto [device, name] :
             {std::pair{&m_kitchen, "Kitchen"}, std::pair{&m_study, "Study"}}) {
            device->name = QLatin1String(name);
            device->profile = m_scratch.filePath(device->name);
            QString reason;
            if (!device->startBus(&reason))
                QSKIP(qPrintable(reason));
        }
    }

    void cleanupTestCase() {
        m_study.stop();
        m_kitchen.stop();
        m_cloud.reset();
    }

    void aSecondComputerJoinsWithACodeAndLeavesWhenRevoked() {
        const QString token = m_cloud->addAccount(QStringLiteral("home"));
        QVERIFY(m_kitchen.start({QStringLiteral("--cloud"), m_cloud->url().toString()}, token));
        QVERIFY(m_kitchen.waitForAccount(QStringLiteral("signedIn")));

        // No account: Study runs, says how to sign in, and reports the unavailable account.
        QVERIFY(m_study.start());
        QVERIFY(m_study.waitFor([](const QJsonObject& s) {
            return s[QStringLiteral("syncError")].toString().startsWith(kUnavailable);
        }));
        QCOMPARE(m_study.state()[QStringLiteral("account")][QStringLiteral("state")].toString(),
                 QStringLiteral("signedOut"));
        QVERIFY(
            m_study.log().contains(QStringLiteral("sonavertctl sign-in --server URL --code CODE")));

        const QString code = invite();
        QVERIFY(!code.isEmpty());
        const test::ProgramRun signedIn = signInStudy(code);
        QVERIFY2(signedIn.exitCode == 0, qPrintable(signedIn.err));
        QVERIFY2(signedIn.out.contains(QStringLiteral("home")), qPrintable(signedIn.out));
        QVERIFY(m_kitchen.waitForOnline(QStringLiteral("Study")));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));

        // Restarted with no flags at all, Study is still signed in.
        m_study.stop();
        QVERIFY(m_study.start());
        QVERIFY(m_study.waitForAccount(QStringLiteral("signedIn")));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));
        const test::ProgramRun account =
            m_study.ctl({QStringLiteral("--json"), QStringLiteral("account")});
        const QJsonObject info = QJsonDocument::fromJson(account.out.toUtf8()).object();
        QCOMPARE(info[QStringLiteral("accountName")].toString(), QStringLiteral("home"));
        QCOMPARE(info[QStringLiteral("deviceName")].toString(), QStringLiteral("Study"));
        QVERIFY(!account.out.contains(token));

        // A spent code is refused, and the sign-in in place stays.
        const test::ProgramRun again = signInStudy(code);
        QCOMPARE(again.exitCode, 1);
        QVERIFY2(again.err.contains(QStringLiteral("wrong or has expired")), qPrintable(again.err));
        QCOMPARE(m_study.state()[QStringLiteral("account")][QStringLiteral("state")].toString(),
                 QStringLiteral("signedIn"));

        // Revoked on the server: signed out, with the unavailable account's text, no crash.
        const test::ProgramRun revoked =
            test::ChildProgram(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE),
                               QStringList{QStringLiteral("token"), QStringLiteral("revoke"),
                                           QStringLiteral("--account"), QStringLiteral("home"),
                                           QStringLiteral("--name"), QStringLiteral("Study")} +
                                   m_cloud->storageArguments())
                .finish();
        QVERIFY2(revoked.exitCode == 0, qPrintable(revoked.err));
        QVERIFY(m_study.waitForAccount(QStringLiteral("signedOut")));
        QVERIFY(m_study.waitFor([](const QJsonObject& s) {
            return s[QStringLiteral("syncError")].toString().startsWith(kUnavailable);
        }));
        QVERIFY(m_study.state()[QStringLiteral("account")][QStringLiteral("lastError")]
                    .toString()
                    .contains(QStringLiteral("removed")));
        QCOMPARE(m_study.app.state(), QProcess::Running);

        // A new code brings it back.
        const test::ProgramRun back = signInStudy(invite());
        QVERIFY2(back.exitCode == 0, qPrintable(back.err));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));
        QVERIFY(m_study.waitFor(
            [](const QJsonObject& s) { return s[QStringLiteral("syncError")].isNull(); }));

        // A code past its ten minutes is refused: the server's clock moves on, nobody waits.
        const QString late = invite();
        m_serverClock.shiftWallClock(11 * 60);
        const test::ProgramRun expired = signInStudy(late);
        QCOMPARE(expired.exitCode, 1);
        QVERIFY2(expired.err.contains(QStringLiteral("wrong or has expired")),
                 qPrintable(expired.err));
    }
};

QTEST_GUILESS_MAIN(SignInEndToEndTest)
#include "sign_in_e2e_test.moc"
