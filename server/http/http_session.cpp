#include "server/http/http_session.h"

#include "server/http/server_metrics.h"
#include "server/net/io_threads.h"
#include "server/service/guess_throttle.h"
#include "server/wire/error_json.h"
#include "server/wire/server_error.h"

#include <QHash>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QUrl>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <deque>
#include <map>
#include <mutex>
#include <sys/resource.h>

namespace sonavert::cloud {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

Q_LOGGING_CATEGORY(lcListener, "sonavert.cloud.listener")

/// Read from a connection at once at most.
constexpr std::size_t kReadChunk = std::size_t{16} * 1024;
/// A refused connection gets this long to finish sending and take its answer before it is cut.
constexpr Duration kRefusalLinger = std::chrono::seconds(2);
/// Answers a client may leave unread: a connection holding more gets no further answer and is
/// closed.
constexpr qint64 kMostUnsentAnswerBytes = qint64{1} << 20;
/// Requests of one connection being answered at once: what a client pipelines beyond them
/// waits in the kernel until answers come, so one connection cannot fill the readers' queue
/// ahead of everyone else. A device sends one at a time.
constexpr int kMostRequestsInFlight = 16;
/// Descriptors kept for the database, the listening sockets and whatever a refusal needs.
constexpr rlim_t kReservedDescriptors = 64;
/// A listener that ran out of descriptors tries again after this.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

int fittingConnectionCap(int configured) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur <= kReservedDescriptors)
        return configured;
    const auto fitting = static_cast<int>(
        std::min<rlim_t>(limit.rlim_cur - kReservedDescriptors, std::numeric_limits<int>::max()));
    if (fitting < configured)
        qCDebug(lcListener) << "at most" << fitting << "connections fit the descriptor limit,"
                            << "not" << configured;
    return std::min(configured, fitting);
}

QHostAddress qtAddressOf(const asio::ip::address& address) {
    return QHostAddress(QString::fromStdString(address.to_string()));
}

QByteArray fieldOf(const http::fields& fields, beast::string_view name) {
    const auto found = fields.find(name);
    return found == fields.end()
               ? QByteArray()
               : QByteArray(found->value().data(), static_cast<qsizetype>(found->value().size()));
}

struct Refusal {
    int status;
    ServerErrorCode code;
    const char* reason;
    RefusalReason counted;
};

constexpr Refusal kHeaderTooLarge{431, ServerErrorCode::LimitExceeded,
                                  "the request header is too large", RefusalReason::HeaderTooLarge};
constexpr Refusal kBodyTooLarge{413, ServerErrorCode::LimitExceeded,
                                "the request body is too large", RefusalReason::BodyTooLarge};
constexpr Refusal kMalformed{400, ServerErrorCode::BadRequest, "malformed request",
                             RefusalReason::Malformed};
constexpr Refusal kBusy{503, ServerErrorCode::TryAgainLater,
                        "too many connections; try again later", RefusalReason::Busy};
constexpr Refusal kAnswersFull{503, ServerErrorCode::TryAgainLater,
                               "the server holds too many answers; try again later",
                               RefusalReason::Busy};

OutgoingAnswer answerOf(const Refusal& refusal) {
    const Error error = cloudError(refusal.code, QString::fromLatin1(refusal.reason));
    return OutgoingAnswer{refusal.status, "application/json",
                          QJsonDocument(errorToJson(error)).toJson(QJsonDocument::Compact),
                          refusal.status == 503 ? 1 : 0};
}

/// Only what the WebSocket handshake reads of an upgrade request, and what came after it.
std::string handshakeOf(const http::request<http::string_body>& request,
                        const beast::flat_buffer& after) {
    std::string handshake = "GET /push HTTP/1.1\r\n";
    for (const http::field name :
         {http::field::host, http::field::upgrade, http::field::connection,
          http::field::sec_websocket_key, http::field::sec_websocket_version}) {
        const auto found = request.find(name);
        if (found == request.end())
            continue;
        handshake.append(http::to_string(name)).append(": ");
        handshake.append(found->value()).append("\r\n");
    }
    handshake.append("\r\n");
    const auto bytes = after.data();
    handshake.append(static_cast<const char*>(bytes.data()), bytes.size());
    return handshake;
}

