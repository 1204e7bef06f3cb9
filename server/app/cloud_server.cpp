#include "server/app/cloud_server.h"

#include "server/http/http_frontend.h"
#include "server/net/io_threads.h"
#include "server/push/outbox_relay.h"
#include "server/push/push_hub.h"
#include "server/service/call_dispatcher.h"
#include "server/storage/storage_factory.h"
#include "server/wire/server_error.h"

#include <QLoggingCategory>

namespace sonavert::cloud {

namespace {

Q_LOGGING_CATEGORY(lcServer, "sonavert.cloud.server")

} // namespace

Result<std::unique_ptr<CloudServer>> CloudServer::open(const ServerConfig& config, Clock& clock) {
    // Before the first connection: a restore under way must not have its store opened.
    auto hold = holdCloudStorage(config.databaseUrl, config.dataDirectory);
    SONAVERT_TRY(hold);
    auto storage = openCloudStorage(config.databaseUrl, config.dataDirectory);
    SONAVERT_TRY(storage);
    auto service = CloudService::create(*storage.value(), clock, config.service);
    SONAVERT_TRY(service);
    // SQLite's reads wait on no network: the io threads answer them with connections of their
    // own, and a reader thread is left for the readiness probe. PostgreSQL's may wait on the
    // network, so they go to a reader thread per core, and the io threads never wait for them.
    const bool readsAnywhere = !isPostgresUrl(config.databaseUrl);
    const int readers = config.readerThreads > 0 ? config.readerThreads
                        : readsAnywhere          ? 1
                                                 : usableCores();
    auto calls = CallDispatcher::start(
        [url = config.databaseUrl, dir = config.dataDirectory] {
            return openCloudStorage(url, dir);
        },
        clock, config.service, service.value()->shares(), readers, readsAnywhere);
    SONAVERT_TRY(calls);
    std::unique_ptr<CloudServer> server(new CloudServer(std::move(storage.value()),
                                                        std::move(service.value()),
                                                        std::move(calls.value()), clock, config));
    server->m_storeHold = std::move(hold.value());
    server->m_storageDescription = describeCloudStorage(config.databaseUrl, config.dataDirectory);
    return server;
}

CloudServer::CloudServer(std::unique_ptr<CloudStorage> storage,
                         std::unique_ptr<CloudService> service,
                         std::unique_ptr<CallDispatcher> calls, Clock& clock,
                         const ServerConfig& config)
    : m_io(std::make_unique<IoThreads>(config.ioThreads > 0 ? config.ioThreads : usableCores(),
                                       clock))
    , m_storage(std::move(storage))
    , m_service(std::move(service))
    , m_calls(std::move(calls))
    , m_hub(std::make_unique<PushHub>(*m_service, clock, config.push))
    , m_http(std::make_unique<HttpFrontend>(*m_calls, *m_hub, config.http, config.transport, clock,
                                            *m_io))
    , m_clock(clock)
    , m_isSecure(config.transport.tls.has_value())
    , m_tombstoneRetention(config.tombstoneRetention)
    , m_compactionInterval(config.compactionInterval) {
    if (m_calls->readsAnywhere())
        m_http->openThreadReaders();
    m_compactionTimer = m_clock.schedule(m_compactionInterval, [this] { compactNow(); });
    connectFanOut(
        openNotificationListener(config.databaseUrl, clock, config.listenerCheckInterval));
}

void CloudServer::connectFanOut(std::unique_ptr<NotificationListener> listener) {
    if (!listener) {
        // Alone on its database, this instance hears every notification as it stores it.
        connect(m_service.get(), &CloudService::notificationsStored, m_hub.get(),
                &PushHub::deliver);
        connect(m_calls.get(), &CallDispatcher::notificationsStored, m_hub.get(),
                &PushHub::deliver);
        return;
    }
    // Other instances store notifications too, and only the stored order is the same for all:
    // even this instance's own go through the outbox.
    m_listener = std::move(listener);
    m_relay = std::make_unique<OutboxRelay>(*m_service, *m_hub);
    const auto pullStored = [relay = m_relay.get()](const QList<PushNotification>& stored) {
        // A group may hold several accounts' notifications: each account is read once.
        QHash<qint64, qint64> newest;
        for (const PushNotification& notification : stored)
            newest[notification.accountId] =
                std::max(newest[notification.accountId], notification.id);
        for (auto it = newest.cbegin(); it != newest.cend(); ++it)
            relay->pull(it.key(), it.value());
    };
    connect(m_service.get(), &CloudService::notificationsStored, m_relay.get(), pullStored);
    connect(m_calls.get(), &CallDispatcher::notificationsStored, m_relay.get(), pullStored);
    connect(m_listener.get(), &NotificationListener::announced, m_relay.get(), &OutboxRelay::pull);
    connect(m_listener.get(), &NotificationListener::mayHaveMissed, m_relay.get(),
            &OutboxRelay::catchUp);
}

// Members go in reverse order: the front end and hub before the service and storage they use,
// the io threads' contexts last. The threads themselves end first: nothing of a connection
// runs while what it uses goes.
CloudServer::~CloudServer() {
    m_io->stop();
    m_clock.cancelScheduled(m_compactionTimer);
}

void CloudServer::compactNow() {
    auto compacted = m_service->compactTombstones(m_tombstoneRetention);
    if (!compacted)
        qCWarning(lcServer).noquote() << "compaction failed:" << compacted.error().description;
    m_compactionTimer = m_clock.schedule(m_compactionInterval, [this] { compactNow(); });
}

namespace {

Result<QUrl> urlOf(bool isSecure, const QHostAddress& host, quint16 asked, quint16 bound) {
    if (bound == 0)
        return makeError(QStringLiteral("Listen"), 0,
                         QStringLiteral("cannot listen on %1:%2").arg(host.toString()).arg(asked));
    QUrl url;
    url.setScheme(isSecure ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(host.toString());
    url.setPort(bound);
    return url;
}

} // namespace

Result<QUrl> CloudServer::listen(const QHostAddress& host, quint16 port) {
    return urlOf(m_isSecure, host, port, m_http->listenGuarded(host, port));
}

Result<QUrl> CloudServer::listenForNetwork(const QHostAddress& host, quint16 port,
                                           HttpTransport transport) {
    const bool isSecure = transport.tls.has_value();
    return urlOf(isSecure, host, port, m_http->listenGuarded(host, port, std::move(transport)));
}

Result<QUrl> CloudServer::listenForMetrics(const QHostAddress& host, quint16 port) {
    return urlOf(m_isSecure, host, port, m_http->listenForMetrics(host, port));
}

QString CloudServer::describeStorage() {
    auto version = m_storage->schemaVersion();
    return m_storageDescription + QStringLiteral(", schema version ") +
           (version ? QString::number(version.value()) : QStringLiteral("unknown"));
}

const ServerMetrics& CloudServer::metrics() const {
    return m_http->metrics();
}

int CloudServer::connectionCount() const {
    return m_http->connectionCount();
}

quint64 CloudServer::acceptedConnectionCount() const {
    return m_http->acceptedCount();
}

qint64 CloudServer::heldAnswerBytes() const {
    return m_http->heldAnswerBytes();
}

void CloudServer::shutdown() {
    m_http->closeListeners();
    m_hub->closeAll();
}

} // namespace sonavert::cloud
