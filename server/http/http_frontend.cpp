#include "server/http/http_frontend.h"

#include "server/http/guarded_tcp_server.h"
#include "server/push/push_hub.h"
#include "server/push/push_socket.h"
#include "server/service/call_dispatcher.h"
#include "server/service/cloud_service.h"
#include "server/storage/cloud_storage.h"
#include "server/wire/error_json.h"
#include "server/wire/server_error.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QWebSocket>
#include <array>
#include <utility>

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

constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";

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

QString bearerTokenOf(const QHttpServerRequest& request) {
    const QByteArray header = request.value("Authorization").trimmed();
    if (!header.startsWith("Bearer "))
        return {};
    return QString::fromLatin1(header.mid(7).trimmed());
}

// A proxy on this host relays anyone's request from a loopback address; it says so in these.
bool isProxied(const QHttpServerRequest& request) {
    for (const char* header : {"Forwarded", "X-Forwarded-For", "X-Real-IP"})
        if (!request.value(header).isEmpty())
            return true;
    return false;
}

// How many of a connection's calls are being answered; a child of its socket, so it goes with
// the connection and is never taken for another's. Found by its name: without a meta-object
// of its own, a search by type would take any child for it.
class CallsInFlight : public QObject {
public:
    static constexpr QLatin1StringView kName{"sonavert.callsInFlight"};
    explicit CallsInFlight(QTcpSocket* socket)
        : QObject(socket) {
        setObjectName(kName);
    }
    int count = 0;
};

CallsInFlight* callsInFlightOf(QTcpSocket& socket) {
    auto* found = socket.findChild<QObject*>(CallsInFlight::kName, Qt::FindDirectChildrenOnly);
    return found ? static_cast<CallsInFlight*>(found) : new CallsInFlight(&socket);
}

Error notFound() {
    return cloudError(ServerErrorCode::NotFound, QStringLiteral("no such path"));
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

HttpFrontend::~HttpFrontend() = default;

quint16 HttpFrontend::listenGuarded(const QHostAddress& address, quint16 port, bool takesPush) {
    return listenWith(address, port, m_transport, takesPush);
}

quint16 HttpFrontend::listenGuarded(const QHostAddress& address, quint16 port,
                                    HttpTransport transport) {
    transport.trustedProxies = m_transport.trustedProxies;
    return listenWith(address, port, transport, true);
}

quint16 HttpFrontend::listenWith(const QHostAddress& address, quint16 port,
                                 const HttpTransport& transport, bool takesPush) {
    auto server = std::make_unique<GuardedTcpServer>(this, m_limits, transport, m_clock);
    server->setMetrics(&m_metrics);
    if (takesPush)
        server->setPushTaker([this](int descriptor, QByteArray key, QByteArray early,
                                    std::function<void()> farewell) {
            m_hub.adopt(std::make_unique<PlainWebSocket>(descriptor, key, std::move(early),
                                                         m_hub.limits(), std::move(farewell)));
        });
    if (!server->listen(address, port))
        return 0;
    const quint16 bound = server->serverPort();
    bind(server.release());
    return bound;
}

quint16 HttpFrontend::listenForMetrics(const QHostAddress& address, quint16 port) {
    m_metricsPort = listenGuarded(address, port, false);
    return m_metricsPort;
}

bool HttpFrontend::isMetricsListener(const QTcpSocket* socket) const {
    return m_metricsPort != 0 && socket->localPort() == m_metricsPort;
}

HttpFrontend::Pending HttpFrontend::pending(const QHttpServerRequest& request, QTcpSocket* socket,
                                            int route) const {
    return Pending{std::make_shared<QHttpServerResponder>(makeResponder(request, socket)),
                   QPointer<QTcpSocket>(socket), route, m_clock.monotonicNow()};
}

bool HttpFrontend::isUnanswerable(const Pending& pending) const {
    if (!pending.client)
        return true;
    // A client that sends requests without reading the answers would otherwise have them
    // held here without end.
    const auto* tls = qobject_cast<const QSslSocket*>(pending.client.data());
    const qint64 unread = pending.client->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
    if (unread <= kMaxUnreadAnswerBytes)
        return false;
    cutOff(pending.client);
    return true;
}

void HttpFrontend::cutOff(QTcpSocket* client) {
    QMetaObject::invokeMethod(client, &QTcpSocket::abort, Qt::QueuedConnection);
}

void HttpFrontend::answer(const Pending& pending, const Result<QJsonObject>& result) {
    // A client gone before its answer is not answered, nor counted.
    if (isUnanswerable(pending))
        return;
    const int status = result ? 200 : httpStatusOfError(result.error());
    writeJson(*pending.responder, result ? result.value() : errorToJson(result.error()), status);
    m_metrics.countAnswer(pending.route, status, m_clock.monotonicNow() - pending.arrived);
}

bool HttpFrontend::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (serveOperatorPath(request, socket))
        return true;
    // The metrics listener may face a network the database port does not: nothing else there.
    if (isMetricsListener(socket))
        return false;
    const QString path = request.url().path();
    if (path == QLatin1String("/push")) {
        // The upgrade itself is completed by the server after this returns; answering here
        // would corrupt the handshake.
        if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
            return true;
        answer(pending(request, socket, ServerMetrics::routeOf(u"push")),
               cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("/push needs a WebSocket upgrade")));
        return true;
    }
    if (const TokenlessRoute* route = tokenlessRouteOf(request.url().path())) {
        serveTokenless(request, socket, *route);
        return true;
    }
    const QStringList segments = path.split(QLatin1Char('/'));
    if (!isDatabasePath(segments))
        return false;
    serveCall(request, socket,
              DatabaseCall{bearerTokenOf(request), segments[3], segments[4],
                           segments[6] + QLatin1Char('/') + segments[7], request.body(),
                           clientAddressOf(request, *socket)});
    return true;
}