asio::io_context& contextOf(const asio::any_io_executor& executor) {
    return static_cast<asio::io_context&>(asio::query(executor, asio::execution::context));
}

void closeSocket(tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.close(ignored);
}
void closeSocket(TlsStream& stream) {
    closeSocket(stream.next_layer());
}
tcp::socket& tcpOf(tcp::socket& socket) {
    return socket;
}
tcp::socket& tcpOf(TlsStream& stream) {
    return stream.next_layer();
}

template <class Stream>
class HttpSession final : public AnswerHandle::Target,
                          public TimedConnection,
                          public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream stream, std::shared_ptr<const ListenerSetup> setup,
                std::shared_ptr<void> hold, const QHostAddress& peer)
        : m_stream(std::move(stream))
        , m_setup(std::move(setup))
        , m_hold(std::move(hold))
        , m_peer(peer)
        , m_since(m_setup->io->now()) {}
    ~HttpSession() {
        hold(-m_held);
        m_setup->io->withdraw(this, contextOf(m_stream.get_executor()));
    }

    void run() {
        m_setup->io->enroll(this, contextOf(m_stream.get_executor()));
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            // The handshake gets the time of a header; plain HTTP fails it and is closed.
            m_phase = Phase::Handshake;
            m_stream.async_handshake(
                asio::ssl::stream_base::server,
                [self = this->shared_from_this()](boost::system::error_code error) {
                    if (error)
                        self->finish();
                    else
                        self->nextRequest();
                });
        } else {
            nextRequest();
        }
    }

    /// Turns a connection beyond the caps away with 503.
    void refuseBusy() {
        m_setup->io->enroll(this, contextOf(m_stream.get_executor()));
        refuse(kBusy);
    }

    void deliver(std::uint64_t sequence, OutgoingAnswer answer) override {
        if (m_isDone || m_isRefused)
            return;
        --m_inFlight;
        hold(answer.body.size());
        m_ready.emplace(sequence, std::move(answer));
        // Answers go out in the order their requests came.
        for (auto next = m_ready.find(m_nextToWrite); next != m_ready.end();
             next = m_ready.find(m_nextToWrite)) {
            // A client that sends requests without reading the answers would otherwise have
            // them held here without end: one more is not given to one that left so much.
            if (m_unsent > kMostUnsentAnswerBytes) {
                finish();
                return;
            }
            queue(std::move(next->second), next->first == m_lastSequence);
            m_ready.erase(next);
            ++m_nextToWrite;
        }
        write();
        if (m_keptWhilePaused && m_inFlight < kMostRequestsInFlight) {
            const auto self = std::exchange(m_keptWhilePaused, nullptr);
            parse();
        }
    }

    void checkDeadline(Duration now) override {
        if (m_isDone)
            return;
        // Past the server's bound, a client that took nothing of its answers since the last
        // check loses them: what the others hold is freed that way.
        const bool hasTaken = std::exchange(m_hasTakenSinceCheck, false);
        if (m_held > 0 && !hasTaken && isHoldingTooMuch()) {
            if (m_setup->metrics)
                m_setup->metrics->countRefusal(RefusalReason::Busy);
            finish();
            return;
        }
        const Duration limit = limitOf(m_phase);
        if (now - m_since < limit)
            return;
        // An idle client that reads its answers leaves cleanly; anyone else is cut off.
        const bool isCleanIdle = m_phase == Phase::Idle && m_out.empty();
        if (m_setup->metrics && !isCleanIdle && m_phase != Phase::Refused)
            m_setup->metrics->countRefusal(RefusalReason::TimedOut);
        if (isCleanIdle) {
            boost::system::error_code ignored;
            tcpOf(m_stream).shutdown(tcp::socket::shutdown_both, ignored);
        }
        finish();
    }

