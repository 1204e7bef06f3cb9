#pragma once

#include <QProcess>
#include <QString>
#include <cstdint>

namespace sonavert::bench {

/// sonavert-cloud started under `taskset -c CPUS` on a data directory, on a free loopback port.
/// Reads the server's own CPU time and resident memory from /proc.
class CloudServerProcess {
public:
    CloudServerProcess(const QString& executable, const QString& dataDir, const QString& cpus);
    ~CloudServerProcess();

    bool isRunning() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    /// User + system CPU seconds the server has used so far.
    double cpuSeconds() const;
    /// VmRSS in KiB.
    long residentKb() const;

private:
    QProcess m_process;
    std::uint16_t m_port = 0;
};

} // namespace sonavert::bench
