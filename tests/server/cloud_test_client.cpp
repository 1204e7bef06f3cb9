#include "tests/server/cloud_test_client.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace sonavert::cloud::testing {

CloudTestClient::CloudTestClient(QUrl base, QString token, QString container, QString environment)
    : m_base(std::move(base))
    , m_token(std::move(token))
    , m_container(std::move(container))
    , m_environment(std::move(environment)) {}

CloudReply CloudTestClient::call(const QString& operation, const QJsonObject& body) {
    return post(operation, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

CloudReply CloudTestClient::post(const QString& operation, const QByteArray& body) {
    return send(u"/database/1/%1/%2/private/%3"_s.arg(m_container, m_environment, operation), body);
}

CloudReply CloudTestClient::claimPairingCode(const QString& code, const QString& deviceName) {
    const QJsonObject body{{u"code"_s, code}, {u"deviceName"_s, deviceName}};
    return send(u"/pairing/1/claim"_s, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

CloudReply
CloudTestClient::createFirstAccount(const QJsonObject& body,
                                    const QList<std::pair<QByteArray, QByteArray>>& headers) {
    return send(u"/setup/1/first-account"_s, QJsonDocument(body).toJson(QJsonDocument::Compact),
                headers);
}

QNetworkReply* CloudTestClient::startCall(const QString& operation, const QJsonObject& body) {
    return start(u"/database/1/%1/%2/private/%3"_s.arg(m_container, m_environment, operation),
                 QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QNetworkReply* CloudTestClient::startFirstAccount(const QJsonObject& body) {
    return start(u"/setup/1/first-account"_s, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QNetworkReply* CloudTestClient::start(const QString& path, const QByteArray& body,
                                      const QList<std::pair<QByteArray, QByteArray>>& headers) {
    QUrl url = m_base;
    url.setPath(path);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    return m_network.post(request, body);
}

CloudReply CloudTestClient::send(const QString& path, const QByteArray& body,
                                 const QList<std::pair<QByteArray, QByteArray>>& headers) {
    std::unique_ptr<QNetworkReply> reply(start(path, body, headers));
    const int status = awaitStatus(reply.get());
    if (status == 0)
        return {};
    return CloudReply{status, QJsonDocument::fromJson(reply->readAll()).object(),
                      reply->rawHeader("Retry-After")};
}

int awaitStatus(QNetworkReply* reply, int guardMs) {
    QSignalSpy finished(reply, &QNetworkReply::finished);
    // The bound only stops a broken server from hanging the suite; replies come in milliseconds.
    if (!reply->isFinished() && !finished.wait(guardMs))
        return 0;
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

CloudReply CloudTestClient::modifyRecords(const QJsonArray& operations, const QString& zone) {
    QJsonObject body{{u"operations"_s, operations}};
    if (!zone.isEmpty())
        body.insert(u"zoneID"_s, wire::zoneID(zone));
    return call(u"records/modify"_s, body);
}

CloudReply CloudTestClient::lookup(const QStringList& names, std::optional<QStringList> desiredKeys,
                                   const QString& zone) {
    QJsonArray records;
    for (const QString& name : names)
        records.append(QJsonObject{{u"recordName"_s, name}});
    QJsonObject body{{u"records"_s, records}};
    if (desiredKeys)
        body.insert(u"desiredKeys"_s, QJsonArray::fromStringList(*desiredKeys));
    if (!zone.isEmpty())
        body.insert(u"zoneID"_s, wire::zoneID(zone));
    return call(u"records/lookup"_s, body);
}

CloudReply CloudTestClient::changes(const QString& zone, const std::optional<QString>& token,
                                    std::optional<int> limit) {
    QJsonObject request{{u"zoneID"_s, wire::zoneID(zone)}};
    if (token)
        request.insert(u"syncToken"_s, *token);
    if (limit)
        request.insert(u"resultsLimit"_s, *limit);
    return call(u"changes/zone"_s, {{u"zones"_s, QJsonArray{request}}});
}

CloudReply CloudTestClient::modifyZones(const QString& operationType, const QStringList& zones) {
    QJsonArray operations;
    for (const QString& zone : zones) {
        operations.append(QJsonObject{{u"operationType"_s, operationType},
                                      {u"zone"_s, QJsonObject{{u"zoneID"_s, wire::zoneID(zone)}}}});
    }
    return call(u"zones/modify"_s, {{u"operations"_s, operations}});
}

CloudReply CloudTestClient::modifySubscriptions(const QString& operationType,
                                                const QJsonObject& subscription) {
    const QJsonObject operation{{u"operationType"_s, operationType},
                                {u"subscription"_s, subscription}};
    return call(u"subscriptions/modify"_s, {{u"operations"_s, QJsonArray{operation}}});
}

CloudReply CloudTestClient::lookupSubscriptions(const QStringList& ids) {
    QJsonArray items;
    for (const QString& id : ids)
        items.append(QJsonObject{{u"subscriptionID"_s, id}});
    return call(u"subscriptions/lookup"_s, {{u"subscriptions"_s, items}});
}

namespace wire {

QJsonObject stringField(const QString& value) {
    return {{u"type"_s, u"STRING"_s}, {u"value"_s, value}};
}

QJsonObject intField(qint64 value) {
    return {{u"type"_s, u"INT64"_s}, {u"value"_s, value}};
}

QJsonObject removedField() {
    return {{u"value"_s, QJsonValue::Null}};
}

QJsonObject save(const QString& operationType, const QString& name, const QString& type,
                 const QJsonObject& fields) {
    return {{u"operationType"_s, operationType},
            {u"record"_s,
             QJsonObject{{u"recordName"_s, name}, {u"recordType"_s, type}, {u"fields"_s, fields}}}};
}

QJsonObject replace(const QString& name, const QString& type, const QJsonObject& fields) {
    return save(u"forceReplace"_s, name, type, fields);
}

QJsonObject update(const QString& name, const QString& type, const QJsonObject& fields) {
    return save(u"forceUpdate"_s, name, type, fields);
}

QJsonObject deletion(const QString& name) {
    return {{u"operationType"_s, u"forceDelete"_s},
            {u"record"_s, QJsonObject{{u"recordName"_s, name}}}};
}

QJsonObject zoneID(const QString& name) {
    return {{u"zoneName"_s, name}};
}

QJsonObject subscription(const QString& id, const QString& recordType,
                         const QJsonObject& equalFields, const QStringList& firesOn) {
    QJsonArray filters;
    for (auto it = equalFields.begin(); it != equalFields.end(); ++it) {
        filters.append(QJsonObject{{u"fieldName"_s, it.key()},
                                   {u"comparator"_s, u"EQUALS"_s},
                                   {u"fieldValue"_s, it.value()}});
    }
    return {{u"subscriptionID"_s, id},
            {u"subscriptionType"_s, u"query"_s},
            {u"query"_s, QJsonObject{{u"recordType"_s, recordType}, {u"filterBy"_s, filters}}},
            {u"firesOn"_s, QJsonArray::fromStringList(firesOn)},
            {u"notificationInfo"_s, QJsonObject{{u"shouldSendContentAvailable"_s, true}}}};
}

} // namespace wire

} // namespace sonavert::cloud::testing