private:
    enum class Phase { Handshake, Idle, Header, Body, Refused };

    /// Counts `bytes` more (or fewer) of answers held, here and for the server.
    void hold(qint64 bytes) {
        m_held += bytes;
        if (m_setup->heldAnswers)
            m_setup->heldAnswers->fetch_add(bytes, std::memory_order_relaxed);
    }
    bool isHoldingTooMuch() const {
        return m_setup->heldAnswers && m_setup->heldAnswers->load(std::memory_order_relaxed) >
                                           m_setup->limits.maxHeldAnswerBytes;
    }

    Duration limitOf(Phase phase) const {
        switch (phase) {
        case Phase::Handshake:
        case Phase::Header:
            return m_setup->limits.headerTimeout;
        case Phase::Body:
            return m_setup->limits.bodyTimeout;
        case Phase::Idle:
            return m_setup->limits.idleTimeout;
        case Phase::Refused:
            return kRefusalLinger;
        }
        return m_setup->limits.idleTimeout;
    }

    void enter(Phase phase) {
        if (phase == m_phase)
            return;
        m_phase = phase;
        m_since = m_setup->io->now();
    }

    void nextRequest() {
        m_parser.emplace();
        m_parser->eager(true);
        m_parser->header_limit(static_cast<std::uint32_t>(m_setup->limits.maxHeaderBytes));
        m_parser->body_limit(static_cast<std::uint64_t>(m_setup->limits.maxBodyBytes));
        m_isHeaderChecked = false;
        enter(Phase::Idle);
        parse();
    }

    void readMore() {
        m_stream.async_read_some(
            m_buffer.prepare(kReadChunk),
            [self = this->shared_from_this()](boost::system::error_code error, std::size_t size) {
                self->onRead(error, size);
            });
    }

    void onRead(boost::system::error_code error, std::size_t size) {
        if (m_isDone)
            return;
        if (error) {
            finish();
            return;
        }
        m_buffer.commit(size);
        if (m_isRefused || m_lastSequence) {
            // What a refused client still sends is dropped unread until it closes or its
            // time runs out.
            m_buffer.clear();
            readMore();
            return;
        }
        parse();
    }

    void parse() {
        while (!m_isDone && !m_isRefused) {
            if (m_inFlight >= kMostRequestsInFlight) {
                // Nothing is read until an answer comes; meanwhile only this keeps the
                // connection, as no read is under way.
                m_keptWhilePaused = this->shared_from_this();
                return;
            }
            if (m_buffer.size() == 0) {
                readMore();
                return;
            }
            if (m_phase == Phase::Idle)
                enter(Phase::Header);
            boost::system::error_code error;
            const std::size_t used = m_parser->put(m_buffer.data(), error);
            m_buffer.consume(used);
            if (error == http::error::need_more) {
                readMore();
                return;
            }
            if (error == http::error::header_limit) {
                refuse(kHeaderTooLarge);
                return;
            }
            if (error == http::error::body_limit) {
                refuse(kBodyTooLarge);
                return;
            }
            if (error) {
                refuse(kMalformed);
                return;
            }
            if (m_parser->is_header_done() && !std::exchange(m_isHeaderChecked, true)) {
                const auto& header = m_parser->get();
                if (std::distance(header.begin(), header.end()) > m_setup->limits.maxHeaderFields) {
                    refuse(kHeaderTooLarge);
                    return;
                }
                // Two lengths, even equal ones, leave the request's end to interpretation.
                if (header.count(http::field::content_length) > 1) {
                    refuse(kMalformed);
                    return;
                }
                enter(Phase::Body);
            }
            if (m_parser->is_done()) {
                take(m_parser->release());
                if (m_isDone || m_isRefused || m_isUpgraded)
                    return;
                // After a request that asked to close, nothing more is read as a request; what
                // still comes is dropped, and the reading keeps the connection until the
                // answer is out.
                if (m_lastSequence) {
                    m_buffer.clear();
                    readMore();
                    return;
                }
                // The route may have answered the request here and then; the connections
                // sharing this thread take their turn before the next one of this.
                m_parser.reset();
                asio::post(m_stream.get_executor(),
                           [self = this->shared_from_this()] { self->nextRequest(); });
                return;
            }
        }
    }

    void take(http::request<http::string_body> request) {
        const bool isFirst = m_nextSequence == 0;
        if (beast::websocket::is_upgrade(request) && m_setup->push && request.target() == "/push") {
            // Only as a connection's first request: an earlier one may still wait for its
            // answer on the same bytes.
            if (!isFirst) {
                refuse(kMalformed);
                return;
            }
            m_isUpgraded = true;
            m_isDone = true;
            m_gone->store(true);
            m_setup->io->withdraw(this, contextOf(m_stream.get_executor()));
            PushChannelStart start = *m_setup->push;
            start.hold = std::move(m_hold);
            startPushChannel(std::move(m_stream), handshakeOf(request, m_buffer), std::move(start));
            return;
        }
        ++m_inFlight;
        if (isHoldingTooMuch()) {
            if (!request.keep_alive())
                m_lastSequence = m_nextSequence;
            if (m_setup->metrics)
                m_setup->metrics->countRefusal(kAnswersFull.counted);
            deliver(m_nextSequence++, answerOf(kAnswersFull));
            return;
        }
        IncomingRequest incoming;
        incoming.method = QByteArray::fromStdString(std::string(request.method_string()));
        const std::string_view target = request.target();
        incoming.path =
            QUrl::fromEncoded(QByteArray(target.data(), static_cast<qsizetype>(target.size())))
                .path();
        incoming.authorization = fieldOf(request, "Authorization");
        incoming.upgrade = fieldOf(request, "Upgrade");
        for (const auto& field : request) {
            if (beast::iequals(field.name_string(), "X-Forwarded-For")) {
                if (!incoming.forwardedFor.isEmpty())
                    incoming.forwardedFor += ',';
                incoming.forwardedFor +=
                    QByteArray(field.value().data(), static_cast<qsizetype>(field.value().size()));
            }
        }
        incoming.isProxied = !incoming.forwardedFor.isEmpty() ||
                             !fieldOf(request, "Forwarded").isEmpty() ||
                             !fieldOf(request, "X-Real-IP").isEmpty();
        incoming.body = QByteArray::fromStdString(request.body());
        incoming.peer = m_peer;
        incoming.isOnMetricsListener = m_setup->isMetricsListener;
        if (!request.keep_alive())
            m_lastSequence = m_nextSequence;
        incoming.ioThread = m_setup->io->indexOf(contextOf(m_stream.get_executor()));
        AnswerHandle handle(this->weak_from_this(), m_stream.get_executor(), m_nextSequence++,
                            m_gone);
        m_setup->route(std::move(incoming), std::move(handle));
    }

    void queue(OutgoingAnswer answer, bool isLast) {
        auto response = std::make_unique<http::response<http::string_body>>(
            static_cast<http::status>(answer.status), 11);
        response->set(http::field::content_type,
                      std::string_view(answer.contentType.constData(),
                                       static_cast<std::size_t>(answer.contentType.size())));
        if (answer.retryAfter > 0)
            response->set(http::field::retry_after, std::to_string(answer.retryAfter));
        if (isLast)
            response->set(http::field::connection, "close");
        response->body() = answer.body.toStdString();
        response->prepare_payload();
        m_unsent += answer.body.size();
        m_out.push_back(std::move(response));
    }

    void write() {
        if (m_isWriting || m_out.empty() || m_isDone)
            return;
        m_isWriting = true;
        http::async_write(
            m_stream, *m_out.front(),
            [self = this->shared_from_this()](boost::system::error_code error, std::size_t) {
                self->onWritten(error);
            });
    }

    void onWritten(boost::system::error_code error) {
        m_isWriting = false;
        if (m_isDone)
            return;
        const auto written = static_cast<qint64>(m_out.front()->body().size());
        m_unsent -= written;
        hold(-written);
        m_hasTakenSinceCheck = true;
        m_out.pop_front();
        if (error) {
            finish();
            return;
        }
        const bool isLastOut = m_lastSequence && m_nextToWrite > *m_lastSequence;
        if ((m_isRefused || isLastOut) && m_out.empty()) {
            // The answer is out: the client learns the end, and what it still sends is read
            // and dropped so that it is not reset before it read the answer.
            boost::system::error_code ignored;
            tcpOf(m_stream).shutdown(tcp::socket::shutdown_send, ignored);
            m_isRefused = true;
            enter(Phase::Refused);
            return;
        }
        write();
    }

    void refuse(const Refusal& refusal) {
        if (m_isRefused || m_isDone)
            return;
        // Over TLS an answer before the handshake would need the handshake first, which is
        // what a flood wants of us.
        if (m_phase == Phase::Handshake) {
            finish();
            return;
        }
        m_isRefused = true;
        enter(Phase::Refused);
        if (m_setup->metrics)
            m_setup->metrics->countRefusal(refusal.counted);
        for (const auto& [sequence, ready] : m_ready)
            hold(-ready.body.size());
        m_ready.clear();
        OutgoingAnswer answer = answerOf(refusal);
        hold(answer.body.size());
        queue(std::move(answer), true);
        m_buffer.clear();
        write();
        readMore();
    }

    void abandon() override { finish(); }

    void finish() {
        if (std::exchange(m_isDone, true))
            return;
        // The last reference may be this one: the connection goes when this returns.
        const auto kept = std::exchange(m_keptWhilePaused, nullptr);
        // What it held counts no more from here on: nothing of it will be sent.
        hold(-m_held);
        m_gone->store(true);
        closeSocket(m_stream);
        m_hold.reset();
    }

    Stream m_stream;
    std::shared_ptr<const ListenerSetup> m_setup;
    std::shared_ptr<void> m_hold;
    QHostAddress m_peer;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    Phase m_phase = Phase::Idle;
    Duration m_since;
    bool m_isHeaderChecked = false;
    bool m_isRefused = false;
    bool m_isUpgraded = false;
    bool m_isDone = false;
    bool m_isWriting = false;
    std::shared_ptr<std::atomic<bool>> m_gone = std::make_shared<std::atomic<bool>>(false);
    std::uint64_t m_nextSequence = 0;
    std::uint64_t m_nextToWrite = 0;
    /// The request that asked to close the connection once answered.
    std::optional<std::uint64_t> m_lastSequence;
    int m_inFlight = 0;
    /// Set while reading waits for answers.
    std::shared_ptr<HttpSession> m_keptWhilePaused;
    qint64 m_unsent = 0;
    /// Bytes of the answers in m_ready and m_out, counted to the server's bound.
    qint64 m_held = 0;
    bool m_hasTakenSinceCheck = false;
    std::map<std::uint64_t, OutgoingAnswer> m_ready;
    std::deque<std::unique_ptr<http::response<http::string_body>>> m_out;
};

