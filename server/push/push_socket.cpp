#include "server/push/push_socket.h"

#include <QCryptographicHash>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QTimer>
#include <QWebSocket>
#include <QtEndian>
#include <array>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace sonavert::cloud {

namespace {

/// Read from the descriptor per wake-up at most, so one busy client cannot hold the loop.
constexpr qsizetype kReadPerWake = qsizetype{64} * 1024;
/// The longest frame header: two bytes, eight of length, four of mask.
constexpr qsizetype kMaxHeader = 14;
/// What the kernel may hold unsent for one channel (it doubles this): beyond it messages wait
/// in the channel's own queue, which is bounded, instead of megabytes the kernel would
/// otherwise take on for a client that stopped reading.
constexpr int kKernelSendBuffer = 32 * 1024;
/// A control frame's payload, and so a close reason with its code, is at most this.
constexpr qsizetype kMaxControlPayload = 125;

constexpr int kProtocolError = 1002;
constexpr int kInvalidPayload = 1007;
constexpr int kTooBig = 1009;

// The codes a peer may send in a close frame: the standard's own (less those that only say a
// close frame had none, or that TLS failed) and those registered or private, 3000 to 4999.
bool isSendableCloseCode(int code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

} // namespace

QtPushSocket::QtPushSocket(std::unique_ptr<QWebSocket> socket, const PushLimits& limits)
    : m_socket(std::move(socket)) {
    // Checked on each frame's header, so an oversized frame is refused before it is read.
    m_socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(limits.maxFrameBytes));
    m_socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(limits.maxMessageBytes));
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &PushSocket::textReceived);
    connect(m_socket.get(), &QWebSocket::pong, this, &PushSocket::heard);
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, &PushSocket::heard);
    connect(m_socket.get(), &QWebSocket::disconnected, this, &PushSocket::disconnected);
}

QtPushSocket::~QtPushSocket() {
    m_socket->disconnect(this);
    m_socket->abort();
}

void QtPushSocket::sendText(const QString& text) {
    m_socket->sendTextMessage(text);
}

void QtPushSocket::ping() {
    m_socket->ping();
}

void QtPushSocket::close(int code, const QString& reason) {
    m_socket->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
}

void QtPushSocket::abort() {
    m_socket->abort();
}

qint64 QtPushSocket::bytesToWrite() const {
    return m_socket->bytesToWrite();
}

PlainWebSocket::PlainWebSocket(int descriptor, const QByteArray& secWebSocketKey, QByteArray early,
                               const PushLimits& limits, std::function<void()> farewell)
    : m_fd(descriptor)
    , m_limits(limits)
    , m_farewell(std::move(farewell))
    , m_in(std::move(early)) {
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &kKernelSendBuffer, sizeof(kKernelSendBuffer));
    const QByteArray answer = "HTTP/1.1 101 Switching Protocols\r\n"
                              "Upgrade: websocket\r\n"
                              "Connection: Upgrade\r\n"
                              "Sec-WebSocket-Accept: " +
                              acceptKeyFor(secWebSocketKey) + "\r\n\r\n";
    writeRaw(answer.constData(), answer.size());
}

PlainWebSocket::~PlainWebSocket() {
    // Gone without a word: nobody listens any more.
    disconnect(this, &PushSocket::disconnected, nullptr, nullptr);
    finish();
}

QByteArray PlainWebSocket::acceptKeyFor(const QByteArray& secWebSocketKey) {
    return QCryptographicHash::hash(secWebSocketKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                    QCryptographicHash::Sha1)
        .toBase64();
}

void PlainWebSocket::start() {
    // Gone while answering the handshake, before anyone listened: said once someone does.
    if (m_fd < 0) {
        QTimer::singleShot(0, this, [this] { Q_EMIT disconnected(); });
        return;
    }
    m_readable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_readable.get(), &QSocketNotifier::activated, this, &PlainWebSocket::readIncoming);
    // What came with the upgrade request is read after the caller's own start-up is done.
    if (!m_in.isEmpty())
        QTimer::singleShot(0, this, [this] { takeFrames(); });
}

