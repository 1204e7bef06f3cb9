#include "server/http/http_frontend.h"

#include "server/net/io_threads.h"
#include "server/push/push_hub.h"
#include "server/service/cloud_service.h"
#include "server/storage/cloud_storage.h"
#include "server/wire/error_json.h"
#include "server/wire/server_error.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <array>
#include <boost/asio/ssl/context.hpp>
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

OutgoingAnswer jsonAnswer(const QJsonObject& body, int status) {
    OutgoingAnswer answer{status, "application/json",
                          QJsonDocument(body).toJson(QJsonDocument::Compact), 0};
    const auto retryAfter = body.value(QLatin1String("retryAfter"));
    if (retryAfter.isDouble())
        answer.retryAfter = qCeil(retryAfter.toDouble());
    return answer;
}

QString bearerTokenOf(const IncomingRequest& request) {
    const QByteArray header = request.authorization.trimmed();
    if (!header.startsWith("Bearer "))
        return {};
    return QString::fromLatin1(header.mid(7).trimmed());
}

Error notFound() {
    return cloudError(ServerErrorCode::NotFound, QStringLiteral("no such path"));
}

/// The server's side of TLS for the io threads, from the identity Qt loaded and checked.
std::shared_ptr<boost::asio::ssl::context> tlsContextOf(const QSslConfiguration& configuration) {
    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                         ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                         ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    QByteArray chain;
    for (const QSslCertificate& certificate : configuration.localCertificateChain())
        chain += certificate.toPem();
    const QByteArray key = configuration.privateKey().toPem();
    boost::system::error_code error;
    context->use_certificate_chain(boost::asio::buffer(chain.constData(), chain.size()), error);
    if (!error)
        context->use_private_key(boost::asio::buffer(key.constData(), key.size()),
                                 ssl::context::pem, error);
    if (error) {
        qCWarning(lcHttp).noquote()
            << "the TLS identity cannot serve:" << QString::fromStdString(error.message());
        return nullptr;
    }
    return context;
}

} // namespace

HttpFrontend::HttpFrontend(CallDispatcher& calls, PushHub& hub, const HttpLimits& limits,
                           HttpTransport transport, Clock& clock, IoThreads& io, QObject* parent)
    : QObject(parent)
    , m_calls(calls)
    , m_hub(hub)
    , m_limits(limits)
    , m_transport(std::move(transport))
    , m_clock(clock)
    , m_io(io)
    , m_caps(std::make_shared<ConnectionCaps>(limits.maxConnections,
                                              limits.maxConnectionsPerAddress)) {}

HttpFrontend::~HttpFrontend() {
    // Connections route their requests through this object: none may come once it is going.
    m_io.stop();
}

void HttpFrontend::openThreadReaders() {
    m_readers.resize(static_cast<std::size_t>(m_io.size()));
    // Each io thread opens its own connection, and only it uses and closes it.
    m_io.runOnEach([this](int index) {
        auto reader = m_calls.openThreadReader();
        if (reader)
            m_readers[static_cast<std::size_t>(index)] = std::move(reader.value());
        else
            qCWarning(lcHttp).noquote()
                << "reads go to the reader threads:" << reader.error().description;
    });
    m_io.atStop([this](int index) { m_readers[static_cast<std::size_t>(index)].reset(); });
}

quint16 HttpFrontend::listenGuarded(const QHostAddress& address, quint16 port, bool takesPush) {
    return listenWith(address, port, m_transport, takesPush, false);
}

quint16 HttpFrontend::listenGuarded(const QHostAddress& address, quint16 port,
                                    HttpTransport transport) {
    transport.trustedProxies = m_transport.trustedProxies;
    return listenWith(address, port, transport, true, false);
}

quint16 HttpFrontend::listenForMetrics(const QHostAddress& address, quint16 port) {
    const quint16 bound = listenWith(address, port, m_transport, false, true);
    m_hasMetricsListener = m_hasMetricsListener || bound != 0;
    return bound;
}

quint16 HttpFrontend::listenWith(const QHostAddress& address, quint16 port,
                                 const HttpTransport& transport, bool takesPush, bool isMetrics) {
    auto setup = std::make_shared<ListenerSetup>();
    setup->io = &m_io;
    setup->limits = m_limits;
    if (transport.tls) {
        setup->tls = tlsContextOf(*transport.tls);
        if (!setup->tls)
            return 0;
    }
    setup->trustedProxies = transport.trustedProxies;
    setup->caps = m_caps;
    setup->metrics = m_metrics.get();
    setup->route = [this](IncomingRequest request, AnswerHandle handle) {
        route(request, std::move(handle));
    };
    setup->isMetricsListener = isMetrics;
    setup->accepted = m_accepted;
    setup->heldAnswers = m_heldAnswers;
    if (takesPush) {
        PushChannelStart push;
        push.io = &m_io;
        push.limits = &m_hub.limits();
        push.owner = this;
        push.adopt = [hub = QPointer<PushHub>(&m_hub)](std::unique_ptr<PushSocket> socket) {
            if (hub)
                hub->adopt(std::move(socket));
        };
        setup->push = std::move(push);
    }
    auto listener = HttpListener::listen(address, port, std::move(setup));
    if (!listener)
        return 0;
    m_listeners.push_back(listener);
    return listener->port();
}

