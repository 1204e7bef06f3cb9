#include "tests/server/cloud_test_client.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QSignalSpy>

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
    QUrl url = m_base;
    url.setPath(
        QStringLiteral("/database/1/%1/%2/private/%3").arg(m_container, m_environment, operation));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
    std::unique_ptr<QNetworkReply> reply(m_network.post(request, body));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    // The bound only stops a broken server from hanging the suite; replies come in milliseconds.
    if (!reply->isFinished() && !finished.wait(10000))
        return {};
    return CloudReply{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                      QJsonDocument::fromJson(reply->readAll()).object(),
                      reply->rawHeader("Retry-After")};
}

CloudReply CloudTestClient::modifyRecords(const QJsonArray& operations, const QString& zone) {
    QJsonObject body{{QStringLiteral("operations"), operations}};
    if (!zone.isEmpty())
        body.insert(QStringLiteral("zoneID"), wire::zoneID(zone));
    return call(QStringLiteral("records/modify"), body);
}

CloudReply CloudTestClient::lookup(const QStringList& names, std::optional<QStringList> desiredKeys,
                                   const QString& zone) {
    QJsonArray records;
    for (const QString& name : names)
        records.append(QJsonObject{{QStringLiteral("recordName"), name}});
    QJsonObject body{{QStringLiteral("records"), records}};
    if (desiredKeys)
        body.insert(QStringLiteral("desiredKeys"), QJsonArray::fromStringList(*desiredKeys));
    if (!zone.isEmpty())
        body.insert(QStringLiteral("zoneID"), wire::zoneID(zone));
    return call(QStringLiteral("records/lookup"), body);
}

CloudReply CloudTestClient::changes(const QString& zone, const std::optional<QString>& token,
                                    std::optional<int> limit) {
    QJsonObject request{{QStringLiteral("zoneID"), wire::zoneID(zone)}};
    if (token)
        request.insert(QStringLiteral("syncToken"), *token);
    if (limit)
        request.insert(QStringLiteral("resultsLimit"), *limit);
    return call(QStringLiteral("changes/zone"), {{QStringLiteral("zones"), QJsonArray{request}}});
}

CloudReply CloudTestClient::modifyZones(const QString& operationType, const QStringList& zones) {
    QJsonArray operations;
    for (const QString& zone : zones) {
        operations.append(QJsonObject{
            {QStringLiteral("operationType"), operationType},
            {QStringLiteral("zone"), QJsonObject{{QStringLiteral("zoneID"), wire::zoneID(zone)}}}});
    }
    return call(QStringLiteral("zones/modify"), {{QStringLiteral("operations"), operations}});
}

CloudReply CloudTestClient::modifySubscriptions(const QString& operationType,
                                                const QJsonObject& subscription) {
    const QJsonObject operation{{QStringLiteral("operationType"), operationType},
                                {QStringLiteral("subscription"), subscription}};
    return call(QStringLiteral("subscriptions/modify"),
                {{QStringLiteral("operations"), QJsonArray{operation}}});
}

CloudReply CloudTestClient::lookupSubscriptions(const QStringList& ids) {
    QJsonArray items;
    for (const QString& id : ids)
        items.append(QJsonObject{{QStringLiteral("subscriptionID"), id}});
    return call(QStringLiteral("subscriptions/lookup"), {{QStringLiteral("subscriptions"), items}});
}

namespace wire {

QJsonObject stringField(const QString& value) {
    return {{QStringLiteral("type"), QStringLiteral("STRING")}, {QStringLiteral("value"), value}};
}

QJsonObject intField(qint64 value) {
    return {{QStringLiteral("type"), QStringLiteral("INT64")}, {QStringLiteral("value"), value}};
}

QJsonObject removedField() {
    return {{QStringLiteral("value"), QJsonValue::Null}};
}

QJsonObject save(const QString& operationType, const QString& name, const QString& type,
                 const QJsonObject& fields) {
    return {{QStringLiteral("operationType"), operationType},
            {QStringLiteral("record"), QJsonObject{{QStringLiteral("recordName"), name},
                                                   {QStringLiteral("recordType"), type},
                                                   {QStringLiteral("fields"), fields}}}};
}

QJsonObject replace(const QString& name, const QString& type, const QJsonObject& fields) {
    return save(QStringLiteral("forceReplace"), name, type, fields);
}

QJsonObject update(const QString& name, const QString& type, const QJsonObject& fields) {
    return save(QStringLiteral("forceUpdate"), name, type, fields);
}

QJsonObject deletion(const QString& name) {
    return {{QStringLiteral("operationType"), QStringLiteral("forceDelete")},
            {QStringLiteral("record"), QJsonObject{{QStringLiteral("recordName"), name}}}};
}

QJsonObject zoneID(const QString& name) {
    return {{QStringLiteral("zoneName"), name}};
}

QJsonObject subscription(const QString& id, const QString& recordType,
                         const QJsonObject& equalFields, const QStringList& firesOn) {
    QJsonArray filters;
    for (auto it = equalFields.begin(); it != equalFields.end(); ++it) {
        filters.append(QJsonObject{{QStringLiteral("fieldName"), it.key()},
                                   {QStringLiteral("comparator"), QStringLiteral("EQUALS")},
                                   {QStringLiteral("fieldValue"), it.value()}});
    }
    return {{QStringLiteral("subscriptionID"), id},
            {QStringLiteral("subscriptionType"), QStringLiteral("query")},
            {QStringLiteral("query"), QJsonObject{{QStringLiteral("recordType"), recordType},
                                                  {QStringLiteral("filterBy"), filters}}},
            {QStringLiteral("firesOn"), QJsonArray::fromStringList(firesOn)},
            {QStringLiteral("notificationInfo"),
             QJsonObject{{QStringLiteral("shouldSendContentAvailable"), true}}}};
}

} // namespace wire

} // namespace sonavert::cloud::testing
