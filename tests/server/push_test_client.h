#pragma once

#include <QJsonObject>
#include <QList>
#include <QUrl>
#include <QWebSocket>
#include <optional>

namespace sonavert::cloud::testing {

/// A push channel client for tests: connects, greets, and hands out messages in arrival order,
/// waiting for the next one as an event.
class PushTestClient {
public:
    explicit PushTestClient(QUrl serverUrl);

    /// Connects and sends the greeting; gives the server's first answer (ready or an error).
    QJsonObject open(const QString& token, std::optional<qint64> since = {},
                     const QString& container = "iCloud.test.container",
                     const QString& environment = "production");
    /// Connects without greeting.
    bool connectOnly();
    /// The next message; an empty object when none arrives or the channel closed.
    QJsonObject next();
    /// Waits until the server has closed the channel.
    bool waitForClose();
    void close();
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    /// The code the server closed the channel with.
    int closeCode() const { return m_socket.closeCode(); }

private:
    QUrl m_url;
    QWebSocket m_socket;
    QList<QJsonObject> m_received;
};

} // namespace sonavert::cloud::testing
