#pragma once

#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <sys/prctl.h>

namespace sonavert::test {

/// A D-Bus daemon of our own, listening in a scratch folder, so tests never touch the user's
/// session bus. Stops the daemon when destroyed.
class PrivateSessionBus {
public:
    PrivateSessionBus() = default;
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
    ~PrivateSessionBus() {
        for (const QString& name : m_connectionNames)
            QDBusConnection::disconnectFromBus(name);
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            m_daemon.waitForFinished(10000);
        }
    }

    /// Lets programs of other users connect (a player that will not run as root, run as
    /// nobody by a test running as root). Call before `start`.
    void allowOtherUsers() { m_allowOtherUsers = true; }

    /// Starts the daemon; on failure says why in `reason`.
    bool start(QString* reason) {
        const QString config = m_dir.filePath("bus.conf");
        QFile file(config);
        if (!m_dir.isValid() || !file.open(QIODevice::WriteOnly)) {
            *reason = "no scratch folder for the bus";
            return false;
        }
        file.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                  "<auth>EXTERNAL</auth><policy context=\"default\">"
                                  "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/>%2</policy>"
                                  "</busconfig>\n")
                       .arg(m_dir.path(),
                            m_allowOtherUsers ? QStringLiteral("<allow user=\"*\"/>") : QString())
                       .toUtf8());
        file.close();
        // The daemon dies with us, even when a test crashes.
        m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_daemon.start("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address=1"});
        if (!m_daemon.waitForStarted(10000)) {
            *reason = "dbus-daemon cannot be started";
            return false;
        }
        // The daemon prints its address once it listens; wait for that line.
        while (!m_daemon.canReadLine()) {
            if (!m_daemon.waitForReadyRead(10000)) {
                *reason = "dbus-daemon printed no address";
                return false;
            }
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        // The socket is world-writable; its folder has to let the other users through.
        if (m_allowOtherUsers)
            QFile::setPermissions(m_dir.path(),
                                  QFile::permissions(m_dir.path()) | QFileDevice::ExeOther);
        return true;
    }

    QString address() const { return m_address; }

    /// A new connection of this process to the bus.
    QDBusConnection connect(const QString& name) {
        m_connectionNames.append(name);
        return QDBusConnection::connectToBus(m_address, name);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connectionNames;
    bool m_allowOtherUsers = false;
};

} // namespace sonavert::test
