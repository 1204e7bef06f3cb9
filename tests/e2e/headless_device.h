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

struct HeadlessDevice {
    QString name;
    QString profile;
    PrivateSessionBus bus;
    QDBusConnection connection{QString()};
    QProcess app;
    StateSignal stateSignal;

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

    /// What the device logged (standard error): its events.
    QString log() const { return readText(profile + QStringLiteral(".log")); }
    /// What the device printed (standard output): its developer lines.
    QString output() const { return readText(profile + QStringLiteral(".out")); }

    static QString readText(const QString& path) {
        QFile file(path);
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

    ProgramRun ctl(const QStringList& arguments) {
        return ChildProgram(QStringLiteral(SONAVERTCTL_EXECUTABLE), arguments, environment())
            .finish();
    }
};

} // namespace sonavert::test
