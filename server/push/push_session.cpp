#include "server/push/push_session.h"

#include "server/net/io_threads.h"

#include <QMetaObject>
#include <QPointer>
#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <sys/ioctl.h>

namespace sonavert::cloud {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

/// What the kernel may hold unsent for one channel (it doubles this): beyond it messages wait
/// in the channel's own queue, which is bounded, instead of megabytes the kernel would take on
/// for a client that stopped reading.
constexpr int kKernelSendBuffer = 32 * 1024;
/// A close reason with its code fits a control frame.
constexpr qsizetype kMostCloseReasonBytes = 123;
/// The highest close code a peer may send.
constexpr std::uint16_t kMostCloseCode = 4999;
/// The WebSocket reads its handshake, and the frames sent with it, from a buffer of this size.
constexpr std::size_t kMostHandshakeBytes = 1536;

class PushBridge;

/// What the channel's two sides share: the socket on the owner's thread, the session on its io
/// thread. Each side touches only its own fields; the count of queued bytes is shared.
struct PushLink {
    /// Owner's thread only; null once the socket is gone.
    PushBridge* bridge = nullptr;
    QObject* owner = nullptr;
    /// Bytes handed to the session and not yet taken by the system.
    std::atomic<qint64> queued{0};
};

/// The commands the owner's side sends to the session, whatever its stream.
class PushSessionControl {
public:
    virtual void sendText(std::string text) = 0;
    virtual void ping() = 0;
    virtual void close(int code, std::string reason) = 0;
    virtual void abort() = 0;

protected:
    ~PushSessionControl() = default;
};

/// The owner's side of a channel: the channel talks to it, and it passes everything to the
/// session on its io thread.
class PushBridge final : public PushSocket {
public:
    PushBridge(std::shared_ptr<PushLink> link, std::weak_ptr<PushSessionControl> session,
               asio::any_io_executor executor)
        : m_link(std::move(link))
        , m_session(std::move(session))
        , m_executor(std::move(executor)) {
        m_link->bridge = this;
    }
    ~PushBridge() override {
        m_link->bridge = nullptr;
        abort();
    }

    void sendText(const QString& text) override {
        std::string bytes = text.toStdString();
        m_link->queued.fetch_add(static_cast<qint64>(bytes.size()));
        toSession([bytes = std::move(bytes)](PushSessionControl& s) mutable {
            s.sendText(std::move(bytes));
        });
    }
    void ping() override {
        toSession([](PushSessionControl& s) { s.ping(); });
    }
    void close(int code, const QString& reason) override {
        toSession([code, reason = reason.toUtf8().left(kMostCloseReasonBytes).toStdString()](
                      PushSessionControl& s) { s.close(code, reason); });
    }
    void abort() override {
        toSession([](PushSessionControl& s) { s.abort(); });
    }
    qint64 bytesToWrite() const override { return m_link->queued.load(); }

private:
    template <class Command> void toSession(Command command) {
        // Only the io thread may see whether the session still exists.
        asio::post(m_executor, [session = m_session, command = std::move(command)]() mutable {
            if (auto alive = session.lock())
                command(*alive);
        });
    }

