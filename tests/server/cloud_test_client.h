#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QUrl>
#include <optional>

namespace sonavert::cloud::testing {

/// The serverErrorCode of an answer's item; empty when it has none.
inline QString errorOf(const QJsonObject& item) {
    return item.value(QLatin1String("serverErrorCode")).toString();
}

/// An HTTP answer: status and JSON body (empty when the body was not JSON).
struct CloudReply {
    int status = 0;
    QJsonObject body;
    QByteArray retryAfter;

    QJsonArray list(const char* key) const { return body.value(QLatin1String(key)).toArray(); }
    QJsonObject item(const char* key, qsizetype index) const {
        return list(key).at(index).toObject();
    }
    QString errorCode() const { return errorOf(body); }
    /// Status and error code together, as "413 LIMIT_EXCEEDED": what a refusal is checked by.
    QString refusal() const { return QString::number(status) + QLatin1Char(' ') + errorCode(); }
};

/// Typed calls of the cloud protocol for tests, each awaited as a network reply.
class CloudTestClient {
public:
    CloudTestClient(QUrl base, QString token, QString container = "iCloud.test.container",
                    QString environment = "production");

    CloudReply call(const QString& operation, const QJsonObject& body);
    /// Posts raw bytes, for malformed and oversized bodies.
    CloudReply post(const QString& operation, const QByteArray& body);

    /// Exchanges a pairing code for a device token: a call made without a token.
    CloudReply claimPairingCode(const QString& code, const QString& deviceName);
    /// The server's first-run call, with extra request headers (a proxy's, say).
    CloudReply createFirstAccount(const QJsonObject& body,
                                  const QList<std::pair<QByteArray, QByteArray>>& headers = {});

    CloudReply modifyRecords(const QJsonArray& operations, const QString& zone = {});
    CloudReply lookup(const QStringList& names, std::optional<QStringList> desiredKeys = {},
                      const QString& zone = {});
    CloudReply changes(const QString& zone, const std::optional<QString>& token = {},
                       std::optional<int> limit = {});
    CloudReply modifyZones(const QString& operationType, const QStringList& zones);
    CloudReply modifySubscriptions(const QString& operationType, const QJsonObject& subscription);
    CloudReply lookupSubscriptions(const QStringList& ids);

    /// Starts a call without awaiting its answer, for calls that race each other; the reply
    /// goes with this client.
    QNetworkReply* startCall(const QString& operation, const QJsonObject& body);
    QNetworkReply* startFirstAccount(const QJsonObject& body);

private:
    QNetworkReply* start(const QString& path, const QByteArray& body,
                         const QList<std::pair<QByteArray, QByteArray>>& headers = {});
    CloudReply send(const QString& path, const QByteArray& body,
                    const QList<std::pair<QByteArray, QByteArray>>& headers = {});

    QNetworkAccessManager m_network;
    QUrl m_base;
    QString m_token;
    QString m_container;
    QString m_environment;
};

/// The status of a started call once answered; 0 when no answer came.
int awaitStatus(QNetworkReply* reply, int guardMs = 10000);

/// Builders of request pieces.
namespace wire {
QJsonObject stringField(const QString& value);
QJsonObject intField(qint64 value);
QJsonObject removedField();
QJsonObject save(const QString& operationType, const QString& name, const QString& type,
                 const QJsonObject& fields);
QJsonObject replace(const QString& name, const QString& type, const QJsonObject& fields);
QJsonObject update(const QString& name, const QString& type, const QJsonObject& fields);
QJsonObject deletion(const QString& name);
QJsonObject zoneID(const QString& name);
/// A query subscription on `recordType`, filtered by field equality, firing on `firesOn`.
QJsonObject subscription(const QString& id, const QString& recordType,
                         const QJsonObject& equalFields,
                         const QStringList& firesOn = {"create", "update", "delete"});
} // namespace wire

} // namespace sonavert::cloud::testing
