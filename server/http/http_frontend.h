#pragma once

#include "server/http/http_limits.h"
#include "server/http/http_transport.h"
#include "server/service/database_call.h"

#include <QAbstractHttpServer>
#include <QHostAddress>

namespace sonavert::cloud {

class CallDispatcher;
class PushHub;

/// Routes only: POST /database/1/{container}/{environment}/private/{operation} to the
/// dispatcher, which runs it off the event loop and answers later; GET /push upgrades to the
/// push channel. Answers are JSON; errors go through errorToJson. Every connection is bounded
/// and timed by `limits` before a request reaches the routes; `transport` says whether it
/// speaks TLS and which proxies may name the client.
class HttpFrontend : public QAbstractHttpServer {
    Q_OBJECT
public:
    HttpFrontend(CallDispatcher& calls, PushHub& hub, const HttpLimits& limits,
                 HttpTransport transport, Clock& clock, QObject* parent = nullptr);

    /// Listens through a GuardedTcpServer; gives the port, or 0 when it cannot listen.
    quint16 listenGuarded(const QHostAddress& address, quint16 port);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    void serveCall(const QHttpServerRequest& request, QTcpSocket* socket, DatabaseCall call);
    void adoptWebSockets();
    QString clientAddressOf(const QHttpServerRequest& request, const QTcpSocket& socket) const;

    CallDispatcher& m_calls;
    PushHub& m_hub;
    HttpLimits m_limits;
    HttpTransport m_transport;
    Clock& m_clock;
};

} // namespace sonavert::cloud