void PlainWebSocket::readIncoming() {
    qsizetype taken = 0;
    std::array<char, 4096> chunk{};
    while (m_fd >= 0 && taken < kReadPerWake) {
        const ssize_t n = ::recv(m_fd, chunk.data(), chunk.size(), 0);
        if (n > 0 && m_isDiscarding) {
            taken += n;
            continue;
        }
        if (n > 0) {
            m_in.append(chunk.data(), n);
            taken += n;
            // Parsed as it comes, so a frame over the limit is refused from its header.
            if (!takeFrames())
                return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        finish(); // end of stream, or the connection failed
        return;
    }
}

bool PlainWebSocket::takeFrames() {
    qsizetype at = 0;
    const auto byteAt = [this](qsizetype i) { return static_cast<quint8>(m_in.at(i)); };
    while (m_fd >= 0) {
        const qsizetype left = m_in.size() - at;
        if (left < 2)
            break;
        const quint8 first = byteAt(at);
        const quint8 second = byteAt(at + 1);
        const bool isFinal = (first & 0x80) != 0;
        const auto opcode = static_cast<quint8>(first & 0x0F);
        const bool isControl = (opcode & 0x08) != 0;
        qsizetype header = 2;
        quint64 length = second & 0x7F;
        if (length == 126) {
            if (left < 4)
                break;
            length = qFromBigEndian<quint16>(m_in.constData() + at + 2);
            header = 4;
        } else if (length == 127) {
            if (left < 10)
                break;
            length = qFromBigEndian<quint64>(m_in.constData() + at + 2);
            header = 10;
        }
        // Clients must mask, use no extension bits and known opcodes; control frames are
        // short and whole.
        const bool isKnown = opcode <= Binary || (opcode >= Close && opcode <= Pong);
        if ((first & 0x70) != 0 || (second & 0x80) == 0 || !isKnown ||
            (isControl && (!isFinal || length > kMaxControlPayload)))
            return fail(kProtocolError);
        if (!isControl) {
            if ((opcode == Continuation) != m_isInMessage)
                return fail(kProtocolError);
            if (length > static_cast<quint64>(m_limits.maxFrameBytes) ||
                static_cast<quint64>(m_message.size()) + length >
                    static_cast<quint64>(m_limits.maxMessageBytes))
                return fail(kTooBig);
        }
        const auto size = static_cast<qsizetype>(length);
        if (left < header + 4 + size)
            break;
        const char* mask = m_in.constData() + at + header;
        QByteArray payload(m_in.constData() + at + header + 4, size);
        for (qsizetype i = 0; i < size; ++i)
            payload[i] = static_cast<char>(payload.at(i) ^ mask[i % 4]);
        at += header + 4 + size;
        if (!handleFrame(opcode, isFinal, std::move(payload)))
            return false;
    }
    if (m_fd < 0)
        return false;
    // Nothing kept once everything is read: an idle channel holds no input buffer.
    if (at >= m_in.size())
        m_in = QByteArray();
    else if (at > 0)
        m_in.remove(0, at);
    return true;
}

bool PlainWebSocket::handleFrame(quint8 opcode, bool isFinal, QByteArray payload) {
    switch (opcode) {
    case Ping:
        // A pong waits behind the notifications and counts to the same bound: a client that
        // pings and never reads is cut off, since it would not read a close frame either.
        if (m_out.size() + kMaxHeader + payload.size() > m_limits.maxQueuedBytes) {
            finish();
            return false;
        }
        if (!m_isClosing)
            sendFrame(Pong, payload);
        return true;
    case Pong:
        Q_EMIT heard();
        return true;
    case Close: {
        if (payload.size() == 1)
            return fail(kProtocolError);
        if (payload.size() >= 2 &&
            !isSendableCloseCode((quint8(payload[0]) << 8) | quint8(payload[1])))
            return fail(kProtocolError);
        if (m_isClosing) {
            finish(); // the answer to our close
            return false;
        }
        // Echo the client's code, then close: the server ends the TCP connection.
        const QByteArray code = payload.left(2);
        m_isClosing = true;
        sendFrame(Close, code);
        m_closeAfterWrite = true;
        flushOutput();
        return m_fd >= 0;
    }
    default:
        break;
    }
    if (opcode != Continuation)
        m_messageOpcode = opcode;
    m_message.append(payload);
    m_isInMessage = !isFinal;
    if (!isFinal)
        return true;
    const QByteArray message = std::exchange(m_message, QByteArray());
    if (m_isClosing)
        return true;
    if (m_messageOpcode == Binary) {
        Q_EMIT heard();
        return m_fd >= 0;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(message);
    if (decoder.hasError())
        return fail(kInvalidPayload);
    Q_EMIT textReceived(text);
    return m_fd >= 0;
}

void PlainWebSocket::sendText(const QString& text) {
    if (!m_isClosing)
        sendFrame(Text, text.toUtf8());
}

void PlainWebSocket::ping() {
    if (!m_isClosing)
        sendFrame(Ping, {});
}

void PlainWebSocket::close(int code, const QString& reason) {
    if (m_fd < 0 || m_isClosing)
        return;
    m_isClosing = true;
    QByteArray payload(2, Qt::Uninitialized);
    qToBigEndian<quint16>(static_cast<quint16>(code), payload.data());
    payload.append(reason.toUtf8().left(kMaxControlPayload - 2));
    sendFrame(Close, payload);
}

void PlainWebSocket::abort() {
    finish();
}

bool PlainWebSocket::fail(int code) {
    if (m_fd >= 0 && !m_isClosing) {
        m_isClosing = true;
        QByteArray payload(2, Qt::Uninitialized);
        qToBigEndian<quint16>(static_cast<quint16>(code), payload.data());
        sendFrame(Close, payload);
    }
    // Closing with input unread would reset the connection and could lose the close frame:
    // the sending side ends after it, and what the client still sends is dropped unread until
    // it closes too, or the channel's deadline cuts it off.
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_WR);
        m_isDiscarding = true;
        m_in = QByteArray();
        m_message = QByteArray();
    }
    return false;
}

