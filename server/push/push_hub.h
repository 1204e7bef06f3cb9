#pragma once

#include "server/push/push_limits.h"
#include "server/storage/cloud_storage.h"
#include "src/runtime/clock.h"

#include <QHash>
#include <QObject>
#include <memory>
#include <set>
#include <vector>

namespace sonavert::cloud {

class CloudService;
class PushChannel;
class PushSocket;

/// Holds every open push channel: authenticates each on its first message, replays what a
/// reconnecting client missed, delivers fired notifications to the owning account's channels,
/// pings idle channels, closes silent ones, and reads the token revocations stored by any
/// process sharing the database: a revoked token loses its channels and its cached
/// authentication.
class PushHub : public QObject {
    Q_OBJECT
public:
    /// Timeouts and revocations are acted on within this.
    static constexpr Duration kSweepInterval = std::chrono::milliseconds(500);

    PushHub(CloudService& service, Clock& clock, const PushLimits& limits = {},
            QObject* parent = nullptr);
    ~PushHub() override;

    /// Takes a freshly upgraded connection.
    void adopt(std::unique_ptr<PushSocket> socket);
    const PushLimits& limits() const { return m_limits; }
    /// Sends each notification, in the order given, to the channels of its database that have
    /// not had it yet.
    void deliver(const QList<sonavert::cloud::PushNotification>& notifications);
    /// Tells the account's channels that notifications up to `lastId` were dropped unsent.
    void reset(qint64 accountId, qint64 lastId);
    /// Closes every channel (shutdown).
    void closeAll();
    int readyChannelCount() const;
    /// Channels held, greeted or not.
    int channelCount() const { return static_cast<int>(m_channels.size()); }
    /// Notifications sent to channels so far, backlogs included.
    quint64 notificationsSent() const { return m_notificationsSent; }
    int readyChannelCount(qint64 accountId) const;

Q_SIGNALS:
    /// A channel of the account authenticated and received its backlog, up to `lastId`.
    void channelReady(qint64 accountId, qint64 lastId);

private:
    void onMessage(PushChannel* channel, const QString& message);
    /// Bytes waiting for every channel together.
    qint64 queuedBytes() const;
    void forget(PushChannel* channel);
    void sweep();
    void closeRevoked();

    CloudService& m_service;
    Clock& m_clock;
    PushLimits m_limits;
    std::set<PushChannel*> m_channels;
    /// The greeted channels of each account, in the order they greeted.
    QHash<qint64, std::vector<PushChannel*>> m_byAccount;
    quint64 m_notificationsSent = 0;
    Clock::TimerId m_sweepTimer = 0;
};

} // namespace sonavert::cloud
