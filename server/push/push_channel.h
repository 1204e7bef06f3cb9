#pragma once

#include "server/push/push_limits.h"
#include "server/storage/cloud_storage.h"
#include "src/runtime/clock.h"

#include <QObject>
#include <memory>
#include <optional>

namespace sonavert::cloud {

/// One client's WebSocket: unauthenticated until its first message names a valid token, then
/// bound to that account's database in one container and environment. What it sends waits in
/// a bounded queue: a client that stops reading is closed instead of growing it.
class PushSocket;

class PushChannel : public QObject {
    Q_OBJECT
public:
    /// Starts the socket's reading once connected to it.
    PushChannel(std::unique_ptr<PushSocket> socket, Clock& clock, const PushLimits& limits,
                QObject* parent = nullptr);
    ~PushChannel() override;

    /// Greeted; stays so while closing.
    bool isReady() const { return m_scope.has_value(); }
    /// Greeted and not closing: notifications still go to it.
    bool isLive() const { return isReady() && !m_isClosing && !m_isClosed; }
    bool isOfAccount(qint64 accountId) const;
    /// The account it greeted for, live or not; none before its greeting.
    std::optional<qint64> accountId() const {
        return m_scope ? std::optional<qint64>(m_scope->accountId) : std::nullopt;
    }
    /// Bytes sent to it that its client has not taken yet.
    qint64 queuedBytes() const;
    /// Whether the channel greeted with the token of this hash.
    bool isOfToken(const QString& tokenHash) const;
    /// `lastId` is the newest notification id the client knows of: nothing up to it is sent.
    void becomeReady(const DatabaseScope& scope, qint64 lastId, const QString& tokenHash);
    /// Sends the notification when it belongs to this channel's database and is newer than
    /// anything sent before; the same notification may reach a hub more than once. Says
    /// whether it was sent.
    bool deliver(const PushNotification& notification);
    /// Tells the client that notifications after what it knows were dropped unsent, and that it
    /// knows up to `lastId` from now on.
    void reset(qint64 lastId);

    /// Queues the message; false when the channel is closed or was closed for a full queue.
    bool send(const QJsonObject& message);
    /// Sends the error, then closes.
    void refuse(const QJsonObject& error);
    /// Closes with `code`; a client that does not take the close in time is cut off.
    void close(int code, const QString& reason);
    /// Pings when idle; closes when ungreeted or silent too long, cuts off a client that did
    /// not take its close. Returns false once closed.
    bool keepAlive();

Q_SIGNALS:
    void messageReceived(sonavert::cloud::PushChannel* channel, const QString& message);
    void closed(sonavert::cloud::PushChannel* channel);

private:
    void heard();

    std::unique_ptr<PushSocket> m_socket;
    Clock& m_clock;
    const PushLimits& m_limits;
    Duration m_openedAt;
    Duration m_lastHeard;
    Duration m_lastPinged;
    /// Set once the server closes: nothing more is sent, and past it the socket is cut.
    std::optional<Duration> m_closeDeadline;
    bool m_isClosing = false;
    bool m_isClosed = false;
    std::optional<DatabaseScope> m_scope;
    QString m_tokenHash;
    qint64 m_lastSentId = 0;
};

} // namespace sonavert::cloud
