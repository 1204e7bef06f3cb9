#include "src/clouddb/web_socket_push_channel.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

namespace sonavert::clouddb {

namespace {
// The server closes a revoked token's channel with this code.
constexpr int kRevokedCloseCode = 4003;

QUrl pushUrl(QUrl server) {
    server.setScheme(server.scheme() == QLatin1String("https") ? QStringLiteral("wss")
                                                               : QStringLiteral("ws"));
    server.setPath(QStringLiteral("/push"));
    return server;
}
} // namespace

WebSocketPushChannel::WebSocketPushChannel(CloudEndpoint endpoint, std::shared_ptr<Clock> clock,
                                           QObject* parent)
    : WebSocketPushChannel(std::make_shared<CloudEndpointSource>(std::move(endpoint)),
                           std::move(clock), parent) {}

WebSocketPushChannel::WebSocketPushChannel(std::shared_ptr<CloudEndpointSource> endpoints,
                                           std::shared_ptr<Clock> clock, QObject* parent)
    : PushChannel(parent)
    , m_endpoints(std::move(endpoints))
    , m_clock(std::move(clock)) {
    connect(m_endpoints.get(), &CloudEndpointSource::changed, this,
            &WebSocketPushChannel::onEndpointChanged);
}

WebSocketPushChannel::~WebSocketPushChannel() {
    m_shouldRun = false;
    cancelTimers();
    if (m_socket)
        m_socket->disconnect(this);
}

void WebSocketPushChannel::open() {
    if (m_shouldRun)
        return;
    m_shouldRun = true;
    m_retryDelay = kFirstRetryDelay;
    connectSocket();
}

void WebSocketPushChannel::close() {
    m_shouldRun = false;
    cancelTimers();
    if (m_socket)
        m_socket->close();
}

void WebSocketPushChannel::cancelTimers() {
    m_clock->cancelScheduled(m_reconnectTimer);
    m_clock->cancelScheduled(m_heartbeatTimer);
    m_reconnectTimer = m_heartbeatTimer = 0;
}

void WebSocketPushChannel::onEndpointChanged() {
    // Another account (or none): what was missed on the old one means nothing on the new.
    m_lastID = 0;
    m_retryDelay = kFirstRetryDelay;
    m_clock->cancelScheduled(m_reconnectTimer);
    m_reconnectTimer = 0;
    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->abort(); // reconnects through onSocketDisconnected when still running
        return;
    }
    if (m_shouldRun)
        connectSocket();
}

void WebSocketPushChannel::onRefused() {
    m_endpoints->reportRejected(m_greetedToken);
}

void WebSocketPushChannel::connectSocket() {
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
    }
    // Signed out: nothing to connect to until an endpoint comes.
    if (!m_endpoints->current())
        return;
    m_socket = std::make_unique<QWebSocket>();
    connect(m_socket.get(), &QWebSocket::connected, this, &WebSocketPushChannel::onSocketConnected);
    // A refused connection never was connected, so "disconnected" is not sent for it; the
    // state change covers both.
    connect(m_socket.get(), &QWebSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::UnconnectedState)
                    onSocketDisconnected();
            });
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this,
            &WebSocketPushChannel::onMessage);
    connect(m_socket.get(), &QWebSocket::pong, this,
            [this] { m_lastHeard = m_clock->monotonicNow(); });
    connect(m_socket.get(), &QWebSocket::sslErrors, this,
            &WebSocketPushChannel::onCertificateErrors);
    m_certificateErrors.clear();
    m_greetedToken = m_endpoints->current()->token;
    m_socket->setSslConfiguration(m_endpoints->current()->trust->configuration());
    m_socket->open(pushUrl(m_endpoints->current()->server));
}

void WebSocketPushChannel::onSocketConnected() {
    const auto& endpoint = m_endpoints->current();
    if (!endpoint || endpoint->token != m_greetedToken) {
        m_socket->abort();
        return;
    }
    QJsonObject greeting{{QStringLiteral("token"), endpoint->token},
                         {QStringLiteral("container"), endpoint->container},
                         {QStringLiteral("environment"), endpoint->environment}};
    if (m_lastID > 0)
        greeting.insert(QStringLiteral("since"), m_lastID);
    m_socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(greeting).toJson(QJsonDocument::Compact)));
    m_lastHeard = m_clock->monotonicNow();
    scheduleHeartbeat();
}