class AsioListener final : public HttpListener, public std::enable_shared_from_this<AsioListener> {
public:
    AsioListener(tcp::acceptor acceptor, std::shared_ptr<const ListenerSetup> setup)
        : m_acceptor(std::move(acceptor))
        , m_port(m_acceptor.local_endpoint().port())
        , m_setup(std::move(setup))
        , m_pause(m_acceptor.get_executor()) {}

    quint16 port() const override { return m_port; }

    void start() {
        asio::post(m_acceptor.get_executor(), [self = shared_from_this()] { self->accept(); });
    }

    void close() override {
        asio::post(m_acceptor.get_executor(), [self = shared_from_this()] {
            boost::system::error_code ignored;
            self->m_acceptor.close(ignored);
            self->m_pause.cancel();
        });
    }

private:
    void accept() {
        if (!m_acceptor.is_open())
            return;
        m_acceptor.async_accept(
            m_setup->io->next(),
            [self = shared_from_this()](boost::system::error_code error, tcp::socket socket) {
                self->onAccepted(error, std::move(socket));
            });
    }

    void onAccepted(boost::system::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !m_acceptor.is_open())
            return;
        if (error) {
            // Out of descriptors, the listening socket stays readable and would be polled in
            // a busy loop; it waits a moment instead.
            qCWarning(lcListener) << "cannot accept:" << QString::fromStdString(error.message());
            m_pause.expires_after(kAcceptPause);
            m_pause.async_wait([self = shared_from_this()](boost::system::error_code waited) {
                if (!waited)
                    self->accept();
            });
            return;
        }
        if (m_setup->accepted)
            m_setup->accepted->fetch_add(1, std::memory_order_relaxed);
        accept();
        boost::system::error_code ignored;
        const QHostAddress peer = qtAddressOf(socket.remote_endpoint(ignored).address());
        socket.set_option(tcp::no_delay(true), ignored);
        std::shared_ptr<void> hold =
            m_setup->caps->take(peer, m_setup->trustedProxies.contains(peer));
        // The connection runs on the thread of its own context from here on.
        const auto executor = socket.get_executor();
        asio::post(executor, [setup = m_setup, socket = std::move(socket), hold = std::move(hold),
                              peer]() mutable {
            if (setup->tls) {
                if (!hold)
                    return; // closed unanswered: see refuse()
                std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), *setup->tls),
                                                         setup, std::move(hold), peer)
                    ->run();
                return;
            }
            auto session =
                std::make_shared<HttpSession<tcp::socket>>(std::move(socket), setup, hold, peer);
            if (hold)
                session->run();
            else
                session->refuseBusy();
        });
    }

    tcp::acceptor m_acceptor;
    quint16 m_port;
    std::shared_ptr<const ListenerSetup> m_setup;
    asio::steady_timer m_pause;
};

} // namespace

