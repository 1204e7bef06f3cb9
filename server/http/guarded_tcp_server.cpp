#include "server/http/guarded_tcp_server.h"

#include "server/http/connection_guard.h"
#include "server/http/http_refusal.h"
#include "server/http/server_metrics.h"
#include "server/service/guess_throttle.h"
#include "server/wire/error_json.h"
#include "server/wire/server_error.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QSslSocket>
#include <sys/resource.h>
#include <sys/socket.h>

namespace sonavert::cloud {

namespace {

Q_LOGGING_CATEGORY(lcListener, "sonavert.cloud.listener")

// Timeouts are met to within this.
constexpr Duration kSweepInterval = std::chrono::milliseconds(500);
// Descriptors kept for the database, the listening socket and whatever a refusal needs.
constexpr rlim_t kReservedDescriptors = 64;

int fittingConnectionCap(int configured) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur <= kReservedDescriptors)
        return configured;
    const auto fitting = static_cast<int>(
        std::min<rlim_t>(limit.rlim_cur - kReservedDescriptors, std::numeric_limits<int>::max()));
    if (fitting < configured)
        qCDebug(lcListener) << "at most" << fitting << "connections fit the descriptor limit,"
                            << "not" << configured;
    return std::min(configured, fitting);
}

// One subscriber holds a whole IPv6 /64 and could take turns with its addresses, each with a
// cap of its own, until the total is full: counted as the pairing throttle counts guessers.
QString clientOf(const QHostAddress& address) {
    return GuessThrottle::guesserOf(address.toString());
}

} // namespace

GuardedTcpServer::GuardedTcpServer(QObject* httpServer, const HttpLimits& limits,
                                   HttpTransport transport, Clock& clock)
    : m_httpServer(httpServer)
    , m_limits(limits)
    , m_transport(std::move(transport))
    , m_clock(clock) {
    m_limits.maxConnections = fittingConnectionCap(limits.maxConnections);
    // Qt's 50 waiting connections fill in a burst of reconnecting devices, and each one past
    // them waits for its SYN to be sent again, a second later; the kernel caps it at its own
    // limit (net.core.somaxconn).
    setListenBacklogSize(SOMAXCONN);
    connect(this, &QTcpServer::acceptError, this, &GuardedTcpServer::onAcceptError);
    m_sweepTimer = m_clock.schedule(kSweepInterval, [this] { sweep(); });
}

GuardedTcpServer::~GuardedTcpServer() {
    m_clock.cancelScheduled(m_sweepTimer);
    for (ConnectionGuard* guard : std::as_const(m_guards))
        guard->setFarewell({});
}

void GuardedTcpServer::incomingConnection(qintptr descriptor) {
    QTcpSocket* socket = m_transport.tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QHostAddress address = socket->peerAddress();
    if (!hasRoomFor(address)) {
        refuseBusy(socket);
        return;
    }
    // Room for the largest header and body the limits allow, so a request never stalls; more
    // is left in the kernel until the guard has looked at what came. Over TLS the same bound
    // holds the encrypted records waiting to be decrypted.
    socket->setReadBufferSize(m_limits.maxHeaderBytes + m_limits.maxBodyBytes + 4096);
    auto* guard = new ConnectionGuard(socket, m_httpServer, m_limits, m_clock);
    guard->setMetrics(m_metrics);
    track(socket, guard, clientOf(address));
    if (m_transport.tls)
        encryptThenHand(socket, guard);
    else
        handToServer(socket, guard);
}

void GuardedTcpServer::encryptThenHand(QTcpSocket* socket, ConnectionGuard* guard) {
    auto* tls = static_cast<QSslSocket*>(socket);
    guard->timeHandshake();
    // Until the HTTP server has it, the socket is ours to delete when it goes.
    const auto untilHanded =
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(tls, &QSslSocket::encrypted, this, [this, socket, guard, untilHanded] {
        disconnect(untilHanded);
        guard->endHandshake();
        handToServer(socket, guard);
    });
    // Plain HTTP, or a client that does not like the certificate: nothing to answer in.
    connect(tls, &QSslSocket::errorOccurred, socket, [tls](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::SslHandshakeFailedError)
            tls->abort();
    });
    tls->setSslConfiguration(*m_transport.tls);
    tls->startServerEncryption();
}

void GuardedTcpServer::handToServer(QTcpSocket* socket, ConnectionGuard* guard) {
    guard->watchBeforeServer();
    addPendingConnection(socket);
    guard->watchAfterServer();
    // A request that came with the end of the handshake was decrypted before anyone listened.
    if (socket->bytesAvailable() > 0)
        Q_EMIT socket->readyRead();
}

bool GuardedTcpServer::hasRoomFor(const QHostAddress& address) const {
    if (m_connectionCount >= m_limits.maxConnections)
        return false;
    // Behind a proxy every client shares its address; the HTTP layer sees the real one.
    return m_transport.trustedProxies.contains(address) ||
           m_perClient.value(clientOf(address)) < m_limits.maxConnectionsPerAddress;
}

void GuardedTcpServer::refuseBusy(QTcpSocket* socket) {
    if (m_transport.tls) {
        // An answer would need a handshake first, which is what a flood wants of us.
        socket->abort();
        socket->deleteLater();
        return;
    }
    const Error busy = cloudError(ServerErrorCode::TryAgainLater,
                                  QStringLiteral("too many connections; try again later"));
    QJsonObject body = errorToJson(busy);
    body.insert(QStringLiteral("retryAfter"), 1);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(refusalResponse(503, body));
    socket->disconnectFromHost();
    if (m_metrics)
        m_metrics->countRefusal(RefusalReason::Busy);
}

void GuardedTcpServer::track(QTcpSocket* socket, ConnectionGuard* guard, const QString& client) {
    m_guards.insert(socket, guard);
    ++m_connectionCount;
    ++m_perClient[client];
    guard->setFarewell([this, socket, client] {
        m_guards.remove(socket);
        release(client);
    });
    if (!m_pushTaker || m_transport.tls)
        return;
    guard->setPushHandover(
        [this, socket, client](int descriptor, QByteArray key, QByteArray early) {
            m_guards.remove(socket);
            // The channel may outlive this listener (at shutdown).
            m_pushTaker(descriptor, std::move(key), std::move(early),
                        [listener = QPointer<GuardedTcpServer>(this), client] {
                            if (listener)
                                listener->release(client);
                        });
        });
}

void GuardedTcpServer::release(const QString& client) {
    --m_connectionCount;
    if (--m_perClient[client] <= 0)
        m_perClient.remove(client);
    if (m_isPaused) {
        m_isPaused = false;
        resumeAccepting();
    }
}

void GuardedTcpServer::sweep() {
    const Duration now = m_clock.monotonicNow();
    // Closing may delete sockets later, never now: the table stays valid while walking it.
    for (ConnectionGuard* guard : std::as_const(m_guards))
        guard->checkDeadline(now);
    if (m_isPaused) {
        m_isPaused = false;
        resumeAccepting();
    }
    m_sweepTimer = m_clock.schedule(kSweepInterval, [this] { sweep(); });
}

void GuardedTcpServer::onAcceptError(QAbstractSocket::SocketError error) {
    // Out of descriptors, the listening socket stays readable and would be polled in a busy
    // loop; it waits instead until a connection closes or the next sweep.
    qCWarning(lcListener) << "cannot accept:" << error << errorString();
    pauseAccepting();
    m_isPaused = true;
}

} // namespace sonavert::cloud
