#include "server/push/push_hub.h"

#include "server/push/push_channel.h"
#include "server/push/push_socket.h"
#include "server/service/cloud_service.h"
#include "server/service/secret_tokens.h"
#include "server/wire/error_json.h"
#include "server/wire/json_fields.h"
#include "server/wire/server_error.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <algorithm>
#include <limits>

namespace sonavert::cloud {

namespace {

Q_LOGGING_CATEGORY(lcHub, "sonavert.cloud.push")

struct Hello {
    QString token;
    QString container;
    QString environment;
    std::optional<qint64> since;
};

Result<Hello> helloOf(const QString& message) {
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    if (!document.isObject())
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("the first message must be a JSON object"));
    const QJsonObject hello = document.object();
    Hello parsed;
    for (auto [key, target] : {std::pair{QStringLiteral("token"), &parsed.token},
                               std::pair{QStringLiteral("container"), &parsed.container},
                               std::pair{QStringLiteral("environment"), &parsed.environment}}) {
        auto value = json_fields::requiredString(hello, key);
        SONAVERT_TRY(value);
        *target = value.value();
    }
    auto since = json_fields::optionalInteger(hello, QStringLiteral("since"));
    SONAVERT_TRY(since);
    parsed.since = since.value();
    return parsed;
}

bool isForChannel(const QList<PushNotification>& notifications, const PushChannel& channel) {
    return std::any_of(notifications.begin(), notifications.end(),
                       [&](const PushNotification& n) { return channel.isOfAccount(n.accountId); });
}

} // namespace

PushHub::PushHub(CloudService& service, Clock& clock, const PushLimits& limits, QObject* parent)
    : QObject(parent)
    , m_service(service)
    , m_clock(clock)
    , m_limits(limits) {
    m_sweepTimer = m_clock.schedule(kSweepInterval, [this] { sweep(); });
}

PushHub::~PushHub() {
    m_clock.cancelScheduled(m_sweepTimer);
    for (PushChannel* channel : m_channels)
        delete channel;
}

void PushHub::adopt(std::unique_ptr<PushSocket> socket) {
    auto* channel = new PushChannel(std::move(socket), m_clock, m_limits, this);
    m_channels.insert(channel);
    connect(channel, &PushChannel::messageReceived, this, &PushHub::onMessage);
    connect(channel, &PushChannel::closed, this, &PushHub::forget);
}

void PushHub::deliver(const QList<PushNotification>& notifications) {
    qint64 held = queuedBytes();
    const auto channels = m_channels;
    for (PushChannel* channel : channels) {
        const qint64 before = channel->queuedBytes();
        // Each channel's queue is bounded, but thousands of them full at once are not: past
        // the bound for all, only channels that keep up get more.
        if (held > m_limits.maxQueuedBytesInTotal && before > 0 &&
            isForChannel(notifications, *channel)) {
            channel->close(kSlowConsumerCloseCode, QStringLiteral("send queue full"));
            continue;
        }
        for (const PushNotification& notification : notifications)
            m_notificationsSent += channel->deliver(notification) ? 1 : 0;
        held += channel->queuedBytes() - before;
    }
}

qint64 PushHub::queuedBytes() const {
    qint64 total = 0;
    for (const PushChannel* channel : m_channels)
        total += channel->queuedBytes();
    return total;
}

void PushHub::reset(qint64 accountId, qint64 lastId) {
    const auto channels = m_channels;
    for (PushChannel* channel : channels) {
        if (channel->isOfAccount(accountId))
            channel->reset(lastId);
    }
}

void PushHub::closeAll() {
    const auto channels = m_channels;
    for (PushChannel* channel : channels)
        channel->close(kGoingAwayCloseCode, QString());
}

int PushHub::readyChannelCount() const {
    return static_cast<int>(
        std::count_if(m_channels.begin(), m_channels.end(), [](auto* c) { return c->isLive(); }));
}

int PushHub::readyChannelCount(qint64 accountId) const {
    return static_cast<int>(std::count_if(m_channels.begin(), m_channels.end(),
                                          [&](auto* c) { return c->isOfAccount(accountId); }));
}

void PushHub::onMessage(PushChannel* channel, const QString& message) {
    // After the greeting, what a client sends only shows it is alive.
    if (channel->isReady())
        return;
    auto hello = helloOf(message);
    if (!hello) {
        channel->refuse(errorToJson(hello.error()));
        return;
    }
    auto account = m_service.accounts().authenticate(hello.value().token);
    auto scope = account ? CloudService::scopeFor(account.value(), hello.value().container,
                                                  hello.value().environment)
                         : Result<DatabaseScope>(account.error());
    if (!scope) {
        channel->refuse(errorToJson(scope.error()));
        return;
    }
    const qint64 since = hello.value().since.value_or(std::numeric_limits<qint64>::max());
    auto backlog = m_service.backlog(scope.value(), since);
    if (!backlog) {
        channel->refuse(errorToJson(backlog.error()));
        return;
    }
    channel->becomeReady(scope.value(), backlog.value().lastId,
                         secret_tokens::hashBearerToken(hello.value().token));
    channel->send(
        {{QStringLiteral("ready"), true}, {QStringLiteral("last"), backlog.value().lastId}});
    if (hello.value().since && !backlog.value().isComplete)
        channel->send({{QStringLiteral("reset"), true}});
    else if (hello.value().since) {
        for (const PushNotification& missed : backlog.value().missed)
            m_notificationsSent += channel->send(missed.body) ? 1 : 0;
    }
    Q_EMIT channelReady(scope.value().accountId, backlog.value().lastId);
}

void PushHub::forget(PushChannel* channel) {
    if (m_channels.erase(channel) > 0)
        channel->deleteLater();
}

void PushHub::sweep() {
    // Closing may report back synchronously and change the set: walk a copy.
    const auto channels = m_channels;
    for (PushChannel* channel : channels)
        channel->keepAlive();
    closeRevoked();
    m_sweepTimer = m_clock.schedule(kSweepInterval, [this] { sweep(); });
}

void PushHub::closeRevoked() {
    // A channel greets, and a token is cached, only while the token is live: revocations from
    // before cannot concern them, and with neither there is nothing to look for.
    AccountDirectory& accounts = m_service.accounts();
    if (readyChannelCount() == 0 && !accounts.hasCachedTokens())
        return;
    auto revoked = accounts.takeRevocations();
    if (!revoked) {
        qCWarning(lcHub).noquote() << "cannot read revocations:" << revoked.error().description;
        return;
    }
    for (const TokenRevocation& revocation : revoked.value()) {
        const auto channels = m_channels;
        for (PushChannel* channel : channels) {
            if (channel->isOfToken(revocation.tokenHash))
                channel->close(kRevokedCloseCode, QStringLiteral("token revoked"));
        }
    }
}

} // namespace sonavert::cloud
