#pragma once

// A program under test run as a child of the test, awaited on its own events.

#include "tests/support/process_harness.h"

#include <QProcess>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

namespace sonavert::test {

/// How a program ended and what it wrote; exit code -1 when it did not finish or crashed.
struct ProgramRun {
    int exitCode = -1;
    QString out;
    QString err;
};

/// The system environment with the session bus at `address`.
inline QProcessEnvironment withSessionBus(const QString& address) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
    return environment;
}

/// One run of a program, given `input` on standard input. The event loop keeps running while
/// the test waits on it, so whatever this process serves to the program (a control interface,
/// a fake player) can answer.
class ChildProgram {
public:
    ChildProgram(const QString& program, const QStringList& arguments,
                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                 const QByteArray& input = {}, bool keepsInputOpen = false) {
        m_process.setProcessEnvironment(environment);
        m_process.start(program, arguments);
        m_process.write(input);
        if (!keepsInputOpen)
            m_process.closeWriteChannel();
    }
    ~ChildProgram() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kProcessLimitMs);
        }
    }

    ProgramRun finish() {
        QSignalSpy finished(&m_process, &QProcess::finished);
        if (m_process.state() != QProcess::NotRunning)
            finished.wait(kProcessLimitMs);
        const bool ended = m_process.state() == QProcess::NotRunning &&
                           m_process.exitStatus() == QProcess::NormalExit;
        return {ended ? m_process.exitCode() : -1,
                QString::fromUtf8(m_process.readAllStandardOutput()),
                QString::fromUtf8(m_process.readAllStandardError())};
    }

    /// More standard input, for a program started with its input kept open; the last ends it.
    void writeInput(const QByteArray& bytes) {
        m_process.write(bytes);
        m_process.closeWriteChannel();
    }

    /// Asks the program to stop (SIGTERM); finish() awaits the end.
    void terminate() { m_process.terminate(); }

    /// The next line of standard output; empty when the program ended first.
    QString nextLine() {
        QSignalSpy readable(&m_process, &QProcess::readyReadStandardOutput);
        while (!m_process.canReadLine() && m_process.state() != QProcess::NotRunning)
            if (!readable.wait(kProcessLimitMs))
                break;
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }

private:
    QProcess m_process;
};

} // namespace sonavert::test
