#pragma once

#include <QHash>
#include <QObject>
#include <limits>

namespace sonavert::cloud {

class CloudService;
class PushHub;

/// Brings the notifications that any instance sharing the database stores to this instance's
/// channels, each once and in id order. Stored notifications are the outbox: for every account
/// with channels here it remembers the newest id delivered, and reads what is stored beyond
/// that when an instance announces more, when this one stores some, or when announcements may
/// have been missed.
class OutboxRelay : public QObject {
    Q_OBJECT
public:
    OutboxRelay(CloudService& service, PushHub& hub, QObject* parent = nullptr);

    /// Notifications of the account up to `lastId` are stored.
    void pull(qint64 accountId, qint64 lastId = std::numeric_limits<qint64>::max());
    /// Pulls every account with channels here that has notifications beyond those delivered.
    void catchUp();

private:
    void onChannelReady(qint64 accountId, qint64 lastId);

    CloudService& m_service;
    PushHub& m_hub;
    /// Per account with channels here: the newest notification id handed to the hub.
    QHash<qint64, qint64> m_delivered;
};

} // namespace sonavert::cloud
