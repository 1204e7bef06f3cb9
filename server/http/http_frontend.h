#pragma once

#include "server/http/http_limits.h"
#include "server/http/http_transport.h"
#include "server/http/server_metrics.h"
#include "server/service/database_call.h"
#include "src/runtime/result.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>
#include <memory>

class QHttpServerResponder;

namespace sonavert::cloud {

class CallDispatcher;
class PushHub;
struct TokenlessRoute;

/// Routes only: POST /database/1/{container}/{environment}/private/{operation} and the calls
/// without a token (the pairing claim; the first account, from this machine only and never
/// behind a trusted proxy) to the dispatcher, which runs them off the event loop and answers
/// later; GET /push upgrades to the push channel; GET /healthz, /readyz and /metrics are the
/// operator's. Answers are JSON; errors go through errorToJson. Every connection is bounded and
/// timed by `limits` before a request reaches the routes, and every answer is counted in the
/// metrics; `transport` says whether it speaks TLS and which proxies may name the client.
class HttpFrontend : public QAbstractHttpServer {
    Q_OBJECT
public:
    /// How long /readyz waits for the storage to answer before it says 503.
    static constexpr Duration kReadinessBound = std::chrono::seconds(2);
    /// Answers a client may leave unread: a connection holding more gets no further answer
    /// and is closed.
    static constexpr qint64 kMaxUnreadAnswerBytes = qint64{1} << 20;
    /// Calls of one connection being answered at once: a client sending more without waiting
    /// for the answers is closed. A device sends one at a time.
    static constexpr int kMaxCallsInFlight = 256;

    HttpFrontend(CallDispatcher& calls, PushHub& hub, const HttpLimits& limits,
                 HttpTransport transport, Clock& clock, QObject* parent = nullptr);
    ~HttpFrontend() override;

    /// Listens through a GuardedTcpServer; gives the port, or 0 when it cannot listen.
    /// `takesPush`: push channels upgraded on this listener are served by the hub's own
    /// WebSocket (over TLS, always Qt's).
    quint16 listenGuarded(const QHostAddress& address, quint16 port, bool takesPush = true);
    /// Listens with a transport of its own (the home's other computers reach the server over
    /// TLS while this computer keeps plain HTTP on loopback); the proxies stay the server's.
    quint16 listenGuarded(const QHostAddress& address, quint16 port, HttpTransport transport);
    /// A listener of its own for /metrics (and the health checks), open to whoever reaches
    /// it; the main port then serves no metrics. Gives the port, or 0.
    quint16 listenForMetrics(const QHostAddress& address, quint16 port);
    const ServerMetrics& metrics() const { return m_metrics; }
    /// Whether the request comes from this machine itself, and not through a proxy that says
    /// so in its headers.
    static bool isLocalCaller(const QHttpServerRequest& request, const QHostAddress& peer);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    /// One request's answer on its way: where it goes, what it counts as, when it came.
    struct Pending {
        std::shared_ptr<QHttpServerResponder> responder;
        QPointer<QTcpSocket> client;
        int route = 0;
        Duration arrived{0};
    };
    using OperatorPath = void (HttpFrontend::*)(const QHttpServerRequest&, Pending);

    Pending pending(const QHttpServerRequest& request, QTcpSocket* socket, int route) const;
    void answer(const Pending& pending, const Result<QJsonObject>& result);
    /// Whether the client is gone, or has left so many answers unread that it is closed
    /// instead of given another.
    bool isUnanswerable(const Pending& pending) const;
    /// Closes the connection once its answers are no longer taken (later: the HTTP server may
    /// be using it still).
    static void cutOff(QTcpSocket* client);
    void serveCall(const QHttpServerRequest& request, QTcpSocket* socket, DatabaseCall call);
    bool serveOperatorPath(const QHttpServerRequest& request, QTcpSocket* socket);
    void serveHealth(const QHttpServerRequest& request, Pending pending);
    void serveReadiness(const QHttpServerRequest& request, Pending pending);
    void serveMetrics(const QHttpServerRequest& request, Pending pending);
    bool isMetricsListener(const QTcpSocket* socket) const;
    void serveTokenless(const QHttpServerRequest& request, QTcpSocket* socket,
                        const TokenlessRoute& route);
    void refuseLocalOnly(const QHttpServerRequest& request, QTcpSocket* socket,
                         const DatabaseCall& call, const QString& why, const QString& reason);
    void adoptWebSockets();
    quint16 listenWith(const QHostAddress& address, quint16 port, const HttpTransport& transport,
                       bool takesPush);
    QString clientAddressOf(const QHttpServerRequest& request, const QTcpSocket& socket) const;

    CallDispatcher& m_calls;
    PushHub& m_hub;
    HttpLimits m_limits;
    HttpTransport m_transport;
    Clock& m_clock;
    ServerMetrics m_metrics;
    quint16 m_metricsPort = 0;
};

} // namespace sonavert::cloud
