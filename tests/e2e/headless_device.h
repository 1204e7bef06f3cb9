#pragma once

// A `sonavert --headless` process on a session bus of its own, with a profile folder, driven
// through `sonavertctl` and watched through the control interface's change signal.

#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>

namespace sonavert::test {

inline const QString kControlService = QStringLiteral("io.sonavert.Sonavert");
inline const QString kControlPath = QStringLiteral("/io/sonavert/Sonavert");
inline const QString kControlInterface = QStringLiteral("io.sonavert.Sonavert.Control");
inline const QString kUnavailable = QStringLiteral("Your Sonavert account is not available.");
inline constexpr int kEventLimitMs = 60000; // only keeps a broken run from hanging

class StateSignal : public QObject {
    Q_OBJECT
public Q_SLOTS:
    void receive(const QString& state) { Q_EMIT changed(state); }
Q_SIGNALS:
    void changed(const QString& state);
};

/// A device's control interface as the tests watch it, on the device's session bus: its state,
/// read on demand and awaited on the change signal.
struct DeviceControl {
    QDBusConnection connection{QString()};
    StateSignal stateSignal;
    int eventLimitMs = kEventLimitMs;

    /// Listens to the control interface's changes on `bus`.
    void watch(const QDBusConnection& bus) {
        connection = bus;
        connection.connect(QString(), kControlPath, kControlInterface,
                           QStringLiteral("StateChanged"), &stateSignal, SLOT(receive(QString)));
    }

    /// Runs `start` (which starts the device); true once the control interface is on the bus.
    bool registersAfter(const std::function<bool()>& start) {
        QDBusServiceWatcher watcher(kControlService, connection,
                                    QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        return start() && registered.wait(eventLimitMs);
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
            if (limit.elapsed() > eventLimitMs || !changes.wait(eventLimitMs))
                return done(state());
        }
        return true;
    }

    bool waitForAccount(const QString& accountState) {
        return waitFor([&](const QJsonObject& s) {
            return s[QStringLiteral("account")][QStringLiteral("state")].toString() == accountState;
        });
    }

    /// The device named `name` in the list of `state`; empty when it is not listed.
    static QJsonObject peerIn(const QJsonObject& state, const QString& name) {
        for (const QJsonValue device : state[QStringLiteral("devices")].toArray())
            if (device[QStringLiteral("name")].toString() == name)
                return device.toObject();
        return {};
    }
    static bool isOnline(const QJsonObject& device) {
        return device[QStringLiteral("presence")].toString() == QLatin1String("online");
    }
    bool waitForOnline(const QString& peer) {
        return waitFor([&](const QJsonObject& s) { return isOnline(peerIn(s, peer)); });
    }
};

struct HeadlessDevice : DeviceControl {
    QString name;
    QString profile;
    PrivateSessionBus bus;
    QProcess app;

    ~HeadlessDevice() { stop(); }

    QMap<QString, QString> extraEnvironment; ///< for every start and every sonavertctl run

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = withSessionBus(bus.address());
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/sonavert-e2e-system-bus"));
        environment.insert(QStringLiteral("SONAVERT_LOG_TARGET"), QStringLiteral("stderr"));
        environment.insert(QStringLiteral("SONAVERT_UPDATE_FEED_URL"),
                           QStringLiteral("http://127.0.0.1:9/appcast.xml"));
        environment.remove(QStringLiteral("SONAVERT_CLOUD_TOKEN"));
        environment.remove(QStringLiteral("SONAVERT_ACCOUNT_KEY"));
        for (auto it = extraEnvironment.begin(); it != extraEnvironment.end(); ++it)
            environment.insert(it.key(), it.value());
        return environment;
    }

    /// Names the device, puts its profile in `scratch` and starts its bus.
    bool setUp(const QString& deviceName, const QString& scratch, QString* reason) {
        name = deviceName;
        profile = scratch + QLatin1Char('/') + deviceName;
        return startBus(reason);
    }

    bool startBus(QString* reason) {
        if (!bus.start(reason))
            return false;
        watch(bus.connect(name));
        return true;
    }

    /// Starts the device with `extra` arguments and environment; true once it is on its bus.
    bool start(const QStringList& extra = {}, const QString& token = {}) {
        QProcessEnvironment env = environment();
        if (!token.isEmpty())
            env.insert(QStringLiteral("SONAVERT_CLOUD_TOKEN"), token);
        app.setProcessEnvironment(env);
        app.setStandardOutputFile(profile + QStringLiteral(".out"), QIODevice::Append);
        app.setStandardErrorFile(profile + QStringLiteral(".log"), QIODevice::Append);
        return registersAfter([&] {
            app.start(QStringLiteral(SONAVERT_EXECUTABLE),
                      QStringList{QStringLiteral("--headless"), QStringLiteral("--profile"),
                                  profile, QStringLiteral("--name"), name,
                                  QStringLiteral("--player"), QStringLiteral("simulated")} +
                          extra);
            return app.waitForStarted();
        });
    }

    void stop() {
        if (app.state() == QProcess::NotRunning)
            return;
        QSignalSpy finished(&app, &QProcess::finished);
        app.terminate();
        finished.wait(kEventLimitMs);
    }

    /// What the device logged (standard error): its events.
    QString log() const { return readText(profile + QStringLiteral(".log")); }
    /// What the device printed (standard output): its developer lines.
    QString output() const { return readText(profile + QStringLiteral(".out")); }

    static QString readText(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    ProgramRun ctl(const QStringList& arguments) {
        return ChildProgram(QStringLiteral(SONAVERTCTL_EXECUTABLE), arguments, environment())
            .finish();
    }
};

} // namespace sonavert::test
