#pragma once

#include "server/push/push_limits.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

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

} // namespace sonavert::cloud
