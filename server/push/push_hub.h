#pragma once

#include "runtime/clock.h"
#include "storage/cloud_storage.h"

#include <QObject>
#include <memory>
#include <set>

class QWebSocket;

namespace sonavert::cloud {

class CloudService;
class PushChannel;

/// Holds every open push channel: authenticates each on its first message, replays what a
/// reconnecting client missed, delivers fired notifications to the owning account's channels,
/// pings idle channels and closes silent ones.
class PushHub : public QObject {
    Q_OBJECT
public:
    static constexpr Duration kPingAfter = std::chrono::seconds(20);
    static constexpr Duration kCloseAfter = std::chrono::seconds(60);

    PushHub(CloudService& service, Clock& clock, QObject* parent = nullptr);
    ~PushHub() override;

    /// Takes a freshly upgraded connection.
    void adopt(std::unique_ptr<QWebSocket> socket);
    void deliver(const QList<sonavert::cloud::PushNotification>& notifications);
    /// Closes every channel (shutdown).
    void closeAll();
    int readyChannelCount() const;

Q_SIGNALS:
    /// A channel authenticated and received its backlog.
    void channelReady();

private:
    void onMessage(PushChannel* channel, const QString& message);
    void forget(PushChannel* channel);
    void sweep();

    CloudService& m_service;
    Clock& m_clock;
    std::set<PushChannel*> m_channels;
    Clock::TimerId m_sweepTimer = 0;
};

} // namespace sonavert::cloud
