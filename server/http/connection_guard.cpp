#include "server/http/connection_guard.h"

#include "server/http/http_refusal.h"
#include "server/http/server_metrics.h"
#include "server/wire/error_json.h"
#include "server/wire/server_error.h"

#include <QTcpSocket>
#include <array>
#include <fcntl.h>

namespace sonavert::cloud {

namespace {

using Verdict = RequestScanner::Verdict;

struct Refusal {
    Verdict verdict;
    int status;
    ServerErrorCode code;
    const char* reason;
    RefusalReason counted;
};

constexpr std::array<Refusal, 3> kRefusals{{
    {Verdict::HeaderTooLarge, 431, ServerErrorCode::LimitExceeded,
     "the request header is too large", RefusalReason::HeaderTooLarge},
    {Verdict::BodyTooLarge, 413, ServerErrorCode::LimitExceeded, "the request body is too large",
     RefusalReason::BodyTooLarge},
    {Verdict::Malformed, 400, ServerErrorCode::BadRequest, "malformed request",
     RefusalReason::Malformed},
}};

// A refused connection gets this long to finish sending and take its answer before it is cut.
constexpr Duration kRefusalLinger = std::chrono::seconds(2);
constexpr Duration kNever = Duration::max();

/// The client's key when `header` (up to its empty line) asks for a version 13 WebSocket on
/// /push; empty otherwise, for anything the HTTP server's own WebSocket side should judge.
QByteArray pushUpgradeKey(const QByteArray& header) {
    const QList<QByteArray> lines = header.split('\n');
    const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
    if (request.size() != 3 || request.at(0) != "GET" || request.at(1) != "/push" ||
        request.at(2) != "HTTP/1.1")
        return {};
    QByteArray key;
    bool isVersion13 = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = lines.at(i).left(colon).trimmed().toLower();
        const QByteArray value = lines.at(i).mid(colon + 1).trimmed();
        if (name == "sec-websocket-key")
            key = value;
        else if (name == "sec-websocket-version")
            isVersion13 = value == "13";
    }
    return isVersion13 && QByteArray::fromBase64(key).size() == 16 ? key : QByteArray();
}

} // namespace

ConnectionGuard::ConnectionGuard(QTcpSocket* socket, QObject* httpServer, const HttpLimits& limits,
                                 Clock& clock)
    : QObject(socket)
    , m_socket(socket)
    , m_httpServer(httpServer)
    , m_limits(limits)
    , m_clock(clock)
    , m_scanner(limits)
    , m_deadline(clock.monotonicNow() + limits.idleTimeout) {}

ConnectionGuard::~ConnectionGuard() {
    if (m_farewell)
        m_farewell();
}

void ConnectionGuard::watchBeforeServer() {
    connect(m_socket, &QTcpSocket::readyRead, this, &ConnectionGuard::beforeServerReads);
}

void ConnectionGuard::watchAfterServer() {
    connect(m_socket, &QTcpSocket::readyRead, this, &ConnectionGuard::afterServerRead);
}

void ConnectionGuard::timeHandshake() {
    m_isHandshaking = true;
    m_deadline = m_clock.monotonicNow() + m_limits.headerTimeout;
}

void ConnectionGuard::endHandshake() {
    m_isHandshaking = false;
    m_deadline = m_clock.monotonicNow() + m_limits.idleTimeout;
}

void ConnectionGuard::beforeServerReads() {
    if (m_isRefused) {
        discardIncoming();
        return;
    }
    if (m_scanner.phase() == RequestScanner::Phase::Upgraded)
        return;
    const qint64 available = m_socket->bytesAvailable();
    const QByteArray unread = m_socket->peek(available);
    const Verdict verdict =
        m_scanner.feed(QByteArrayView(unread).sliced(std::min<qint64>(m_scannedUnread, available)));
    m_scannedUnread = available;
    if (verdict != Verdict::Fine) {
        refuse(verdict);
        return;
    }
    followPhase();
    if (!m_pushHandover || m_scanner.phase() != RequestScanner::Phase::Upgraded)
        return;
    // Only a connection's first request: an earlier one may still be waiting for its answer.
    // An upgrade behind another request would be left to Qt's WebSocket, which takes frames
    // a client did not mask, so it is refused.
    if (m_scanner.completedRequests() == 0)
        handOverPush(unread);
    else
        refuse(Verdict::Malformed);
}

