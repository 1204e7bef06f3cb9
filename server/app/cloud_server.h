#pragma once

#include "server/http/http_limits.h"
#include "server/http/http_transport.h"
#include "server/push/push_limits.h"
#include "server/service/cloud_service.h"
#include "src/runtime/result.h"

#include <QHostAddress>
#include <QObject>
#include <QUrl>
#include <memory>

namespace sonavert::cloud {

class CallDispatcher;
class CloudStorage;
class HttpFrontend;
class IoThreads;
class NotificationListener;
class OutboxRelay;
class PushHub;
class ServerMetrics;

struct ServerConfig {
    /// Empty: SQLite in `dataDirectory`; otherwise a postgresql:// URL.
    QString databaseUrl;
    QString dataDirectory;
    ServiceOptions service;
    HttpLimits http;
    /// TLS identity and trusted reverse proxies; plain HTTP from anyone by default.
    HttpTransport transport;
    PushLimits push;
    /// Deletions are remembered this long; a device offline for longer fetches from scratch.
    Duration tombstoneRetention = std::chrono::hours(24 * 30);
    Duration compactionInterval = std::chrono::hours(6);
    /// How often the connection that hears other instances (PostgreSQL) is checked, renewed
    /// when lost, and the notifications stored meanwhile caught up with.
    Duration listenerCheckInterval = std::chrono::seconds(10);
    /// Threads that answer reads, each with its own connection (0: one per core the process
    /// may run on for PostgreSQL; one for SQLite, whose reads the io threads answer with
    /// connections of their own). Writes go through one more thread, which commits them in
    /// groups.
    int readerThreads = 0;
    /// Threads that carry the connections, each with its own io_context (0: one per core the
    /// process may run on).
    int ioThreads = 0;
};

/// One sonavert-cloud instance: storage, service rules, push hub and HTTP front end.
class CloudServer : public QObject {
    Q_OBJECT
public:
    /// Opens storage and applies migrations; nothing listens yet.
    static Result<std::unique_ptr<CloudServer>> open(const ServerConfig& config, Clock& clock);
    ~CloudServer() override;

    /// Starts serving; port 0 picks a free one. Gives the base URL.
    Result<QUrl> listen(const QHostAddress& host, quint16 port);
    /// Serves the home's other computers on a listener of its own, over `transport`'s TLS (with
    /// this server's proxies), while listen() keeps serving this computer. Gives its base URL.
    Result<QUrl> listenForNetwork(const QHostAddress& host, quint16 port, HttpTransport transport);
    /// Serves /metrics (and the health checks) on a listener of its own, to whoever reaches
    /// it, instead of to loopback callers of the main port. Gives its base URL.
    Result<QUrl> listenForMetrics(const QHostAddress& host, quint16 port);
    /// The engine, where the data is (never a password) and the schema version, as the
    /// start-up line says them.
    QString describeStorage();
    const ServerMetrics& metrics() const;
    /// Closes the push channels and stops taking connections.
    void shutdown();

    CloudService& service() { return *m_service; }
    CallDispatcher& calls() { return *m_calls; }
    PushHub& pushHub() { return *m_hub; }
    /// Connections held now, push channels included.
    int connectionCount() const;
    /// Connections accepted so far, turned away or not.
    quint64 acceptedConnectionCount() const;
    /// Bytes of answers made and not yet taken by the kernel, over every connection.
    qint64 heldAnswerBytes() const;

private:
    CloudServer(std::unique_ptr<CloudStorage> storage, std::unique_ptr<CloudService> service,
                std::unique_ptr<CallDispatcher> calls, Clock& clock, const ServerConfig& config);
    void compactNow();
    void connectFanOut(std::unique_ptr<NotificationListener> listener);

    /// Marks the SQLite store as in use, so no restore replaces it under this instance; first,
    /// so it is let go only after every connection closed.
    std::shared_ptr<void> m_storeHold;
    /// Before everything the connections reach: what their threads still hold goes last.
    std::unique_ptr<IoThreads> m_io;
    std::unique_ptr<CloudStorage> m_storage;
    std::unique_ptr<CloudService> m_service;
    std::unique_ptr<CallDispatcher> m_calls;
    std::unique_ptr<PushHub> m_hub;
    std::unique_ptr<OutboxRelay> m_relay;
    std::unique_ptr<NotificationListener> m_listener;
    std::unique_ptr<HttpFrontend> m_http;
    Clock& m_clock;
    bool m_isSecure = false;
    Duration m_tombstoneRetention;
    Duration m_compactionInterval;
    Clock::TimerId m_compactionTimer = 0;
    QString m_storageDescription;
};

} // namespace sonavert::cloud