QString HttpFrontend::clientAddressOf(const QHttpServerRequest& request,
                                      const QTcpSocket& socket) const {
    return m_transport.trustedProxies
        .clientOf(socket.peerAddress(), forwardedForOf(request.headers()))
        .toString();
}

bool HttpFrontend::isLocalCaller(const QHttpServerRequest& request, const QHostAddress& peer) {
    if (isProxied(request))
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
    call.clientAddress = clientAddressOf(request, *socket);
    call.kind = CallKind::Tokenless;
    if (route.isLocalOnly && !isLocalCaller(request, socket->peerAddress())) {
        refuseLocalOnly(request, socket, call, QStringLiteral("not a caller on this machine"),
                        QStringLiteral("only a caller on the server's own machine may do this"));
        return;
    }
    // Behind a reverse proxy, or a tunnel that names nobody, every caller is "on this machine".
    if (route.isLocalOnly && !m_transport.trustedProxies.isEmpty()) {
        refuseLocalOnly(request, socket, call, QStringLiteral("the server trusts a proxy"),
                        QStringLiteral("a server behind a reverse proxy does not do this; "
                                       "use sonavert-cloud account add"));
        return;
    }
    serveCall(request, socket, std::move(call));
}

void HttpFrontend::refuseLocalOnly(const QHttpServerRequest& request, QTcpSocket* socket,
                                   const DatabaseCall& call, const QString& why,
                                   const QString& reason) {
    qCWarning(lcHttp).noquote() << request.url().path() << "refused to" << call.clientAddress
                                << "(" + why + ")";
    answer(pending(request, socket, ServerMetrics::routeOf(call.operation)),
           cloudError(ServerErrorCode::AccessDenied, reason));
}

void HttpFrontend::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    answer(pending(request, socket, ServerMetrics::routeOf(u"not_found")), notFound());
}