void PlainWebSocket::sendFrame(quint8 opcode, const QByteArray& payload) {
    if (m_fd < 0)
        return;
    std::array<char, kMaxHeader> header{};
    qsizetype headerSize = 2;
    header[0] = static_cast<char>(0x80 | opcode);
    const auto size = static_cast<quint64>(payload.size());
    if (size < 126) {
        header[1] = static_cast<char>(size);
    } else if (size <= 0xFFFF) {
        header[1] = 126;
        qToBigEndian<quint16>(static_cast<quint16>(size), header.data() + 2);
        headerSize = 4;
    } else {
        header[1] = 127;
        qToBigEndian<quint64>(size, header.data() + 2);
        headerSize = 10;
    }
    if (m_out.isEmpty()) {
        QByteArray frame(header.data(), headerSize);
        frame.append(payload);
        writeRaw(frame.constData(), frame.size());
        return;
    }
    m_out.append(header.data(), headerSize);
    m_out.append(payload);
}

qsizetype PlainWebSocket::sendSome(const char* data, qsizetype size) {
    qsizetype sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(m_fd, data + sent, static_cast<size_t>(size - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        else
            return -1;
    }
    return sent;
}

void PlainWebSocket::writeRaw(const char* data, qsizetype size) {
    // Behind what waits already, nothing may go first.
    const qsizetype sent = m_out.isEmpty() ? sendSome(data, size) : 0;
    if (sent < 0) {
        finish();
        return;
    }
    if (sent == size)
        return;
    m_out.append(data + sent, size - sent);
    if (!m_writable) {
        m_writable = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
        connect(m_writable.get(), &QSocketNotifier::activated, this, &PlainWebSocket::flushOutput);
    }
}

void PlainWebSocket::flushOutput() {
    if (m_fd < 0)
        return;
    const qsizetype sent = sendSome(m_out.constData(), m_out.size());
    if (sent < 0) {
        finish();
        return;
    }
    m_out.remove(0, sent);
    if (!m_out.isEmpty())
        return;
    // Written out: neither the buffer nor the write watch is kept.
    m_out = QByteArray();
    m_writable.reset();
    if (m_closeAfterWrite)
        finish();
}

void PlainWebSocket::finish() {
    if (m_fd < 0)
        return;
    m_readable.reset();
    m_writable.reset();
    ::close(m_fd);
    m_fd = -1;
    m_in = QByteArray();
    m_out = QByteArray();
    m_message = QByteArray();
    if (m_farewell)
        std::exchange(m_farewell, {})();
    Q_EMIT disconnected();
}

} // namespace sonavert::cloud
