#pragma once

#include "server/http/http_limits.h"
#include "server/http/http_transport.h"

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>
#include <functional>

namespace sonavert::cloud {

class ConnectionGuard;
class ServerMetrics;

/// The listening socket of the HTTP server: puts a ConnectionGuard on every connection before
/// the HTTP server sees it, refuses connections beyond the caps (in total and per client
/// address) with 503 at once, checks the guards' deadlines, and keeps accepting after the
/// process ran out of descriptors instead of stopping for good. Over TLS the guard times the
/// handshake like a header, and the HTTP server sees a connection only once it is encrypted.
/// A trusted reverse proxy carries many clients, so its connections count only to the total.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    /// `httpServer` is the QAbstractHttpServer this listener will be bound to.
    GuardedTcpServer(QObject* httpServer, const HttpLimits& limits, HttpTransport transport,
                     Clock& clock);
    ~GuardedTcpServer() override;

    /// The cap in force: the configured one, lowered to fit the descriptor limit.
    int maxConnections() const { return m_limits.maxConnections; }
    int connectionCount() const { return m_connectionCount; }
    /// Called with each plain connection's push channel, taken from the HTTP server at its
    /// upgrade request; `farewell` runs when the channel's connection is gone (it still counts
    /// against the caps until then). Not over TLS, where Qt's WebSocket server keeps them.
    using PushTaker = std::function<void(int descriptor, QByteArray key, QByteArray early,
                                         std::function<void()> farewell)>;
    void setPushTaker(PushTaker taker) { m_pushTaker = std::move(taker); }
    /// Where refused connections are counted; none when not set.
    void setMetrics(ServerMetrics* metrics) { m_metrics = metrics; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    bool hasRoomFor(const QHostAddress& address) const;
    void refuseBusy(QTcpSocket* socket);
    void encryptThenHand(QTcpSocket* socket, ConnectionGuard* guard);
    void handToServer(QTcpSocket* socket, ConnectionGuard* guard);
    void track(QTcpSocket* socket, ConnectionGuard* guard, const QString& client);
    void release(const QString& client);
    void sweep();
    void onAcceptError(QAbstractSocket::SocketError error);

    QObject* m_httpServer;
    HttpLimits m_limits;
    HttpTransport m_transport;
    Clock& m_clock;
    QHash<QTcpSocket*, ConnectionGuard*> m_guards;
    /// Connections per client: an IPv4 address, or an IPv6 address's /64.
    QHash<QString, int> m_perClient;
    int m_connectionCount = 0;
    PushTaker m_pushTaker;
    Clock::TimerId m_sweepTimer = 0;
    bool m_isPaused = false;
    ServerMetrics* m_metrics = nullptr;
};

} // namespace sonavert::cloud
