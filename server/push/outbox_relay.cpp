#include "server/push/outbox_relay.h"

#include "server/push/push_hub.h"
#include "server/service/cloud_service.h"

#include <QLoggingCategory>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcRelay, "sonavert.cloud.relay")
} // namespace

OutboxRelay::OutboxRelay(CloudService& service, PushHub& hub, QObject* parent)
    : QObject(parent)
    , m_service(service)
    , m_hub(hub) {
    connect(&m_hub, &PushHub::channelReady, this, &OutboxRelay::onChannelReady);
}

void OutboxRelay::onChannelReady(qint64 accountId, qint64 lastId) {
    // The first channel of an account starts from what it was told; later ones must not move
    // the mark past notifications the earlier ones still wait for.
    if (m_hub.readyChannelCount(accountId) == 1 || !m_delivered.contains(accountId))
        m_delivered.insert(accountId, lastId);
}

void OutboxRelay::pull(qint64 accountId, qint64 lastId) {
    if (m_hub.readyChannelCount(accountId) == 0) {
        m_delivered.remove(accountId);
        return;
    }
    const qint64 delivered = m_delivered.value(accountId);
    if (lastId <= delivered)
        return;
    auto backlog = m_service.accountBacklog(accountId, delivered);
    if (!backlog) {
        // Left for the next announcement or check: the mark has not moved.
        qCWarning(lcRelay).noquote() << "cannot read notifications:" << backlog.error().description;
        return;
    }
    qint64 newest = backlog.value().lastId;
    if (!backlog.value().isComplete) {
        m_hub.reset(accountId, newest);
    } else {
        m_hub.deliver(backlog.value().missed);
        if (!backlog.value().missed.isEmpty())
            newest = std::max(newest, backlog.value().missed.last().id);
    }
    m_delivered.insert(accountId, std::max(delivered, newest));
}

void OutboxRelay::catchUp() {
    if (m_delivered.isEmpty())
        return;
    auto lastIds = m_service.lastNotificationIds();
    if (!lastIds) {
        qCWarning(lcRelay).noquote() << "cannot catch up:" << lastIds.error().description;
        return;
    }
    const auto delivered = m_delivered;
    for (auto it = delivered.cbegin(); it != delivered.cend(); ++it) {
        if (lastIds.value().value(it.key()) > it.value() || m_hub.readyChannelCount(it.key()) == 0)
            pull(it.key(), lastIds.value().value(it.key()));
    }
}

} // namespace sonavert::cloud
