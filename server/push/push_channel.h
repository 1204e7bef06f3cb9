#pragma once

#include "server/storage/cloud_storage.h"
#include "src/runtime/clock.h"

#include <QObject>
#include <memory>

class QWebSocket;

namespace sonavert::cloud {

/// One client's WebSocket: unauthenticated until its first message names a valid token, then
/// bound to that account's database in one container and environment.
class PushChannel : public QObject {
    Q_OBJECT
public:
    PushChannel(std::unique_ptr<QWebSocket> socket, Clock& clock, QObject* parent = nullptr);
    ~PushChannel() override;

    bool isReady() const { return m_scope.has_value(); }
    bool isOfAccount(qint64 accountId) const;
    /// `lastId` is the newest notification id the client knows of: nothing up to it is sent.
    void becomeReady(const DatabaseScope& scope, qint64 lastId);
    /// Sends the notification when it belongs to this channel's database and is newer than
    /// anything sent before; the same notification may reach a hub more than once.
    void deliver(const PushNotification& notification);
    /// Tells the client that notifications after what it knows were dropped unsent, and that it
    /// knows up to `lastId` from now on.
    void reset(qint64 lastId);

    void send(const QJsonObject& message);
    /// Sends the error, then closes.
    void refuse(const QJsonObject& error);
    void close();
    /// Pings when idle; closes when silent too long. Returns false once closed.
    bool keepAlive(Duration pingAfter, Duration closeAfter);

Q_SIGNALS:
    void messageReceived(sonavert::cloud::PushChannel* channel, const QString& message);
    void closed(sonavert::cloud::PushChannel* channel);

private:
    void heard();

    std::unique_ptr<QWebSocket> m_socket;
    Clock& m_clock;
    Duration m_openedAt;
    Duration m_lastHeard;
    bool m_isClosed = false;
    std::optional<DatabaseScope> m_scope;
    qint64 m_lastSentId = 0;
};

} // namespace sonavert::cloud