void HttpFrontend::serveCall(const QHttpServerRequest& request, QTcpSocket* socket,
                             DatabaseCall call) {
    Pending on = pending(request, socket, ServerMetrics::routeOf(call.operation));
    if (request.method() != QHttpServerRequest::Method::Post) {
        answer(on, cloudError(ServerErrorCode::BadRequest, QStringLiteral("calls use POST")));
        return;
    }
    // Each call waits in the dispatcher's queue, and its answer here: a client sending calls
    // without waiting for them is not given a queue without end.
    const QPointer<CallsInFlight> calls = callsInFlightOf(*socket);
    if (calls->count >= kMaxCallsInFlight) {
        cutOff(socket);
        return;
    }
    ++calls->count;
    // The answer comes back later, on this thread; the client may have gone by then.
    m_calls.dispatch(std::move(call),
                     [this, on = std::move(on), calls](const Result<QJsonObject>& result) {
                         if (calls)
                             --calls->count;
                         answer(on, result);
                     });
}

bool HttpFrontend::serveOperatorPath(const QHttpServerRequest& request, QTcpSocket* socket) {
    static const std::array<std::pair<QLatin1String, OperatorPath>, 3> kPaths{{
        {QLatin1String("/healthz"), &HttpFrontend::serveHealth},
        {QLatin1String("/readyz"), &HttpFrontend::serveReadiness},
        {QLatin1String("/metrics"), &HttpFrontend::serveMetrics},
    }};
    const QString path = request.url().path();
    for (const auto& [name, serve] : kPaths) {
        if (path != name)
            continue;
        Pending on = pending(request, socket, ServerMetrics::routeOf(QString(name.mid(1))));
        if (request.method() != QHttpServerRequest::Method::Get)
            answer(on,
                   cloudError(ServerErrorCode::BadRequest, name + QStringLiteral(" takes GET")));
        else
            (this->*serve)(request, std::move(on));
        return true;
    }
    return false;
}

void HttpFrontend::serveHealth(const QHttpServerRequest&, Pending pending) {
    answer(pending, QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")}});
}

void HttpFrontend::serveReadiness(const QHttpServerRequest&, Pending pending) {
    // Through a reader thread like any read, so a database that hangs shows as not ready; the
    // bound answers for it, and whichever comes second is dropped.
    auto isAnswered = std::make_shared<bool>(false);
    const auto settle = [this, pending, isAnswered](const Result<QJsonObject>& result) {
        if (std::exchange(*isAnswered, true))
            return;
        if (!result)
            qCWarning(lcHttp).noquote() << "not ready:" << result.error().description;
        answer(pending, result ? result
                               : Result<QJsonObject>(
                                     cloudError(ServerErrorCode::TryAgainLater,
                                                QStringLiteral("the storage is not answering"))));
    };
    const Clock::TimerId bound =
        m_clock.schedule(kReadinessBound, [settle, guard = QPointer<HttpFrontend>(this)] {
            if (guard)
                settle(makeError(QStringLiteral("Readiness"), 0,
                                 QStringLiteral("no answer within the bound")));
        });
    DatabaseCall probe;
    probe.kind = CallKind::ReadinessProbe;
    m_calls.dispatch(std::move(probe), [this, settle, bound](const Result<QJsonObject>& result) {
        m_clock.cancelScheduled(bound);
        settle(result);
    });
}

void HttpFrontend::serveMetrics(const QHttpServerRequest& request, Pending pending) {
    // Readable from the internet by nobody unless the operator opened a listener for it.
    if (isUnanswerable(pending))
        return;
    const bool isAllowed =
        isMetricsListener(pending.client) ||
        (m_metricsPort == 0 && pending.client->peerAddress().isLoopback() && !isProxied(request));
    if (!isAllowed) {
        answer(pending, notFound());
        return;
    }
    const QByteArray text =
        m_metrics.render({m_hub.channelCount(), m_hub.notificationsSent(), storageErrorCount()});
    pending.responder->write(text, {{"Content-Type", kExpositionType}},
                             QHttpServerResponder::StatusCode::Ok);
    m_metrics.countAnswer(pending.route, 200, m_clock.monotonicNow() - pending.arrived);
}

void HttpFrontend::adoptWebSockets() {
    while (hasPendingWebSocketConnections())
        m_hub.adopt(
            std::make_unique<QtPushSocket>(nextPendingWebSocketConnection(), m_hub.limits()));
}

} // namespace sonavert::cloud