void ConnectionGuard::handOverPush(const QByteArray& unread) {
    const qsizetype end = unread.indexOf("\r\n\r\n");
    const QByteArray key = end < 0 ? QByteArray() : pushUpgradeKey(unread.left(end));
    if (key.isEmpty())
        return;
    // Closing the socket closes only its own descriptor: the duplicate keeps the connection.
    const int descriptor =
        fcntl(static_cast<int>(m_socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        return;
    QObject::disconnect(m_socket, &QTcpSocket::readyRead, m_httpServer, nullptr);
    m_farewell = {};
    std::exchange(m_pushHandover, {})(descriptor, key, unread.mid(end + 4));
    m_socket->abort();
}

void ConnectionGuard::afterServerRead() {
    m_scannedUnread = m_socket->bytesAvailable();
}

void ConnectionGuard::followPhase() {
    const auto phase = m_scanner.phase();
    if (phase == m_timedPhase && m_scanner.completedRequests() == m_timedRequests)
        return;
    m_timedPhase = phase;
    m_timedRequests = m_scanner.completedRequests();
    const Duration now = m_clock.monotonicNow();
    switch (phase) {
    case RequestScanner::Phase::Idle:
        m_deadline = now + m_limits.idleTimeout;
        break;
    case RequestScanner::Phase::Header:
        m_deadline = now + m_limits.headerTimeout;
        break;
    case RequestScanner::Phase::Body:
        m_deadline = now + m_limits.bodyTimeout;
        break;
    case RequestScanner::Phase::Upgraded:
        // A push channel: frames are bounded by the WebSocket, so the buffer need not hold a
        // whole request body any more.
        m_deadline = kNever;
        m_socket->setReadBufferSize(m_limits.upgradedReadBufferBytes);
        break;
    }
}

void ConnectionGuard::refuse(Verdict verdict) {
    m_isRefused = true;
    // The HTTP server must not see this request at all: it would buffer it and answer 401.
    QObject::disconnect(m_socket, &QTcpSocket::readyRead, m_httpServer, nullptr);
    discardIncoming();
    for (const Refusal& refusal : kRefusals) {
        if (refusal.verdict == verdict) {
            const Error error = cloudError(refusal.code, QString::fromLatin1(refusal.reason));
            m_socket->write(refusalResponse(refusal.status, errorToJson(error)));
            if (m_metrics)
                m_metrics->countRefusal(refusal.counted);
        }
    }
    // Closing now, with the client still sending, would reset the connection and lose the
    // answer: what still comes is dropped unread until the client closes or time runs out.
    m_deadline = m_clock.monotonicNow() + kRefusalLinger;
}

void ConnectionGuard::discardIncoming() {
    if (m_socket->isTransactionStarted())
        m_socket->commitTransaction();
    m_socket->skip(m_socket->bytesAvailable());
}

void ConnectionGuard::checkDeadline(Duration now) {
    if (now < m_deadline || m_socket->state() == QAbstractSocket::UnconnectedState)
        return;
    m_deadline = kNever;
    // An idle client that reads its answers leaves cleanly; anyone else is cut off.
    // A TLS socket asked to close mid-handshake would wait for the handshake to end first.
    const bool isCleanIdle = !m_isRefused && !m_isHandshaking &&
                             m_scanner.phase() == RequestScanner::Phase::Idle &&
                             m_socket->bytesToWrite() == 0;
    if (isCleanIdle)
        m_socket->disconnectFromHost();
    else
        m_socket->abort();
    // A request that ran out of time, not a refused one lingering or an idle one let go.
    if (m_metrics && !isCleanIdle && !m_isRefused)
        m_metrics->countRefusal(RefusalReason::TimedOut);
}

} // namespace sonavert::cloud
