#pragma once

#include "server/push/push_limits.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QWebSocket;
class QSocketNotifier;

namespace sonavert::cloud {

/// The WebSocket under one push channel, server side: what the channel needs of it and
/// nothing more. Messages over the limits close it with 1009 before they are read whole.
class PushSocket : public QObject {
    Q_OBJECT
public:
    /// Starts reading; call once the signals are connected.
    virtual void start() {}
    virtual void sendText(const QString& text) = 0;
    virtual void ping() = 0;
    /// Sends a close frame; the socket is closed once the client answers it (or is aborted).
    virtual void close(int code, const QString& reason) = 0;
    /// Drops the connection at once; disconnected() follows unless it was gone already.
    virtual void abort() = 0;
    /// Bytes queued for a client that has not taken them yet.
    virtual qint64 bytesToWrite() const = 0;

Q_SIGNALS:
    void textReceived(const QString& text);
    /// Anything else from the client that shows it alive (a pong, a binary message).
    void heard();
    void disconnected();
};

/// Qt's WebSocket, as the HTTP server hands it over (used over TLS).
class QtPushSocket : public PushSocket {
    Q_OBJECT
public:
    QtPushSocket(std::unique_ptr<QWebSocket> socket, const PushLimits& limits);
    ~QtPushSocket() override;

    void sendText(const QString& text) override;
    void ping() override;
    void close(int code, const QString& reason) override;
    void abort() override;
    qint64 bytesToWrite() const override;

private:
    std::unique_ptr<QWebSocket> m_socket;
};

/// A WebSocket on a plain TCP descriptor, taken from the HTTP server right after the upgrade
/// request: it answers the handshake and reads and writes the frames itself. Unlike a
/// QTcpSocket, which keeps a read and a write block of its own for as long as it lives, it
/// holds buffers only while something is in them, so an idle channel costs little more than
/// its descriptor.
class PlainWebSocket : public PushSocket {
    Q_OBJECT
public:
    /// Owns `descriptor` (non-blocking, connected). `early` are bytes the client sent after
    /// its upgrade request, read already. `farewell` runs once the descriptor is closed.
    PlainWebSocket(int descriptor, const QByteArray& secWebSocketKey, QByteArray early,
                   const PushLimits& limits, std::function<void()> farewell = {});
    ~PlainWebSocket() override;

    /// The Sec-WebSocket-Accept answer to a client's key.
    static QByteArray acceptKeyFor(const QByteArray& secWebSocketKey);

    void start() override;
    void sendText(const QString& text) override;
    void ping() override;
    void close(int code, const QString& reason) override;
    void abort() override;
    qint64 bytesToWrite() const override { return m_out.size(); }

private:
    enum Opcode : quint8 {
        Continuation = 0x0,
        Text = 0x1,
        Binary = 0x2,
        Close = 0x8,
        Ping = 0x9,
        Pong = 0xA,
    };
    void readIncoming();
    /// Takes every whole frame from the input; false once the socket failed or closed.
    bool takeFrames();
    bool handleFrame(quint8 opcode, bool isFinal, QByteArray payload);
    void sendFrame(quint8 opcode, const QByteArray& payload);
    void writeRaw(const char* data, qsizetype size);
    /// Sends what the kernel takes now: the bytes sent, or -1 when the connection failed.
    qsizetype sendSome(const char* data, qsizetype size);
    void flushOutput();
    /// Closes with `code`: the client broke the protocol or a limit. Always false.
    bool fail(int code);
    void finish();

    int m_fd;
    const PushLimits& m_limits;
    std::function<void()> m_farewell;
    std::unique_ptr<QSocketNotifier> m_readable;
    std::unique_ptr<QSocketNotifier> m_writable;
    QByteArray m_in;
    QByteArray m_out;
    QByteArray m_message;
    quint8 m_messageOpcode = 0;
    bool m_isInMessage = false;
    bool m_isClosing = false;
    bool m_closeAfterWrite = false;
    /// Failed: the client's bytes are dropped until it closes.
    bool m_isDiscarding = false;
};

} // namespace sonavert::cloud