    std::shared_ptr<PushLink> m_link;
    std::weak_ptr<PushSessionControl> m_session;
    asio::any_io_executor m_executor;
};

template <class Stream>
class PushSession final : public PushSessionControl,
                          public TimedConnection,
                          public std::enable_shared_from_this<PushSession<Stream>> {
public:
    PushSession(Stream stream, std::string handshake, PushChannelStart start)
        : m_ws(std::move(stream))
        , m_handshake(std::move(handshake))
        , m_start(std::move(start))
        , m_link(std::make_shared<PushLink>()) {
        m_link->owner = m_start.owner;
    }
    ~PushSession() { m_start.io->withdraw(this, context()); }

    void run() {
        m_start.io->enroll(this, context());
        auto& socket = beast::get_lowest_layer(m_ws);
        boost::system::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(kKernelSendBuffer), ignored);
        // A client's message is bounded as its frames' headers arrive; so is each frame,
        // which is part of a message.
        m_ws.read_message_max(static_cast<std::uint64_t>(
            std::min(m_start.limits->maxMessageBytes, m_start.limits->maxFrameBytes)));
        m_ws.auto_fragment(false);
        // Deadlines are the hub's, on the server's clock.
        m_ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                        websocket::stream_base::none(), false});
        m_ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(beast::http::field::server, "sonavert-cloud");
        }));
        m_ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::pong)
                toOwner([](PushBridge& bridge) { Q_EMIT bridge.heard(); });
            if (kind == websocket::frame_type::close && m_ws.reason().code > kMostCloseCode)
                refuseCloseCode();
        });
        // The channel exists on the owner's side before the client can learn of the upgrade,
        // so its greeting time counts from no later than the client's first chance to greet.
        auto bridge = std::make_shared<std::unique_ptr<PushSocket>>(std::make_unique<PushBridge>(
            m_link, std::weak_ptr<PushSessionControl>(this->shared_from_this()),
            m_ws.get_executor()));
        QMetaObject::invokeMethod(
            m_start.owner, [bridge, adopt = m_start.adopt] { adopt(std::move(*bridge)); },
            Qt::QueuedConnection);
        // The handshake is read from what was received already, which must fit the
        // WebSocket's own read buffer.
        if (m_handshake.size() > kMostHandshakeBytes) {
            finish();
            return;
        }
        m_ws.async_accept(asio::buffer(m_handshake),
                          [self = this->shared_from_this()](boost::system::error_code error) {
                              self->onAccepted(error);
                          });
    }

    void sendText(std::string text) override {
        if (m_isDone || m_isClosing) {
            m_link->queued.fetch_sub(static_cast<qint64>(text.size()));
            return;
        }
        m_out.push_back(Outgoing{Outgoing::Text, std::move(text), 0});
        write();
    }
    void ping() override {
        if (m_isDone || m_isClosing)
            return;
        m_out.push_back(Outgoing{Outgoing::Ping, {}, 0});
        write();
    }
    void close(int code, std::string reason) override {
        if (m_isDone || m_isClosing)
            return;
        m_isClosing = true;
        dropQueued();
        m_out.push_back(Outgoing{Outgoing::Close, std::move(reason), code});
        write();
    }
    void abort() override { finish(); }

    void checkDeadline(Duration) override {
        // A channel reads whatever comes, except while it answers a ping (or a close) that the
        // client does not take: the pings of a client that never reads wait in the kernel.
        // Still waiting at the next check, and the client is cut off; it would not read a
        // close frame either.
        int unread = 0;
        const int fd = beast::get_lowest_layer(m_ws).native_handle();
        const bool isStalled = !m_isDone && ::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0;
        m_stalledChecks = isStalled ? m_stalledChecks + 1 : 0;
        if (m_stalledChecks >= 2)
            finish();
    }

