#pragma once

#include "server/http/http_limits.h"
#include "server/http/trusted_proxies.h"
#include "server/push/push_session.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace boost::asio::ssl {
class context;
}

namespace sonavert::cloud {

class IoThreads;
class ServerMetrics;

/// One request as the routes see it, read whole and within the limits.
struct IncomingRequest {
    QByteArray method;
    /// The path of the target, decoded, without its query.
    QString path;
    QByteArray authorization;
    QByteArray upgrade;
    /// Every X-Forwarded-For value, in order, joined by commas.
    QByteArray forwardedFor;
    /// Whether a proxy on this host said so in its headers (Forwarded, X-Forwarded-For,
    /// X-Real-IP).
    bool isProxied = false;
    QByteArray body;
    QHostAddress peer;
    /// Came to the listener that serves only the operator's paths.
    bool isOnMetricsListener = false;
    /// The io thread the request is routed on (IoThreads' index).
    int ioThread = 0;
};

/// One answer: a status, and a body of its type.
struct OutgoingAnswer {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    /// Seconds for Retry-After; none when 0.
    int retryAfter = 0;
};

/// Answers one request, from any thread: the answer goes to the connection's io thread and
/// waits there for the answers of the requests before it.
class AnswerHandle {
public:
    class Target {
    public:
        virtual void deliver(std::uint64_t sequence, OutgoingAnswer answer) = 0;

    protected:
        ~Target() = default;
    };

    AnswerHandle(std::weak_ptr<Target> target, boost::asio::any_io_executor executor,
                 std::uint64_t sequence, std::shared_ptr<const std::atomic<bool>> isGone);
    void send(OutgoingAnswer answer) const;
    /// Whether the connection closed; an answer would not be read.
    bool isGone() const { return m_isGone->load(); }

private:
    std::weak_ptr<Target> m_target;
    boost::asio::any_io_executor m_executor;
    std::uint64_t m_sequence;
    std::shared_ptr<const std::atomic<bool>> m_isGone;
};

/// Connections held at once, in total and per client (an IPv4 address, an IPv6 /64), over
/// every listener of a server; a place is held as long as what it returns.
class ConnectionCaps {
public:
    /// `most` is lowered to what the descriptor limit allows.
    ConnectionCaps(int most, int mostPerClient);
    /// A place for a connection from `peer`, or null when the caps are full. A trusted proxy
    /// carries many clients, so its connections count only to the total.
    std::shared_ptr<void> take(const QHostAddress& peer, bool isTrustedProxy);
    int count() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

/// Everything the connections of one listener share.
struct ListenerSetup {
    IoThreads* io = nullptr;
    HttpLimits limits;
    /// TLS on this listener: every connection starts with its handshake.
    std::shared_ptr<boost::asio::ssl::context> tls;
    TrustedProxies trustedProxies;
    std::shared_ptr<ConnectionCaps> caps;
    ServerMetrics* metrics = nullptr;
    /// Called on the connection's io thread with each request: it answers at once or hands
    /// the request on, and must not wait.
    std::function<void(IncomingRequest, AnswerHandle)> route;
    bool isMetricsListener = false;
    /// Where upgrades to /push go; none on a listener that takes no push channels.
    std::optional<PushChannelStart> push;
    /// Counts each connection accepted.
    std::shared_ptr<std::atomic<quint64>> accepted;
    /// Bytes of answers held by every connection of the server (HttpLimits::maxHeldAnswerBytes).
    std::shared_ptr<std::atomic<qint64>> heldAnswers;
};

/// A listening socket whose connections run on the io threads: each request is read within
/// the limits and timeouts of `setup`, then handed to its route on the same thread.
class HttpListener {
public:
    /// Listens; false when it cannot (the address is taken, not this host's, ...).
    static std::shared_ptr<HttpListener> listen(const QHostAddress& address, quint16 port,
                                                std::shared_ptr<const ListenerSetup> setup);
    virtual ~HttpListener() = default;
    virtual quint16 port() const = 0;
    /// Stops accepting; connections already taken go on.
    virtual void close() = 0;
};

} // namespace sonavert::cloud
