#pragma once

#include "server/app/cloud_server.h"
#include "src/runtime/clock.h"

#include <QTemporaryDir>
#include <QUrl>
#include <memory>

namespace sonavert::cloud::testing {

/// A real sonavert-cloud on a loopback port over fresh storage: a SQLite file in a temporary
/// directory, or, when SONAVERT_CLOUD_TEST_POSTGRES names a PostgreSQL server's maintenance
/// database (postgresql://user@127.0.0.1:PORT/postgres), a database of its own created there
/// and dropped afterwards.
class TestCloudServer {
public:
    /// Runs on `clock` when given (a virtual clock), else on the system clock. With `sharing`,
    /// a second instance over that server's PostgreSQL database (which it leaves to `sharing`
    /// to drop: destroy this one first).
    explicit TestCloudServer(ServiceOptions options = {}, Clock* clock = nullptr,
                             const TestCloudServer* sharing = nullptr);
    /// With the limits and options of `config`; its storage fields are filled in here.
    TestCloudServer(ServerConfig config, Clock* clock);
    ~TestCloudServer();

    bool isRunning() const { return m_server != nullptr; }
    QUrl url() const { return m_url; }
    QString databaseFile() const;
    bool isPostgres() const { return !m_databaseUrl.isEmpty(); }
    /// The storage options the command line needs to reach the same data.
    QStringList storageArguments() const;
    CloudServer& server() { return *m_server; }

    /// Creates an account and gives its first token.
    QString addAccount(const QString& name);
    /// Deletes a zone of the account's production database as its owner would; false when
    /// the account or the zone could not be found.
    bool deleteZoneByUser(const QString& account, const QString& container, const QString& zone);

    /// A connection of its own to the server's storage, to look at what it keeps.
    Result<std::unique_ptr<CloudStorage>> openStorage() const;
    /// Another server over the same storage, not listening: what the command line opens.
    Result<std::unique_ptr<CloudServer>> openAlongside(Clock& clock) const;

private:
    void start(ServerConfig config, Clock* clock, const TestCloudServer* sharing);
    QString createPostgresDatabase();
    void dropPostgresDatabase();

    QTemporaryDir m_dataDir;
    QString m_adminUrl;
    QString m_databaseName;
    QString m_databaseUrl;
    SystemClock m_systemClock;
    std::unique_ptr<CloudServer> m_server;
    QUrl m_url;
};

} // namespace sonavert::cloud::testing
