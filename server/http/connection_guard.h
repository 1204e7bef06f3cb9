#pragma once

#include "server/http/http_limits.h"
#include "server/http/request_scanner.h"

#include <QObject>
#include <functional>

class QTcpSocket;

namespace sonavert::cloud {

class ServerMetrics;

/// Watches one HTTP connection from the moment it is accepted: scans every byte before the HTTP
/// server reads it, refuses an oversized header (431) or body (413) before it is buffered or
/// authenticated, and closes a connection whose header, body or idle time ran out. Once the
/// connection becomes a push channel it only caps its read buffer; the push hub times it.
class ConnectionGuard : public QObject {
    Q_OBJECT
public:
    /// `httpServer` is the object the HTTP server connects the socket's readyRead to.
    ConnectionGuard(QTcpSocket* socket, QObject* httpServer, const HttpLimits& limits,
                    Clock& clock);
    /// Calls the farewell: the socket is going (a child, the guard goes with it).
    ~ConnectionGuard() override;

    /// Called once when the guard, and so its connection, is gone. The WebSocket side drops
    /// every connection of the socket it takes over, so its destroyed signal cannot be relied on.
    void setFarewell(std::function<void()> farewell) { m_farewell = std::move(farewell); }
    /// Takes a plain connection's push channel from the HTTP server: a duplicate of the
    /// descriptor (now the callee's), the client's Sec-WebSocket-Key, and the bytes that came
    /// after the upgrade request. The guard and its socket go right after.
    using PushHandover = std::function<void(int descriptor, QByteArray key, QByteArray early)>;
    /// Without one, Qt's WebSocket server takes the upgrade.
    void setPushHandover(PushHandover handover) { m_pushHandover = std::move(handover); }
    /// Where refusals and timeouts are counted; none when not set.
    void setMetrics(ServerMetrics* metrics) { m_metrics = metrics; }

    /// Call before the HTTP server takes the socket: the guard reads first.
    void watchBeforeServer();
    /// Call after the HTTP server took the socket: the guard learns what it left unread.
    void watchAfterServer();
    /// Over TLS: the handshake gets the time of a header, and one that has not finished by
    /// then is cut off.
    void timeHandshake();
    /// The handshake finished: the connection waits for its first request.
    void endHandshake();
    /// Closes the connection when its current phase has lasted too long.
    void checkDeadline(Duration now);

private:
    void beforeServerReads();
    void afterServerRead();
    void refuse(RequestScanner::Verdict verdict);
    void discardIncoming();
    void followPhase();
    void handOverPush(const QByteArray& unread);

    QTcpSocket* m_socket;
    QObject* m_httpServer;
    const HttpLimits& m_limits;
    Clock& m_clock;
    RequestScanner m_scanner;
    /// Bytes already scanned that the HTTP server has not read yet.
    qint64 m_scannedUnread = 0;
    RequestScanner::Phase m_timedPhase = RequestScanner::Phase::Idle;
    int m_timedRequests = 0;
    Duration m_deadline;
    bool m_isRefused = false;
    bool m_isHandshaking = false;
    std::function<void()> m_farewell;
    PushHandover m_pushHandover;
    ServerMetrics* m_metrics = nullptr;
};

} // namespace sonavert::cloud
