#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace sonavert::test {

/// A loopback TCP relay that keeps a copy of every byte it passes, both ways: what anyone on
/// the network between a device and its server would capture.
class RecordingTcpProxy : public QObject {
public:
    RecordingTcpProxy(QHostAddress targetHost, quint16 targetPort)
        : m_targetHost(std::move(targetHost))
        , m_targetPort(targetPort) {
        connect(&m_server, &QTcpServer::newConnection, this, &RecordingTcpProxy::relay);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    /// The proxy's address with the scheme of `server`.
    QUrl url(const QUrl& server) const {
        QUrl url = server;
        url.setPort(m_server.serverPort());
        return url;
    }
    const QByteArray& captured() const { return m_captured; }

private:
    void relay() {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            auto* upstream = new QTcpSocket(client);
            const QPointer<QTcpSocket> guardedClient(client);
            connect(client, &QTcpSocket::readyRead, upstream, [this, client, upstream] {
                const QByteArray bytes = client->readAll();
                m_captured += bytes;
                upstream->write(bytes);
            });
            connect(upstream, &QTcpSocket::readyRead, client, [this, client, upstream] {
                const QByteArray bytes = upstream->readAll();
                m_captured += bytes;
                client->write(bytes);
            });
            connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
            // Queued: the client may be part-way through its own destruction when the upstream
            // goes (it takes its child along), and must not be touched as a socket then.
            connect(
                upstream, &QTcpSocket::disconnected, client,
                [guardedClient] {
                    if (guardedClient)
                        guardedClient->disconnectFromHost();
                },
                Qt::QueuedConnection);
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            // A TCP socket keeps what is written while it connects, and sends it once connected.
            upstream->connectToHost(m_targetHost, m_targetPort);
        }
    }

    QTcpServer m_server;
    QHostAddress m_targetHost;
    quint16 m_targetPort;
    QByteArray m_captured;
};

} // namespace sonavert::test
