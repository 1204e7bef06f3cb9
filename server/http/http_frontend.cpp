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
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>
#include <QWebSocket>

namespace sonavert::cloud {

// The calls made before a device has a token: no container or database in their paths.
struct TokenlessRoute {
    const char* path;
    const char* operation;
    /// Served only to a caller on this machine.
    bool isLocalOnly;
};

namespace {

Q_LOGGING_CATEGORY(lcHttp, "sonavert.cloud.http")

// "", "database", "1", container, environment, "private", operation (two segments)
constexpr qsizetype kDatabasePathSegments = 8;

constexpr TokenlessRoute kTokenlessRoutes[] = {
    {"/pairing/1/claim", CloudService::kClaimOperation, false},
    {"/setup/1/first-account", CloudService::kFirstAccountOperation, true},
};

const TokenlessRoute* tokenlessRouteOf(const QString& path) {
    for (const TokenlessRoute& route : kTokenlessRoutes)
        if (path == QLatin1String(route.path))
            return &route;
    return nullptr;
}

// A reverse proxy on this machine makes every caller look local; its forwarding headers are
// what gives it away, so a forwarded call is never taken for a local one.
constexpr const char* kForwardingHeaders[] = {"Forwarded", "X-Forwarded-For", "X-Real-IP"};

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
                           Clock& clock, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_calls(calls)
    , m_hub(hub)
    , m_limits(limits)
    , m_clock(clock) {
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this,
            &HttpFrontend::adoptWebSockets);
}

quint16 HttpFrontend::listenGuarded(const QHostAddress& address, quint16 port) {
    auto server = std::make_unique<GuardedTcpServer>(this, m_limits, m_clock);
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
    if (const TokenlessRoute* route = tokenlessRouteOf(request.url().path())) {
        serveTokenless(request, socket, *route);
        return true;
    }
    if (!isDatabasePath(path))
        return false;
    serveCall(request, socket,
              DatabaseCall{bearerTokenOf(request), path[3], path[4],
                           path[6] + QLatin1Char('/') + path[7], request.body(),
                           socket->peerAddress().toString()});
    return true;
}

bool HttpFrontend::isLocalCaller(const QHttpServerRequest& request, const QHostAddress& peer) {
    for (const char* header : kForwardingHeaders)
        if (!request.value(header).isEmpty())
            return false;
    // An IPv4 caller of a dual-stack socket comes as ::ffff:127.0.0.1.
    bool isMapped = false;
    const QHostAddress v4(peer.toIPv4Address(&isMapped));
    return peer.isLoopback() || (isMapped && v4.isLoopback());
}

void HttpFrontend::serveTokenless(const QHttpServerRequest& request, QTcpSocket* socket,
                                  const TokenlessRoute& route) {
    DatabaseCall call;
    call.operation = QString::fromLatin1(route.operation);
    call.body = request.body();
    call.clientAddress = socket->peerAddress().toString();
    call.isTokenless = true;
    if (route.isLocalOnly && !isLocalCaller(request, socket->peerAddress())) {
        qCWarning(lcHttp).noquote()
            << route.path << "refused to" << call.clientAddress << "(not a caller on this machine)";
        auto responder = makeResponder(request, socket);
        writeError(responder, cloudError(ServerErrorCode::AccessDenied,
                                         QStringLiteral("only a caller on the server's own "
                                                        "machine may do this")));
        return;
    }
    serveCall(request, socket, std::move(call));
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