AnswerHandle::AnswerHandle(std::weak_ptr<Target> target, boost::asio::any_io_executor executor,
                           std::uint64_t sequence, std::shared_ptr<const std::atomic<bool>> isGone)
    : m_target(std::move(target))
    , m_executor(std::move(executor))
    , m_sequence(sequence)
    , m_isGone(std::move(isGone)) {}

void AnswerHandle::send(OutgoingAnswer answer) const {
    // Only the io thread may see whether the connection still exists.
    asio::post(m_executor,
               [target = m_target, sequence = m_sequence, answer = std::move(answer)]() mutable {
                   if (auto alive = target.lock())
                       alive->deliver(sequence, std::move(answer));
               });
}

struct ConnectionCaps::State {
    State(int most, int mostPerClient)
        : most(most)
        , mostPerClient(mostPerClient) {}

    const int most;
    const int mostPerClient;
    mutable std::mutex mutex;
    int count = 0;
    QHash<QString, int> perClient;
};

ConnectionCaps::ConnectionCaps(int most, int mostPerClient)
    : m_state(std::make_shared<State>(fittingConnectionCap(most), mostPerClient)) {}

std::shared_ptr<void> ConnectionCaps::take(const QHostAddress& peer, bool isTrustedProxy) {
    // One subscriber holds a whole IPv6 /64 and could take turns with its addresses, each with
    // a cap of its own, until the total is full: counted as the pairing throttle counts
    // guessers.
    const QString client = GuessThrottle::guesserOf(peer.toString());
    const std::lock_guard lock(m_state->mutex);
    if (m_state->count >= m_state->most)
        return nullptr;
    if (!isTrustedProxy && m_state->perClient.value(client) >= m_state->mostPerClient)
        return nullptr;
    ++m_state->count;
    ++m_state->perClient[client];
    return std::shared_ptr<void>(m_state.get(), [state = m_state, client](void*) {
        const std::lock_guard lock(state->mutex);
        --state->count;
        if (--state->perClient[client] <= 0)
            state->perClient.remove(client);
    });
}

int ConnectionCaps::count() const {
    const std::lock_guard lock(m_state->mutex);
    return m_state->count;
}

std::shared_ptr<HttpListener> HttpListener::listen(const QHostAddress& address, quint16 port,
                                                   std::shared_ptr<const ListenerSetup> setup) {
    boost::system::error_code error;
    const auto ip = asio::ip::make_address(address.toString().toStdString(), error);
    if (error)
        return nullptr;
    const tcp::endpoint endpoint(ip, port);
    tcp::acceptor acceptor(setup->io->context(0));
    acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error && ip.is_v6() && ip.is_unspecified())
        acceptor.set_option(asio::ip::v6_only(false), error);
    if (!error)
        acceptor.bind(endpoint, error);
    // The kernel's own cap (net.core.somaxconn) on waiting connections, not a small one: a
    // burst of reconnecting devices past it would each wait a second for its SYN sent again.
    if (!error)
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
        return nullptr;
    auto listener = std::make_shared<AsioListener>(std::move(acceptor), std::move(setup));
    listener->start();
    return listener;
}

} // namespace sonavert::cloud