void WebSocketPushChannel::onSocketDisconnected() {
    const bool wasReady = m_isReady;
    m_isReady = false;
    m_clock->cancelScheduled(m_heartbeatTimer);
    m_heartbeatTimer = 0;
    const QString reason = m_socket ? m_socket->closeReason() : QString();
    if (!m_certificateErrors.isEmpty() && m_endpoints->current())
        (void)m_endpoints->current()->trust->refuse(m_endpoints->current()->server.host(),
                                                    m_certificateErrors);
    m_certificateErrors.clear();
    if (m_socket && static_cast<int>(m_socket->closeCode()) == kRevokedCloseCode)
        onRefused();
    if (wasReady)
        Q_EMIT disconnected(reason.isEmpty() ? QStringLiteral("connection lost") : reason);
    if (m_shouldRun)
        scheduleReconnect();
}

void WebSocketPushChannel::onCertificateErrors(const QList<QSslError>& errors) {
    // The server's own certificate, which the invitation named, needs no authority.
    const auto& endpoint = m_endpoints->current();
    if (endpoint && endpoint->trust->isPinned(m_socket->sslConfiguration().peerCertificate())) {
        m_socket->ignoreSslErrors(errors);
        return;
    }
    // Not ignored, they end the handshake: the socket closes and reconnects later as after any
    // loss, so a certificate nobody fixes costs one attempt per back-off step.
    m_certificateErrors = errors;
}

void WebSocketPushChannel::onMessage(const QString& text) {
    m_lastHeard = m_clock->monotonicNow();
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    if (message.value(QStringLiteral("ready")).toBool()) {
        m_isReady = true;
        if (const auto& endpoint = m_endpoints->current();
            endpoint && endpoint->server.scheme() == QLatin1String("https"))
            endpoint->trust->noteTrusted();
        m_retryDelay = kFirstRetryDelay;
        Q_EMIT connected();
        return;
    }
    if (message.value(QStringLiteral("serverErrorCode")).toString() ==
        QLatin1String("AUTHENTICATION_REQUIRED")) {
        onRefused();
        return;
    }
    if (message.value(QStringLiteral("reset")).toBool()) {
        Q_EMIT resetRequired();
        return;
    }
    if (!message.value(QStringLiteral("id")).isDouble())
        return;
    const PushNotification notification{
        static_cast<qint64>(message.value(QStringLiteral("id")).toDouble()),
        message.value(QStringLiteral("subscriptionID")).toString(),
        message.value(QStringLiteral("zoneID"))
            .toObject()
            .value(QStringLiteral("zoneName"))
            .toString(),
        message.value(QStringLiteral("recordName")).toString(),
        message.value(QStringLiteral("reason")).toString()};
    if (notification.id <= m_lastID)
        return;
    m_lastID = notification.id;
    Q_EMIT notificationReceived(notification);
}

void WebSocketPushChannel::scheduleReconnect() {
    m_clock->cancelScheduled(m_reconnectTimer);
    const Duration delay = m_retryDelay;
    m_retryDelay = std::min(m_retryDelay * 2, kLongestRetryDelay);
    // The destructor cancels both timers: neither call outlives the channel.
    m_reconnectTimer = m_clock->schedule(delay, [this] {
        if (m_shouldRun)
            connectSocket();
    });
}

void WebSocketPushChannel::scheduleHeartbeat() {
    m_heartbeatTimer = m_clock->schedule(kPingInterval, [this] {
        if (!m_socket)
            return;
        if (m_clock->monotonicNow() - m_lastHeard >= kSilenceLimit) {
            // Silent too long: the connection is dead even if the socket has not noticed.
            m_socket->abort();
            return;
        }
        m_socket->ping();
        scheduleHeartbeat();
    });
}

} // namespace sonavert::clouddb
