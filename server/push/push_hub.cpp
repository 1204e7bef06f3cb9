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
    // Only the channels of the accounts concerned are visited, each account's notifications in
    // the order given: a save of one account costs nothing for the thousands of channels of
    // the others.
    QList<qint64> accounts;
    for (const PushNotification& notification : notifications)
        if (!accounts.contains(notification.accountId))
            accounts.append(notification.accountId);
    // Counted over every channel only when one is behind already.
    std::optional<qint64> held;
    for (const qint64 accountId : accounts) {
        const auto found = m_byAccount.constFind(accountId);
        if (found == m_byAccount.constEnd())
            continue;
        // Closing reports back and may take a channel off the list: walk a snapshot.
        const std::vector<PushChannel*> channels(found.value().begin(), found.value().end());
        for (PushChannel* channel : channels) {
            const qint64 before = channel->queuedBytes();
            // Each channel's queue is bounded, but thousands of them full at once are not:
            // past the bound for all, only channels that keep up get more.
            if (before > 0) {
                if (!held)
                    held = queuedBytes();
                if (*held > m_limits.maxQueuedBytesInTotal) {
                    channel->close(kSlowConsumerCloseCode, QStringLiteral("send queue full"));
                    continue;
                }
            }
            for (const PushNotification& notification : notifications)
                if (notification.accountId == accountId)
                    m_notificationsSent += channel->deliver(notification) ? 1 : 0;
            if (held)
                *held += channel->queuedBytes() - before;
        }
    }
}

qint64 PushHub::queuedBytes() const {
    qint64 total = 0;
    for (const PushChannel* channel : m_channels)
        total += channel->queuedBytes();
    return total;
}

void PushHub::reset(qint64 accountId, qint64 lastId) {
    const auto found = m_byAccount.constFind(accountId);
    if (found == m_byAccount.constEnd())
        return;
    // A channel whose queue is full closes, and may leave the list: walk a snapshot.
    const std::vector<PushChannel*> channels(found.value().begin(), found.value().end());
    for (PushChannel* channel : channels)
        channel->reset(lastId);
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
    const std::vector<PushChannel*> channels = m_byAccount.value(accountId);
    return static_cast<int>(
        std::count_if(channels.begin(), channels.end(), [](auto* c) { return c->isLive(); }));
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
    std::vector<PushChannel*>& ofAccount = m_byAccount[scope.value().accountId];
    ofAccount.push_back(channel);
    // Channels being closed stay listed until they are gone, and count no more.
    const auto isLive = [](const PushChannel* each) { return each->isLive(); };
    if (std::count_if(ofAccount.begin(), ofAccount.end(), isLive) >
        m_limits.maxChannelsPerAccount) {
        PushChannel* oldest = *std::find_if(ofAccount.begin(), ofAccount.end(), isLive);
        oldest->close(kTooManyChannelsCloseCode, QStringLiteral("too many channels"));
    }
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
    if (m_channels.erase(channel) == 0)
        return;
    if (const auto accountId = channel->accountId()) {
        auto found = m_byAccount.find(*accountId);
        if (found != m_byAccount.end()) {
            std::erase(found.value(), channel);
            if (found.value().empty())
                m_byAccount.erase(found);
        }
    }
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
