#pragma once

#include "app/cloud_server.h"
#include "runtime/clock.h"

#include <QTemporaryDir>
#include <QUrl>
#include <memory>

namespace sonavert::cloud::testing {

/// A real sonavert-cloud on a loopback port and a fresh SQLite data directory.
class TestCloudServer {
public:
    /// Runs on `clock` when given (a virtual clock), else on the system clock.
    explicit TestCloudServer(ServiceOptions options = {}, Clock* clock = nullptr);
    ~TestCloudServer();

    bool isRunning() const { return m_server != nullptr; }
    QUrl url() const { return m_url; }
    QString dataDirectory() const { return m_dataDir.path(); }
    QString databaseFile() const;
    CloudServer& server() { return *m_server; }

    /// Creates an account and gives its first token.
    QString addAccount(const QString& name);

private:
    QTemporaryDir m_dataDir;
    SystemClock m_systemClock;
    std::unique_ptr<CloudServer> m_server;
    QUrl m_url;
};

} // namespace sonavert::cloud::testing
