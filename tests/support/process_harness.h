#pragma once

// Running the project's programs from tests: each step waits on the program's own output or
// exit (events), with a generous limit that only keeps a hung child from hanging CI.

#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <csignal>
#include <memory>

namespace sonavert::test {

inline constexpr int kProcessLimitMs = 60000;

/// Reads standard output until a line containing `text` arrives; false when the process ends
/// first.
inline bool waitForLine(QProcess& process, const QString& text, QString* seen) {
    while (!seen->contains(text)) {
        if (process.state() == QProcess::NotRunning)
            return false;
        if (!process.waitForReadyRead(kProcessLimitMs) && process.state() == QProcess::NotRunning)
            return false;
        *seen += QString::fromUtf8(process.readAllStandardOutput());
    }
    return true;
}

/// A sonavert-cloud on a loopback port over a throwaway SQLite store, with one account.
class CloudServerProcess {
public:
    /// `serveArguments` go to the server beside its address and data folder.
    explicit CloudServerProcess(const QString& program, const QStringList& serveArguments = {})
        : m_program(program) {
        m_token = addAccount("me");
        if (m_token.isEmpty())
            return;
        m_server.start(m_program,
                       QStringList{"--listen", "127.0.0.1:0", "--data-dir", m_data.path()} +
                           serveArguments);
        QString out;
        if (waitForLine(m_server, "\n", &out))
            m_url = out.trimmed();
    }
    ~CloudServerProcess() {
        m_server.terminate();
        m_server.waitForFinished(kProcessLimitMs);
    }
    /// A further account in the same store, usable while the server runs; its token, or
    /// empty when it could not be made.
    QString addAccount(const QString& name) {
        QProcess add;
        add.start(m_program, {"account", "add", name, "--data-dir", m_data.path()});
        if (!add.waitForFinished(kProcessLimitMs) || add.exitCode() != 0)
            return {};
        const QStringList lines = QString::fromUtf8(add.readAllStandardOutput())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.last().trimmed();
    }
    bool isRunning() const { return !m_url.isEmpty() && !m_token.isEmpty(); }
    /// Ends the server the hard way (SIGKILL): no goodbye to its clients.
    void kill() {
        m_server.kill();
        m_server.waitForFinished(kProcessLimitMs);
    }
    /// Holds the server where it stands (SIGSTOP): its connections stay open and nothing
    /// answers, as with a machine that stalls; `thaw` lets it go on.
    void freeze() { ::kill(static_cast<pid_t>(m_server.processId()), SIGSTOP); }
    void thaw() { ::kill(static_cast<pid_t>(m_server.processId()), SIGCONT); }
    /// Starts the server again on the same address and store; true once it listens.
    bool restart() {
        const QString address = m_url.section("://", 1).section(QLatin1Char('/'), 0, 0);
        m_server.start(m_program, {"--listen", address, "--data-dir", m_data.path()});
        QString out;
        return waitForLine(m_server, "\n", &out);
    }
    QString url() const { return m_url; }
    QString token() const { return m_token; }
    qint64 pid() const { return m_server.processId(); }
    /// Where the server keeps its store.
    QString dataDir() const { return m_data.path(); }
    /// What the server wrote (its log) since the last call.
    QByteArray takeOutput() {
        return m_server.readAllStandardOutput() + m_server.readAllStandardError();
    }
    /// An account key for the devices of the account "me", given to each for its run (as
    /// its token is), so that devices started together share one key without a verification.
    QString accountKey() const { return m_accountKey; }

private:
    QString m_program;
    QTemporaryDir m_data;
    QProcess m_server;
    QString m_url;
    QString m_token;
    QString m_accountKey = randomAccountKey();

    static QString randomAccountKey() {
        QByteArray key(32, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(key.data()), 8);
        return QString::fromLatin1(key.toBase64());
    }
};

} // namespace sonavert::test
