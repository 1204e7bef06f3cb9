#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <utility>

namespace sonavert::test {

/// A tiny HTTP server on loopback that answers every GET with one canned response. Responses
/// can be held back (`isHolding`) until `release()`, so a test can act while a request is in
/// flight.
class LocalHttpFeed : public QObject {
    Q_OBJECT
public:
    LocalHttpFeed() {
        connect(&m_server, &QTcpServer::newConnection, this, &LocalHttpFeed::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl url(const QString& path = "/appcast.xml") const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    void release() {
        isHolding = false;
        for (const auto& socket : std::exchange(m_held, {}))
            if (socket)
                respond(socket);
    }

    int status = 200;
    QByteArray body;
    bool isHolding = false;
    int requestCount = 0;

Q_SIGNALS:
    void requestReceived();

private:
    void accept() {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        }
    }
    void read(QTcpSocket* socket) {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        m_buffers.remove(socket);
        ++requestCount;
        Q_EMIT requestReceived();
        if (isHolding)
            m_held << QPointer<QTcpSocket>(socket);
        else
            respond(socket);
    }
    void respond(QTcpSocket* socket) {
        socket->write("HTTP/1.1 " + QByteArray::number(status) +
                      (status == 200 ? " OK" : " Error") +
                      "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_held;
};

} // namespace sonavert::test
