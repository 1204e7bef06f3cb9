#pragma once

#include "server/http/http_limits.h"
#include "server/http/http_session.h"
#include "server/http/http_transport.h"
#include "server/http/server_metrics.h"
#include "server/service/call_dispatcher.h"
#include "server/service/database_call.h"
#include "src/runtime/result.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <atomic>
#include <memory>
#include <vector>

namespace sonavert::cloud {

class IoThreads;
class PushHub;
struct TokenlessRoute;

/// Routes only: POST /database/1/{container}/{environment}/private/{operation} and the calls
/// without a token (the pairing claim; the first account, from this machine only and never
/// behind a trusted proxy) to the dispatcher, which runs them off the event loop and answers
/// later; GET /push upgrades to the push channel; GET /healthz, /readyz and /metrics are the
/// operator's. Answers are JSON; errors go through errorToJson. Connections are read on the io
/// threads, bounded and timed by `limits` before a request reaches the routes here, on the
/// same io thread: a read is answered there when the thread has a reader of its own
/// (openThreadReaders), and only /readyz and /metrics go to the thread that owns this object.
/// Every answer is counted in the metrics; `transport` says whether it speaks TLS and which
/// proxies may name the client.
class HttpFrontend : public QObject {
    Q_OBJECT
public:
    /// How long /readyz waits for the storage to answer before it says 503.
    static constexpr Duration kReadinessBound = std::chrono::seconds(2);

    HttpFrontend(CallDispatcher& calls, PushHub& hub, const HttpLimits& limits,
                 HttpTransport transport, Clock& clock, IoThreads& io, QObject* parent = nullptr);
    ~HttpFrontend() override;

    /// Listens; gives the port, or 0 when it cannot listen. `takesPush`: upgrades to /push
    /// there become push channels.
    quint16 listenGuarded(const QHostAddress& address, quint16 port, bool takesPush = true);
    /// Listens with a transport of its own (the home's other computers reach the server over
    /// TLS while this computer keeps plain HTTP on loopback); the proxies stay the server's.
    quint16 listenGuarded(const QHostAddress& address, quint16 port, HttpTransport transport);
    /// A listener of its own for /metrics (and the health checks), open to whoever reaches
    /// it; the main port then serves no metrics. Gives the port, or 0.
    quint16 listenForMetrics(const QHostAddress& address, quint16 port);
    /// Gives each io thread a connection to the storage of its own (when the dispatcher's
    /// storage allows it: SQLite, whose reads wait on no network), so that a read is answered
    /// on the thread that parsed it, without a hand-off. Before listening.
    void openThreadReaders();
    /// Stops listening; connections already taken go on.
    void closeListeners();
    const ServerMetrics& metrics() const { return *m_metrics; }
    /// Connections held now, push channels included.
    int connectionCount() const { return m_caps->count(); }
    /// Connections accepted so far, turned away or not.
    quint64 acceptedCount() const { return m_accepted->load(); }
    /// Bytes of answers made and not yet taken by the kernel, over every connection.
    qint64 heldAnswerBytes() const { return m_heldAnswers->load(); }
    /// Whether the request comes from this machine itself, and not through a proxy that says
    /// so in its headers.
    static bool isLocalCaller(const IncomingRequest& request);

private:
    /// One request's answer on its way: where it goes, what it counts as, when it came.
    struct Pending {
        AnswerHandle handle;
        int route = 0;
        Duration arrived{0};
        /// The token of a call answering with records, charged for a large answer.
        RequestThrottle* throttle = nullptr;
        QString token{};
    };
    using OperatorPath = void (HttpFrontend::*)(const IncomingRequest&, Pending);

    quint16 listenWith(const QHostAddress& address, quint16 port, const HttpTransport& transport,
                       bool takesPush, bool isMetrics);
    void route(const IncomingRequest& request, AnswerHandle handle);
    Pending pending(AnswerHandle handle, int route) const;
    void answer(const Pending& pending, const Result<JsonAnswer>& result);
    static void answerWith(ServerMetrics& metrics, const Clock& clock, const Pending& pending,
                           const Result<JsonAnswer>& result);
    void serveCall(const IncomingRequest& request, AnswerHandle handle, DatabaseCall call);
    bool serveOperatorPath(const IncomingRequest& request, AnswerHandle& handle);
    void serveHealth(const IncomingRequest& request, Pending pending);
    void serveReadiness(const IncomingRequest& request, Pending pending);
    void serveMetrics(const IncomingRequest& request, Pending pending);
    void serveTokenless(const IncomingRequest& request, AnswerHandle handle,
                        const TokenlessRoute& route);
    void refuseLocalOnly(const IncomingRequest& request, AnswerHandle handle,
                         const DatabaseCall& call, const QString& why, const QString& reason);
    QString clientAddressOf(const IncomingRequest& request) const;

    CallDispatcher& m_calls;
    PushHub& m_hub;
    HttpLimits m_limits;
    HttpTransport m_transport;
    Clock& m_clock;
    IoThreads& m_io;
    /// Shared with the answers still on their way when this object goes.
    std::shared_ptr<ServerMetrics> m_metrics = std::make_shared<ServerMetrics>();
    std::shared_ptr<ConnectionCaps> m_caps;
    std::shared_ptr<std::atomic<quint64>> m_accepted = std::make_shared<std::atomic<quint64>>(0);
    std::shared_ptr<std::atomic<qint64>> m_heldAnswers = std::make_shared<std::atomic<qint64>>(0);
    std::vector<std::shared_ptr<HttpListener>> m_listeners;
    /// One per io thread, touched only by it; empty slots send reads to the reader threads.
    std::vector<std::unique_ptr<CallDispatcher::ThreadReader>> m_readers;
    bool m_hasMetricsListener = false;
};

} // namespace sonavert::cloud