void HttpFrontend::closeListeners() {
    for (const auto& listener : m_listeners)
        listener->close();
    m_listeners.clear();
}

HttpFrontend::Pending HttpFrontend::pending(AnswerHandle handle, int route) const {
    return Pending{std::move(handle), route, m_clock.monotonicNow()};
}

void HttpFrontend::answer(const Pending& pending, const Result<JsonAnswer>& result) {
    answerWith(*m_metrics, m_clock, pending, result);
}

void HttpFrontend::answerWith(ServerMetrics& metrics, const Clock& clock, const Pending& pending,
                              const Result<JsonAnswer>& result) {
    // A client gone before its answer is not answered, nor counted.
    if (pending.handle.isGone())
        return;
    const int status = result ? 200 : httpStatusOfError(result.error());
    OutgoingAnswer answer =
        result ? OutgoingAnswer{status, "application/json", result.value().toJson(), 0}
               : jsonAnswer(errorToJson(result.error()), status);
    if (result && pending.throttle)
        pending.throttle->chargeAnswer(pending.token, answer.body.size());
    pending.handle.send(std::move(answer));
    metrics.countAnswer(pending.route, status, clock.monotonicNow() - pending.arrived);
}

void HttpFrontend::route(const IncomingRequest& request, AnswerHandle handle) {
    if (request.path == QLatin1String("/readyz") || request.path == QLatin1String("/metrics")) {
        // Both read what lives on this object's thread (the push hub, the clock's timers).
        QMetaObject::invokeMethod(
            this,
            [this, request, handle = std::move(handle)]() mutable {
                serveOperatorPath(request, handle);
            },
            Qt::QueuedConnection);
        return;
    }
    if (serveOperatorPath(request, handle))
        return;
    // The metrics listener may face a network the database port does not: nothing else there.
    const QString& path = request.path;
    if (request.isOnMetricsListener) {
        answer(pending(std::move(handle), ServerMetrics::routeOf(u"not_found")), notFound());
        return;
    }
    if (path == QLatin1String("/push")) {
        answer(pending(std::move(handle), ServerMetrics::routeOf(u"push")),
               cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("/push needs a WebSocket upgrade")));
        return;
    }
    if (const TokenlessRoute* tokenless = tokenlessRouteOf(path)) {
        serveTokenless(request, std::move(handle), *tokenless);
        return;
    }
    const QStringList segments = path.split(QLatin1Char('/'));
    if (!isDatabasePath(segments)) {
        answer(pending(std::move(handle), ServerMetrics::routeOf(u"not_found")), notFound());
        return;
    }
    serveCall(request, std::move(handle),
              DatabaseCall{bearerTokenOf(request), segments[3], segments[4],
                           segments[6] + QLatin1Char('/') + segments[7], request.body,
                           clientAddressOf(request)});
}

QString HttpFrontend::clientAddressOf(const IncomingRequest& request) const {
    return m_transport.trustedProxies.clientOf(request.peer, request.forwardedFor).toString();
}

bool HttpFrontend::isLocalCaller(const IncomingRequest& request) {
    if (request.isProxied)
        return false;
    // An IPv4 caller of a dual-stack socket comes as ::ffff:127.0.0.1.
    bool isMapped = false;
    const QHostAddress v4(request.peer.toIPv4Address(&isMapped));
    return request.peer.isLoopback() || (isMapped && v4.isLoopback());
}

void HttpFrontend::serveTokenless(const IncomingRequest& request, AnswerHandle handle,
                                  const TokenlessRoute& route) {
    DatabaseCall call;
    call.operation = QString::fromLatin1(route.operation);
    call.body = request.body;
    call.clientAddress = clientAddressOf(request);
    call.kind = CallKind::Tokenless;
    if (route.isLocalOnly && !isLocalCaller(request)) {
        refuseLocalOnly(request, std::move(handle), call,
                        QStringLiteral("not a caller on this machine"),
                        QStringLiteral("only a caller on the server's own machine may do this"));
        return;
    }
    // Behind a reverse proxy, or a tunnel that names nobody, every caller is "on this machine".
    if (route.isLocalOnly && !m_transport.trustedProxies.isEmpty()) {
        refuseLocalOnly(request, std::move(handle), call,
                        QStringLiteral("the server trusts a proxy"),
                        QStringLiteral("a server behind a reverse proxy does not do this; "
                                       "use sonavert-cloud account add"));
        return;
    }
    serveCall(request, std::move(handle), std::move(call));
}

