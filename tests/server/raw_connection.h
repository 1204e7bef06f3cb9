#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUrl>
#include <functional>
#include <optional>

namespace sonavert::cloud::testing {

constexpr qint64 kMiB = qint64{1} << 20;

/// A bare TCP connection to the server for what well-behaved clients never send: oversized or
/// endless headers and bodies, half requests, hand-made WebSocket frames, and a client that
/// stops reading. Every wait is on a socket event. With `tls` the same goes over TLS, once the
/// handshake is done.
class RawConnection {
public:
    /// Connects from `from` (any loopback address, to stand for another client).
    explicit RawConnection(const QUrl& server, const QHostAddress& from = QHostAddress(),
                           const std::optional<QSslConfiguration>& tls = std::nullopt);

    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket& socket() { return m_socket; }
    /// Writes and waits until the bytes are handed to the system.
    void send(const QByteArray& bytes);
    /// Writes `prefix`, then `filler` again and again, each once the previous left; true when
    /// an answer or the server's close came before `most` bytes went.
    bool isCutOffWhileFlooding(const QByteArray& prefix, const QByteArray& filler, qint64 most);
    /// Waits until a whole HTTP answer (header and Content-Length body) arrived or the
    /// connection closed; gives its status, 0 when none came.
    int awaitStatus();
    /// The answer received so far.
    QByteArray received() const { return m_received; }
    /// The serverErrorCode of the answer's JSON body.
    QString answerErrorCode() const;
    /// Waits until `needle` is among the bytes received.
    bool awaitReceived(const QByteArray& needle);
    /// Takes bytes again after stopReading(), as fast as they come.
    void resumeReading();
    /// Waits until the server has closed the connection.
    bool waitForClose();
    /// Stops taking bytes from the system, as a client that hangs would, with a small receive
    /// buffer: the server's sends pile up once the system's buffers are full.
    void stopReading();

    /// Upgrades to a WebSocket on /push; true once the server agreed.
    bool upgradeToWebSocket();
    /// The upgrade request of upgradeToWebSocket(), with the sample key of the WebSocket
    /// standard.
    static QByteArray upgradeRequest();
    /// A masked client frame (`opcode` 1 text, 0 continuation) as sent on the wire.
    static QByteArray frame(int opcode, bool isFinal, const QByteArray& payload);
    /// The header of a masked client frame announcing `length` payload bytes.
    static QByteArray frameHeader(int opcode, bool isFinal, quint64 length);

    /// A call of the test container's production database as a client writes it, with
    /// `extraHeaders` (whole lines) before its length.
    static QByteArray databaseCall(const QString& token, const QByteArray& operation,
                                   const QByteArray& extraHeaders = {},
                                   const QByteArray& body = "{}");
    /// The cheapest request the server answers.
    static QByteArray healthCheck() { return "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"; }
    /// The status of the answer to `request`, sent on a connection of its own from `from`.
    static int statusOf(const QUrl& server, const QByteArray& request,
                        const QHostAddress& from = QHostAddress());

private:
    bool hasWholeAnswer() const;
    /// Waits for bytes until `isEnough` or the connection closed; gives `isEnough`.
    bool awaitArrival(const std::function<bool()>& isEnough);

    QSslSocket m_socket; // unencrypted unless asked: then a plain TCP socket
    QByteArray m_received;
};

/// The resident memory of this process, from /proc/self/statm.
qint64 residentBytes();
/// Whether this process grew by less than `most` bytes since it held `before`; always true
/// under AddressSanitizer, whose quarantine holds on to freed memory.
bool grewLessThan(qint64 before, qint64 most);

} // namespace sonavert::cloud::testing
