#pragma once

#include "tests/support/audio_fixtures.h"
#include "tests/support/private_session_bus.h"

#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStringList>

namespace sonavert::test {

/// mpv with its MPRIS plugin, as the tests run it: no configuration of the user's (which
/// would load the plugin twice), no audio device, idle until told what to play.
struct MpvFixture {
    static QString plugin() { return "/usr/lib/mpv-mpris/mpris.so"; }

    static QStringList arguments() {
        return {"--no-config", "--script=" + plugin(), "--idle=yes", "--no-video",
                "--ao=null",   "--no-terminal"};
    }

    /// Why mpv tests cannot run here; empty when they can.
    static QString skipReason() {
        if (QStandardPaths::findExecutable("mpv").isEmpty())
            return "mpv is not installed";
        if (!QFileInfo::exists(plugin()))
            return "mpv-mpris is not installed (no " + plugin() + ")";
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
            return "dbus-daemon is not installed";
        const QStringList missing = AudioFixtures::missingTools();
        if (!missing.isEmpty())
            return "cannot make test audio without " + missing.join(", ");
        return {};
    }
};

/// One mpv on a private session bus of its own, as on a machine of its own. Stops mpv when
/// destroyed (before the bus goes).
class MpvOnPrivateBus {
public:
    MpvOnPrivateBus() = default;
    MpvOnPrivateBus(const MpvOnPrivateBus&) = delete;
    MpvOnPrivateBus& operator=(const MpvOnPrivateBus&) = delete;
    ~MpvOnPrivateBus() {
        m_mpv.terminate();
        m_mpv.waitForFinished(5000);
    }

    /// Starts the bus and mpv (with `home` as its HOME) and waits for mpv's MPRIS name to
    /// appear; `connectionName` names this process's connection to the bus. On failure says
    /// why in `reason`.
    bool start(const QString& connectionName, const QString& home, QString* reason) {
        if (!m_bus.start(reason))
            return false;
        m_connection = m_bus.connect(connectionName);
        QDBusServiceWatcher watcher("org.mpris.MediaPlayer2.mpv", m_connection,
                                    QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_mpv.setProcessEnvironment(environment(home));
        m_mpv.start("mpv", MpvFixture::arguments());
        if (!m_mpv.waitForStarted() || !registered.wait(20000)) {
            *reason = "mpv never appeared on the bus";
            return false;
        }
        return true;
    }

    /// The environment of a program run "on this machine": its bus, and `home`.
    QProcessEnvironment environment(const QString& home) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", m_bus.address());
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", home + "/config");
        return environment;
    }

    QDBusConnection connection() const { return m_connection; }
    PrivateSessionBus& bus() { return m_bus; }

private:
    PrivateSessionBus m_bus;
    QDBusConnection m_connection{QString()};
    QProcess m_mpv;
};

} // namespace sonavert::test
