#include "tests/server/raw_connection.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTimer>
#include <unistd.h>

namespace sonavert::cloud::testing {

namespace {

// Only a guard against a broken server hanging the suite; events come in milliseconds.
constexpr int kGuardMs = 10000;
constexpr char kHeaderEnd[] = "\r\n\r\n";

} // namespace

RawConnection::RawConnection(const QUrl& server, const QHostAddress& from,
                             const std::optional<QSslConfiguration>& tls) {
    QObject::connect(&m_socket, &QTcpSocket::readyRead,
                     [this] { m_received += m_socket.readAll(); });
    if (!from.isNull())
        m_socket.bind(from);
    const auto port = static_cast<quint16>(server.port());
    if (tls) {
        QSignalSpy encrypted(&m_socket, &QSslSocket::encrypted);
        m_socket.setSslConfiguration(*tls);
        m_socket.connectToHostEncrypted(server.host(), port);
        encrypted.wait(kGuardMs);
        return;
    }
    QSignalSpy connected(&m_socket, &QTcpSocket::connected);
    m_socket.connectToHost(QHostAddress(server.host()), port);
    connected.wait(kGuardMs);
}

void RawConnection::send(const QByteArray& bytes) {
    QSignalSpy written(&m_socket, &QTcpSocket::bytesWritten);
    m_socket.write(bytes);
    while (m_socket.bytesToWrite() > 0 && isConnected() && written.wait(kGuardMs)) {
    }
}

bool RawConnection::isCutOffWhileFlooding(const QByteArray& prefix, const QByteArray& filler,
                                          qint64 most) {
    qint64 sent = prefix.size();
    m_socket.write(prefix);
    QEventLoop loop;
    auto more = [&] {
        if (!m_received.isEmpty() || !isConnected() || sent >= most) {
            loop.quit();
            return;
        }
        // Over TLS the written bytes wait encrypted in a buffer of their own.
        if (m_socket.bytesToWrite() == 0 && m_socket.encryptedBytesToWrite() == 0) {
            m_socket.write(filler);
            sent += filler.size();
        }
    };
    QObject::connect(&m_socket, &QTcpSocket::bytesWritten, &loop, more);
    QObject::connect(&m_socket, &QSslSocket::encryptedBytesWritten, &loop, more);
    QObject::connect(&m_socket, &QTcpSocket::readyRead, &loop, more);
    QObject::connect(&m_socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(kGuardMs * 3, &loop, &QEventLoop::quit);
    more();
    if (m_received.isEmpty() && isConnected() && sent < most)
        loop.exec();
    if (sent >= most)
        qWarning() << "still taken after" << sent << "bytes";
    return sent < most;
}

bool RawConnection::awaitArrival(const std::function<bool()>& isEnough) {
    QSignalSpy arrived(&m_socket, &QTcpSocket::readyRead);
    while (!isEnough() && isConnected() && arrived.wait(kGuardMs)) {
    }
    return isEnough();
}

bool RawConnection::hasWholeAnswer() const {
    const qsizetype headerEnd = m_received.indexOf(kHeaderEnd);
    if (headerEnd < 0)
        return false;
    const QByteArray header = m_received.left(headerEnd).toLower();
    const qsizetype at = header.indexOf("content-length:");
    if (at < 0)
        return true;
    const qsizetype lineEnd = header.indexOf('\r', at);
    const qint64 length = header.mid(at + 15, lineEnd - at - 15).trimmed().toLongLong();
    return m_received.size() - headerEnd - 4 >= length;
}

int RawConnection::awaitStatus() {
    awaitArrival([this] { return hasWholeAnswer(); });
    if (!m_received.startsWith("HTTP/1.1 "))
        return 0;
    return m_received.mid(9, 3).toInt();
}

QString RawConnection::answerErrorCode() const {
    const QByteArray body = m_received.mid(m_received.indexOf(kHeaderEnd) + 4);
    return QJsonDocument::fromJson(body)
        .object()
        .value(QLatin1String("serverErrorCode"))
        .toString();
}

bool RawConnection::waitForClose() {
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return true;
    QSignalSpy closed(&m_socket, &QTcpSocket::disconnected);
    return closed.wait(kGuardMs);
}

bool RawConnection::awaitReceived(const QByteArray& needle) {
    return awaitArrival([&] { return m_received.contains(needle); });
}

void RawConnection::resumeReading() {
    m_socket.setReadBufferSize(0);
    QObject::connect(&m_socket, &QTcpSocket::readyRead,
                     [this] { m_received += m_socket.readAll(); });
    m_received += m_socket.readAll();
}

void RawConnection::stopReading() {
    QObject::disconnect(&m_socket, &QTcpSocket::readyRead, nullptr, nullptr);
    m_socket.setReadBufferSize(1);
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
}

QByteArray RawConnection::upgradeRequest() {
    return "GET /push HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

bool RawConnection::upgradeToWebSocket() {
    send(upgradeRequest());
    awaitArrival([this] { return m_received.contains(kHeaderEnd); });
    const bool isUpgraded = m_received.startsWith("HTTP/1.1 101");
    m_received.remove(0, m_received.indexOf(kHeaderEnd) + 4);
    return isUpgraded;
}

QByteArray RawConnection::frameHeader(int opcode, bool isFinal, quint64 length) {
    // Lengths past 125 follow in two or eight bytes, big-endian, announced by 126 or 127.
    const int extra = length < 126 ? 0 : length <= 0xffff ? 2 : 8;
    QByteArray header;
    header.append(static_cast<char>((isFinal ? 0x80 : 0) | opcode));
    header.append(static_cast<char>(0x80 | (extra == 0 ? length : extra == 2 ? 126 : 127)));
    for (int i = extra - 1; i >= 0; --i)
        header.append(static_cast<char>(length >> (8 * i)));
    // A zero mask leaves the payload as it is: the server unmasks it all the same.
    return header + QByteArray(4, '\0');
}

QByteArray RawConnection::frame(int opcode, bool isFinal, const QByteArray& payload) {
    return frameHeader(opcode, isFinal, static_cast<quint64>(payload.size())) + payload;
}

QByteArray RawConnection::databaseCall(const QString& token, const QByteArray& operation,
                                       const QByteArray& extraHeaders, const QByteArray& body) {
    return "POST /database/1/iCloud.test.container/production/private/" + operation +
           " HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " + token.toLatin1() +
           "\r\nContent-Type: application/json\r\n" + extraHeaders +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

int RawConnection::statusOf(const QUrl& server, const QByteArray& request,
                            const QHostAddress& from) {
    RawConnection connection(server, from);
    connection.send(request);
    return connection.awaitStatus();
}

qint64 residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> pages = statm.readAll().split(' ');
    return pages.size() > 1 ? pages.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

bool grewLessThan(qint64 before, qint64 most) {
#if defined(__SANITIZE_ADDRESS__)
    Q_UNUSED(before);
    Q_UNUSED(most);
    return true;
#else
    const qint64 grown = residentBytes() - before;
    if (grown >= most)
        qWarning() << "resident memory grew by" << grown << "bytes";
    return grown < most;
#endif
}

} // namespace sonavert::cloud::testing
