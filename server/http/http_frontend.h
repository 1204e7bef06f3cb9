#pragma once

#include "server/http/http_limits.h"
#include "server/service/database_call.h"

#include <QAbstractHttpServer>
#include <QHostAddress>

namespace sonavert::cloud {

class CallDispatcher;
class PushHub;
struct TokenlessRoute;

/// Routes only: POST /database/1/{container}/{environment}/private/{operation} and the calls
/// without a token (the pairing claim; the first account, from this machine only) to the
/// dispatcher, which runs them off the event loop and answers later; GET /push upgrades to the
/// push channel. Answers are JSON; errors go through errorToJson. Every connection is bounded
/// and timed by `limits` before a request reaches the routes.
class HttpFrontend : public QAbstractHttpServer {
    Q_OBJECT
public:
    HttpFrontend(CallDispatcher& calls, PushHub& hub, const HttpLimits& limits, Clock& clock,
                 QObject* parent = nullptr);

    /// Listens through a GuardedTcpServer; gives the port, or 0 when it cannot listen.
    quint16 listenGuarded(const QHostAddress& address, quint16 port);
    /// Whether the request comes from this machine itself, and not through a proxy.
    static bool isLocalCaller(const QHttpServerRequest& request, const QHostAddress& peer);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    void serveCall(const QHttpServerRequest& request, QTcpSocket* socket, DatabaseCall call);
    void serveTokenless(const QHttpServerRequest& request, QTcpSocket* socket,
                        const TokenlessRoute& route);
    void adoptWebSockets();

    CallDispatcher& m_calls;
    PushHub& m_hub;
    HttpLimits m_limits;
    Clock& m_clock;
};

} // namespace sonavert::cloud
