#include "server/push/push_channel.h"

#include "server/push/push_socket.h"

#include <QJsonDocument>

namespace sonavert::cloud {

namespace {

// A closed channel's client gets this long to take the close frame before it is cut off.
constexpr Duration kCloseGrace = std::chrono::seconds(2);

} // namespace

PushChannel::PushChannel(std::unique_ptr<PushSocket> socket, Clock& clock, const PushLimits& limits,
                         QObject* parent)
    : QObject(parent)
    , m_socket(std::move(socket))
    , m_clock(clock)
    , m_limits(limits)
    , m_openedAt(clock.monotonicNow())
    , m_lastHeard(m_openedAt)
    , m_lastPinged(m_openedAt) {
    connect(m_socket.get(), &PushSocket::textReceived, this, [this](const QString& text) {
        heard();
        Q_EMIT messageReceived(this, text);
    });
    connect(m_socket.get(), &PushSocket::heard, this, [this] { heard(); });
    connect(m_socket.get(), &PushSocket::disconnected, this, [this] {
        m_isClosed = true;
        Q_EMIT closed(this);
    });
    m_socket->start();
}

PushChannel::~PushChannel() {
    m_socket->disconnect(this);
    m_socket->abort();
}

bool PushChannel::isOfAccount(qint64 accountId) const {
    return isLive() && m_scope->accountId == accountId;
}

bool PushChannel::isOfToken(const QString& tokenHash) const {
    return isLive() && m_tokenHash == tokenHash;
}

void PushChannel::becomeReady(const DatabaseScope& scope, qint64 lastId, const QString& tokenHash) {
    m_scope = scope;
    m_lastSentId = lastId;
    m_tokenHash = tokenHash;
}

bool PushChannel::deliver(const PushNotification& notification) {
    if (!isOfAccount(notification.accountId) || notification.id <= m_lastSentId)
        return false;
    // Ids count across the account's containers: one skipped here is another database's.
    m_lastSentId = notification.id;
    return m_scope->container == notification.container &&
           m_scope->environment == notification.environment && send(notification.body);
}

qint64 PushChannel::queuedBytes() const {
    return m_socket->bytesToWrite();
}

void PushChannel::reset(qint64 lastId) {
    if (!isLive() || lastId <= m_lastSentId)
        return;
    m_lastSentId = lastId;
    send({{QStringLiteral("reset"), true}});
}

bool PushChannel::send(const QJsonObject& message) {
    if (m_isClosed || m_isClosing)
        return false;
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    if (m_socket->bytesToWrite() + text.size() > m_limits.maxQueuedBytes) {
        close(kSlowConsumerCloseCode, QStringLiteral("send queue full"));
        return false;
    }
    m_socket->sendText(text);
    return true;
}

void PushChannel::refuse(const QJsonObject& error) {
    send(error);
    close(kPolicyViolationCloseCode, error.value(QLatin1String("serverErrorCode")).toString());
}

void PushChannel::close(int code, const QString& reason) {
    if (m_isClosed || m_isClosing)
        return;
    m_isClosing = true;
    m_closeDeadline = m_clock.monotonicNow() + kCloseGrace;
    m_socket->close(code, reason);
}

bool PushChannel::keepAlive() {
    if (m_isClosed)
        return false;
    const Duration now = m_clock.monotonicNow();
    if (m_closeDeadline) {
        if (now >= *m_closeDeadline)
            m_socket->abort();
        return !m_isClosed;
    }
    if (!isReady() && now - m_openedAt >= m_limits.greetWithin) {
        close(kGoingAwayCloseCode, QStringLiteral("not greeted"));
        return true;
    }
    // Until it greets, a channel's pongs do not count: it must authenticate in time.
    const Duration silence = now - m_lastHeard;
    if (isReady() && silence >= m_limits.silentFor) {
        close(kGoingAwayCloseCode, QStringLiteral("silent"));
        return true;
    }
    if (silence >= m_limits.pingAfter && now - m_lastPinged >= m_limits.pingAfter) {
        m_lastPinged = now;
        m_socket->ping();
    }
    return true;
}

void PushChannel::heard() {
    m_lastHeard = m_clock.monotonicNow();
}

} // namespace sonavert::cloud
