#include "bench/cloud_load/cloud_server_process.h"

#include <QFile>
#include <QUrl>
#include <unistd.h>

namespace sonavert::bench {

CloudServerProcess::CloudServerProcess(const QString& executable, const QString& dataDir,
                                       const QString& cpus) {
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Real devices come from addresses of their own; here thousands share 16 loopback
    // addresses, so the per-address cap (and the total one) must not be what stops them.
    m_process.start(QStringLiteral("taskset"),
                    {QStringLiteral("-c"), cpus, executable, QStringLiteral("--listen"),
                     QStringLiteral("127.0.0.1:0"), QStringLiteral("--data-dir"), dataDir,
                     QStringLiteral("--max-connections"), QStringLiteral("150000"),
                     QStringLiteral("--max-connections-per-address"), QStringLiteral("150000")});
    if (!m_process.waitForStarted())
        return;
    while (m_process.state() == QProcess::Running && !m_process.canReadLine())
        m_process.waitForReadyRead(10000);
    const QUrl url(QString::fromUtf8(m_process.readLine()).trimmed());
    m_port = static_cast<std::uint16_t>(url.port(0));
}

CloudServerProcess::~CloudServerProcess() {
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished();
}

double CloudServerProcess::cpuSeconds() const {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return 0.0;
    const QByteArray text = stat.readAll();
    // Fields after the command name (which may hold spaces): state is field 3, utime 14.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long CloudServerProcess::residentKb() const {
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

} // namespace sonavert::bench
