#include "tests/server/push_test_client.h"

#include <QJsonDocument>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace sonavert::cloud::testing {

namespace {
// Only a guard against a broken server hanging the suite; events come in milliseconds.
constexpr int kPushGuardMs = 10000;
} // namespace

PushTestClient::PushTestClient(QUrl serverUrl)
    : m_url(std::move(serverUrl)) {
    m_url.setScheme(u"ws"_s);
    m_url.setPath(u"/push"_s);
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
        m_received.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });
}

bool PushTestClient::connectOnly() {
    QSignalSpy connected(&m_socket, &QWebSocket::connected);
    m_socket.open(m_url);
    return connected.wait(kPushGuardMs);
}

QJsonObject PushTestClient::open(const QString& token, std::optional<qint64> since,
                                 const QString& container, const QString& environment) {
    if (!connectOnly())
        return {};
    QJsonObject hello{
        {u"token"_s, token}, {u"container"_s, container}, {u"environment"_s, environment}};
    if (since)
        hello.insert(u"since"_s, *since);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(hello).toJson()));
    return next();
}

QJsonObject PushTestClient::next() {
    if (m_received.isEmpty() && isConnected()) {
        QSignalSpy arrived(&m_socket, &QWebSocket::textMessageReceived);
        arrived.wait(kPushGuardMs);
    }
    return m_received.isEmpty() ? QJsonObject{} : m_received.takeFirst();
}

bool PushTestClient::waitForClose() {
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return true;
    QSignalSpy closed(&m_socket, &QWebSocket::disconnected);
    return closed.wait(kPushGuardMs);
}

void PushTestClient::close() {
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return;
    QSignalSpy closed(&m_socket, &QWebSocket::disconnected);
    m_socket.close();
    // The disconnection may already have been reported inside close().
    if (closed.isEmpty())
        closed.wait(kPushGuardMs);
}

} // namespace sonavert::cloud::testing
