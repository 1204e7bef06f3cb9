#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <csignal>
#include <sys/prctl.h>

namespace sonavert::test {

/// An X server of our own (Xvfb: no window manager, no TCP), for a program that will not start
/// without a display. Stops the server when destroyed.
class PrivateXServer {
public:
    PrivateXServer() = default;
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;
    ~PrivateXServer() {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            m_server.waitForFinished(10000);
        }
    }

    static bool isInstalled() { return !QStandardPaths::findExecutable("Xvfb").isEmpty(); }

    /// Starts the server on a display nobody uses; on failure says why in `reason`.
    bool start(QString* reason) {
        // The server dies with us, even when a test crashes.
        m_server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_server.setStandardErrorFile(QProcess::nullDevice());
        // Xvfb picks a free display itself and prints its number once it accepts clients.
        m_server.start("Xvfb",
                       {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        if (!m_server.waitForStarted(10000)) {
            *reason = "Xvfb cannot be started";
            return false;
        }
        while (!m_server.canReadLine()) {
            if (!m_server.waitForReadyRead(10000)) {
                *reason = "Xvfb printed no display";
                return false;
            }
        }
        m_display = ":" + QString::fromUtf8(m_server.readLine()).trimmed();
        return true;
    }

    /// The display's name for DISPLAY (":3").
    QString display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};

} // namespace sonavert::test