void HttpFrontend::refuseLocalOnly(const IncomingRequest& request, AnswerHandle handle,
                                   const DatabaseCall& call, const QString& why,
                                   const QString& reason) {
    qCWarning(lcHttp).noquote() << request.path << "refused to" << call.clientAddress
                                << "(" + why + ")";
    answer(pending(std::move(handle), ServerMetrics::routeOf(call.operation)),
           cloudError(ServerErrorCode::AccessDenied, reason));
}

void HttpFrontend::serveCall(const IncomingRequest& request, AnswerHandle handle,
                             DatabaseCall call) {
    Pending on = pending(std::move(handle), ServerMetrics::routeOf(call.operation));
    if (call.kind == CallKind::Database && CloudService::answersWithRecords(call.operation)) {
        on.throttle = &m_calls.throttle();
        on.token = call.token;
    }
    if (request.method != "POST") {
        answer(on, cloudError(ServerErrorCode::BadRequest, QStringLiteral("calls use POST")));
        return;
    }
    // A read is answered here and now when this thread has a reader of its own.
    const auto thread = static_cast<std::size_t>(request.ioThread);
    if (call.kind == CallKind::Database && !CloudService::isWrite(call.operation) &&
        thread < m_readers.size() && m_readers[thread]) {
        answer(on, m_readers[thread]->service->respond(call));
        return;
    }
    // Else the answer comes later, on the thread that ran the call; the client may have gone
    // by then, and this object too (the dispatcher finishes what it took when it stops): the
    // answer needs only the metrics, which it keeps, and the clock, which outlives both. It
    // does not wait for the event loop, which fan-out may keep busy.
    m_calls.dispatch(
        std::move(call),
        [metrics = m_metrics, &clock = m_clock, on = std::move(on)](
            const Result<JsonAnswer>& result) { answerWith(*metrics, clock, on, result); },
        CallDispatcher::AnswerOn::Worker);
}

bool HttpFrontend::serveOperatorPath(const IncomingRequest& request, AnswerHandle& handle) {
    static const std::array<std::pair<QLatin1String, OperatorPath>, 3> kPaths{{
        {QLatin1String("/healthz"), &HttpFrontend::serveHealth},
        {QLatin1String("/readyz"), &HttpFrontend::serveReadiness},
        {QLatin1String("/metrics"), &HttpFrontend::serveMetrics},
    }};
    for (const auto& [name, serve] : kPaths) {
        if (request.path != name)
            continue;
        Pending on = pending(handle, ServerMetrics::routeOf(QString(name.mid(1))));
        if (request.method != "GET")
            answer(on,
                   cloudError(ServerErrorCode::BadRequest, name + QStringLiteral(" takes GET")));
        else
            (this->*serve)(request, std::move(on));
        return true;
    }
    return false;
}

void HttpFrontend::serveHealth(const IncomingRequest&, Pending pending) {
    answer(pending, JsonAnswer(QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")}}));
}

void HttpFrontend::serveReadiness(const IncomingRequest&, Pending pending) {
    // Through a reader thread like any read, so a database that hangs shows as not ready; the
    // bound answers for it, and whichever comes second is dropped.
    auto isAnswered = std::make_shared<bool>(false);
    const auto settle = [this, pending, isAnswered](const Result<JsonAnswer>& result) {
        if (std::exchange(*isAnswered, true))
            return;
        if (!result)
            qCWarning(lcHttp).noquote() << "not ready:" << result.error().description;
        answer(pending, result ? result
                               : Result<JsonAnswer>(
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
    m_calls.dispatch(std::move(probe), [this, settle, bound](const Result<JsonAnswer>& result) {
        m_clock.cancelScheduled(bound);
        settle(result);
    });
}

void HttpFrontend::serveMetrics(const IncomingRequest& request, Pending pending) {
    // Readable from the internet by nobody unless the operator opened a listener for it.
    if (pending.handle.isGone())
        return;
    const bool isAllowed =
        request.isOnMetricsListener ||
        (!m_hasMetricsListener && request.peer.isLoopback() && !request.isProxied);
    if (!isAllowed) {
        answer(pending, notFound());
        return;
    }
    const QByteArray text =
        m_metrics->render({m_hub.channelCount(), m_hub.notificationsSent(), storageErrorCount()});
    pending.handle.send(OutgoingAnswer{200, kExpositionType, text, 0});
    m_metrics->countAnswer(pending.route, 200, m_clock.monotonicNow() - pending.arrived);
}

} // namespace sonavert::cloud
