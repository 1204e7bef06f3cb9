#pragma once

#include "src/clouddb/cloud_database.h"
#include "src/clouddb/http_cloud_database.h"

#include <memory>

class QWebSocket;

namespace sonavert::clouddb {

/// The push channel of a `sonavert-cloud` server: one WebSocket, greeted with the device's
/// token. After a loss it reconnects with growing delays (1 s doubling to 60 s) and asks for
/// what it missed with `since`. A channel silent for 60 s is taken as lost: the client pings
/// every 20 s, so a live server always answers within that time. The endpoint comes from a
/// source: without one the channel waits, a new one starts it afresh, and a token the server
/// refuses is reported there instead of being retried. A wss:// server's certificate is
/// checked as the endpoint's trust says; a refused one is a loss like any other.
class WebSocketPushChannel final : public PushChannel {
    Q_OBJECT
public:
    static constexpr Duration kFirstRetryDelay = 1s;
    static constexpr Duration kLongestRetryDelay = 60s;
    static constexpr Duration kPingInterval = 20s;
    static constexpr Duration kSilenceLimit = 60s;

    WebSocketPushChannel(CloudEndpoint endpoint, std::shared_ptr<Clock> clock,
                         QObject* parent = nullptr);
    WebSocketPushChannel(std::shared_ptr<CloudEndpointSource> endpoints,
                         std::shared_ptr<Clock> clock, QObject* parent = nullptr);
    ~WebSocketPushChannel() override;

    void open() override;
    void close() override;
    bool isConnected() const override { return m_isReady; }
    /// The id of the last notification received (0 before the first).
    qint64 lastNotificationID() const { return m_lastID; }

private:
    void connectSocket();
    void onEndpointChanged();
    void onRefused();
    void onSocketConnected();
    void onSocketDisconnected();
    void onCertificateErrors(const QList<QSslError>& errors);
    void onMessage(const QString& text);
    void scheduleReconnect();
    void scheduleHeartbeat();
    void cancelTimers();

    std::shared_ptr<CloudEndpointSource> m_endpoints;
    QString m_greetedToken; ///< the token of the socket's greeting
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QWebSocket> m_socket;
    bool m_shouldRun = false;
    bool m_isReady = false;
    /// What the last connection's certificate was refused for, reported when it closes.
    QList<QSslError> m_certificateErrors;
    qint64 m_lastID = 0;
    Duration m_retryDelay = kFirstRetryDelay;
    Duration m_lastHeard{0};
    Clock::TimerId m_reconnectTimer = 0;
    Clock::TimerId m_heartbeatTimer = 0;
};

} // namespace sonavert::clouddb
