#include "server/http/http_frontend.h"

#include "server/http/guarded_tcp_server.h"
#include "server/push/push_hub.h"
#include "server/service/call_dispatcher.h"
#include "server/service/cloud_service.h"
#include "server/wire/error_json.h"
#include "server/wire/server_error.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>
#include <QWebSocket>

namespace sonavert::cloud {

namespace {

// "", "database", "1", container, environment, "private", operation (two segments)
constexpr qsizetype kDatabasePathSegments = 8;
// The one call made before a device has a token: no container or database in its path.
constexpr char kClaimPath[] = "/pairing/1/claim";

bool isDatabasePath(const QStringList& path) {
    return path.size() == kDatabasePathSegments && path[1] == QLatin1String("database") &&
           path[2] == QLatin1String("1") && path[5] == QLatin1String("private");
}

void writeJson(QHttpServerResponder& responder, const QJsonObject& body, int status) {
    const auto code = static_cast<QHttpServerResponder::StatusCode>(status);
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const auto retryAfter = body.value(QLatin1String("retryAfter"));
    if (retryAfter.isDouble()) {
        responder.write(json,
                        {{"Content-Type", "application/json"},
                         {"Retry-After", QByteArray::number(qCeil(retryAfter.toDouble()))}},
                        code);
        return;
    }
    responder.write(json, {{"Content-Type", "application/json"}}, code);
}

void writeError(QHttpServerResponder& responder, const Error& error) {
    writeJson(responder, errorToJson(error), httpStatusOfError(error));
}

QString bearerTokenOf(const QHttpServerRequest& request) {
    const QByteArray header = request.value("Authorization").trimmed();
    if (!header.startsWith("Bearer "))
        return {};
    return QString::fromLatin1(header.mid(7).trimmed());
}

} // namespace

HttpFrontend::HttpFrontend(CallDispatcher& calls, PushHub& hub, const HttpLimits& limits,
                           HttpTransport transport, Clock& clock, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_calls(calls)
    , m_hub(hub)
    , m_limits(limits)
    , m_transport(std::move(transport))
    , m_clock(clock) {
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this,
            &HttpFrontend::adoptWebSockets);
}

quint16 HttpFrontend::listenGuarded(const QHostAddress& address, quint16 port) {
    auto server = std::make_unique<GuardedTcpServer>(this, m_limits, m_transport, m_clock);
    if (!server->listen(address, port))
        return 0;
    const quint16 bound = server->serverPort();
    bind(server.release());
    return bound;
}

bool HttpFrontend::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QStringList path = request.url().path().split(QLatin1Char('/'));
    if (request.url().path() == QLatin1String("/push")) {
        // The upgrade itself is completed by the server after this returns; answering here
        // would corrupt the handshake.
        if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
            return true;
        auto responder = makeResponder(request, socket);
        writeError(responder, cloudError(ServerErrorCode::BadRequest,
                                         QStringLiteral("/push needs a WebSocket upgrade")));
        return true;
    }
    if (request.url().path() == QLatin1String(kClaimPath)) {
        DatabaseCall claim;
        claim.operation = QString::fromLatin1(CloudService::kClaimOperation);
        claim.body = request.body();
        claim.clientAddress = clientAddressOf(request, *socket);
        claim.isPairingClaim = true;
        serveCall(request, socket, std::move(claim));
        return true;
    }
    if (!isDatabasePath(path))
        return false;
    serveCall(request, socket,
              DatabaseCall{bearerTokenOf(request), path[3], path[4],
                           path[6] + QLatin1Char('/') + path[7], request.body(),
                           clientAddressOf(request, *socket)});
    return true;
}

QString HttpFrontend::clientAddressOf(const QHttpServerRequest& request,
                                      const QTcpSocket& socket) const {
    return m_transport.trustedProxies
        .clientOf(socket.peerAddress(), forwardedForOf(request.headers()))
        .toString();
}

void HttpFrontend::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    auto responder = makeResponder(request, socket);
    writeError(responder, cloudError(ServerErrorCode::NotFound, QStringLiteral("no such path")));
}

void HttpFrontend::serveCall(const QHttpServerRequest& request, QTcpSocket* socket,
                             DatabaseCall call) {
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    if (request.method() != QHttpServerRequest::Method::Post) {
        writeError(*responder,
                   cloudError(ServerErrorCode::BadRequest, QStringLiteral("calls use POST")));
        return;
    }
    // The answer comes back later, on this thread; the client may have gone by then.
    m_calls.dispatch(std::move(call), [responder, client = QPointer<QTcpSocket>(socket)](
                                          const Result<QJsonObject>& answer) {
        if (!client)
            return;
        if (!answer)
            writeError(*responder, answer.error());
        else
            writeJson(*responder, answer.value(), 200);
    });
}

void HttpFrontend::adoptWebSockets() {
    while (hasPendingWebSocketConnections())
        m_hub.adopt(nextPendingWebSocketConnection());
}

} // namespace sonavert::cloud
