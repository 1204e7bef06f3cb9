#include "server/push/push_channel.h"

#include <QJsonDocument>
#include <QWebSocket>

namespace sonavert::cloud {

PushChannel::PushChannel(std::unique_ptr<QWebSocket> socket, Clock& clock, QObject* parent)
    : QObject(parent)
    , m_socket(std::move(socket))
    , m_clock(clock)
    , m_openedAt(clock.monotonicNow())
    , m_lastHeard(m_openedAt) {
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, [this](const QString& text) {
        heard();
        Q_EMIT messageReceived(this, text);
    });
    connect(m_socket.get(), &QWebSocket::pong, this, [this] { heard(); });
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, [this] { heard(); });
    connect(m_socket.get(), &QWebSocket::disconnected, this, [this] {
        m_isClosed = true;
        Q_EMIT closed(this);
    });
}

PushChannel::~PushChannel() {
    m_socket->disconnect(this);
    m_socket->abort();
}

bool PushChannel::isOfAccount(qint64 accountId) const {
    return m_scope && !m_isClosed && m_scope->accountId == accountId;
}

void PushChannel::becomeReady(const DatabaseScope& scope, qint64 lastId) {
    m_scope = scope;
    m_lastSentId = lastId;
}

void PushChannel::deliver(const PushNotification& notification) {
    if (!isOfAccount(notification.accountId) || notification.id <= m_lastSentId)
        return;
    // Ids count across the account's containers: one skipped here is another database's.
    m_lastSentId = notification.id;
    if (m_scope->container == notification.container &&
        m_scope->environment == notification.environment)
        send(notification.body);
}

void PushChannel::reset(qint64 lastId) {
    if (!isReady() || lastId <= m_lastSentId)
        return;
    m_lastSentId = lastId;
    send({{QStringLiteral("reset"), true}});
}

void PushChannel::send(const QJsonObject& message) {
    if (!m_isClosed)
        m_socket->sendTextMessage(
            QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void PushChannel::refuse(const QJsonObject& error) {
    send(error);
    m_socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                    error.value(QLatin1String("serverErrorCode")).toString());
}

void PushChannel::close() {
    if (!m_isClosed)
        m_socket->close(QWebSocketProtocol::CloseCodeGoingAway);
}

bool PushChannel::keepAlive(Duration pingAfter, Duration closeAfter) {
    if (m_isClosed)
        return false;
    // Until it greets, a channel's pongs do not count: it must authenticate in time.
    const Duration silence = m_clock.monotonicNow() - (isReady() ? m_lastHeard : m_openedAt);
    if (silence >= closeAfter) {
        m_socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("silent"));
        return false;
    }
    if (silence >= pingAfter)
        m_socket->ping();
    return true;
}

void PushChannel::heard() {
    m_lastHeard = m_clock.monotonicNow();
}

} // namespace sonavert::cloud