private:
    struct Outgoing {
        enum Kind { Text, Ping, Close } kind;
        std::string bytes;
        int code;
    };

    asio::io_context& context() {
        return static_cast<asio::io_context&>(
            asio::query(m_ws.get_executor(), asio::execution::context));
    }

    template <class Event> void toOwner(Event event) {
        QMetaObject::invokeMethod(
            m_start.owner,
            [link = m_link, event = std::move(event)] {
                if (link->bridge)
                    event(*link->bridge);
            },
            Qt::QueuedConnection);
    }

    /// What waits behind the message being written is dropped when the channel closes: a
    /// channel closed for a full queue catches up with `since` when it reconnects.
    void dropQueued() {
        while (m_out.size() > (m_isWriting ? 1U : 0U)) {
            m_link->queued.fetch_sub(static_cast<qint64>(m_out.back().bytes.size()));
            m_out.pop_back();
        }
    }

    /// A close code no peer may send (the standard defines none from 5000 on) is a protocol
    /// error, answered with 1002 instead of an echo of the code.
    void refuseCloseCode() {
        if (m_isDone || m_isClosing)
            return;
        m_isClosing = true;
        dropQueued();
        m_ws.async_close(
            websocket::close_code::protocol_error,
            [self = this->shared_from_this()](boost::system::error_code) { self->finish(); });
    }

    void onAccepted(boost::system::error_code error) {
        m_handshake = std::string();
        if (error) {
            finish();
            return;
        }
        read();
    }

    void read() {
        m_ws.async_read(m_in,
                        [self = this->shared_from_this()](boost::system::error_code error,
                                                          std::size_t) { self->onRead(error); });
    }

    void onRead(boost::system::error_code error) {
        if (error || m_isDone) {
            finish();
            return;
        }
        if (m_ws.got_text()) {
            toOwner([text = QString::fromStdString(beast::buffers_to_string(m_in.data()))](
                        PushBridge& bridge) { Q_EMIT bridge.textReceived(text); });
        } else {
            toOwner([](PushBridge& bridge) { Q_EMIT bridge.heard(); });
        }
        // An idle channel holds no read buffer.
        m_in = beast::flat_buffer();
        read();
    }

    void write() {
        if (m_isWriting || m_out.empty() || m_isDone)
            return;
        m_isWriting = true;
        auto self = this->shared_from_this();
        Outgoing& next = m_out.front();
        switch (next.kind) {
        case Outgoing::Text:
            m_ws.text(true);
            m_ws.async_write(
                asio::buffer(next.bytes),
                [self](boost::system::error_code error, std::size_t) { self->onWritten(error); });
            break;
        case Outgoing::Ping:
            m_ws.async_ping({},
                            [self](boost::system::error_code error) { self->onWritten(error); });
            break;
        case Outgoing::Close:
            m_ws.async_close(websocket::close_reason(static_cast<websocket::close_code>(next.code),
                                                     beast::string_view(next.bytes)),
                             [self](boost::system::error_code) { self->finish(); });
            break;
        }
    }

    void onWritten(boost::system::error_code error) {
        m_isWriting = false;
        if (!m_out.empty()) {
            m_link->queued.fetch_sub(static_cast<qint64>(m_out.front().bytes.size()));
            m_out.pop_front();
        }
        if (error) {
            finish();
            return;
        }
        write();
    }

    void finish() {
        if (std::exchange(m_isDone, true))
            return;
        boost::system::error_code ignored;
        beast::get_lowest_layer(m_ws).close(ignored);
        for (const Outgoing& dropped : m_out)
            m_link->queued.fetch_sub(static_cast<qint64>(dropped.bytes.size()));
        m_out.clear();
        m_start.hold.reset();
        toOwner([](PushBridge& bridge) { Q_EMIT bridge.disconnected(); });
    }

    websocket::stream<Stream> m_ws;
    beast::flat_buffer m_in;
    std::string m_handshake;
    PushChannelStart m_start;
    std::shared_ptr<PushLink> m_link;
    std::deque<Outgoing> m_out;
    bool m_isWriting = false;
    bool m_isClosing = false;
    bool m_isDone = false;
    int m_stalledChecks = 0;
};

template <class Stream> void startOn(Stream stream, std::string handshake, PushChannelStart start) {
    auto session = std::make_shared<PushSession<Stream>>(std::move(stream), std::move(handshake),
                                                         std::move(start));
    session->run();
}

} // namespace

void startPushChannel(PlainStream stream, std::string handshake, PushChannelStart start) {
    startOn(std::move(stream), std::move(handshake), std::move(start));
}

void startPushChannel(TlsStream stream, std::string handshake, PushChannelStart start) {
    startOn(std::move(stream), std::move(handshake), std::move(start));
}

} // namespace sonavert::cloud
