#include "src/clouddb/http_cloud_database.h"

#include "src/clouddb/cloud_wire.h"
#include "src/clouddb/server_exchange.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>

namespace sonavert::clouddb {

namespace {

const QString kRecords = QStringLiteral("records");
constexpr int kUnauthorized = 401;

QList<QJsonObject> items(const QJsonObject& answer, const QString& key) {
    QList<QJsonObject> out;
    for (const QJsonValue item : answer.value(key).toArray())
        out << item.toObject();
    return out;
}

/// Folds one page of changes into what earlier pages gave.
void mergePage(ZoneChanges& changes, const QJsonObject& zone) {
    for (const QJsonObject& item : items(zone, kRecords)) {
        const QString name = item.value(QStringLiteral("recordName")).toString();
        changes.deleted.removeAll(name);
        changes.changed.removeIf([&](const CloudRecord& r) { return r.recordName == name; });
        if (item.value(QStringLiteral("deleted")).toBool())
            changes.deleted << name;
        else if (const auto record = wire::recordFromJson(item))
            changes.changed << *record;
    }
    changes.token = zone.value(QStringLiteral("syncToken")).toString().toUtf8();
}

} // namespace

HttpCloudDatabase::HttpCloudDatabase(CloudEndpoint endpoint, std::shared_ptr<Clock> clock)
    : HttpCloudDatabase(std::make_shared<CloudEndpointSource>(std::move(endpoint)),
                        std::move(clock)) {}

HttpCloudDatabase::HttpCloudDatabase(std::shared_ptr<CloudEndpointSource> endpoints,
                                     std::shared_ptr<Clock> clock)
    : m_endpoints(std::move(endpoints))
    , m_clock(std::move(clock))
    , m_network(std::make_unique<QNetworkAccessManager>()) {}

HttpCloudDatabase::~HttpCloudDatabase() = default;

QCoro::Task<Result<QJsonObject>> HttpCloudDatabase::post(QString operation, QJsonObject body,
                                                         RequestOptions options) {
    if (options.cancellation.stop_requested())
        co_return cloudError(CloudErrorCode::OperationCancelled);
    if (!m_endpoints->current())
        co_return cloudError(CloudErrorCode::NotAuthenticated);
    // A copy: the device may sign in or out while this request runs.
    const CloudEndpoint endpoint = *m_endpoints->current();
    auto endpoints = m_endpoints;
    const QUrl url = databaseCallUrl(endpoint, operation);
    // Named, not a temporary in the awaited call: GCC 12 destroys those twice in coroutines.
    ServerRequest request{url,
                          std::move(body),
                          endpoint.token,
                          endpoint.trust,
                          options.timeout,
                          options.cancellation};
    const ServerReply reply = co_await callServer(*m_network, m_clock, std::move(request));
    switch (reply.failure) {
    case ServerReply::Failure::None:
        break;
    case ServerReply::Failure::Unreachable:
        co_return cloudError(CloudErrorCode::NetworkUnavailable, reply.failureText);
    case ServerReply::Failure::Broken:
        co_return cloudError(CloudErrorCode::NetworkFailure, reply.failureText);
    case ServerReply::Failure::TimedOut:
        co_return cloudError(CloudErrorCode::NetworkFailure,
                             QStringLiteral("the request timed out"));
    case ServerReply::Failure::Cancelled:
        co_return cloudError(CloudErrorCode::OperationCancelled);
    case ServerReply::Failure::Untrusted:
        co_return endpoint.trust->refuse(url.host(), reply.certificateErrors);
    }
    if (url.scheme() == QLatin1String("https") && reply.isSuccess)
        endpoint.trust->noteTrusted();
    if (reply.status == kUnauthorized)
        endpoints->reportRejected(endpoint.token);
    if (!reply.isSuccess)
        co_return reply.json&& wire::isErrorItem(*reply.json)
            ? wire::errorFromJson(*reply.json)
            : cloudError(CloudErrorCode::InternalError,
                         QStringLiteral("HTTP %1").arg(reply.status));
    if (!reply.json)
        co_return cloudError(CloudErrorCode::InternalError, QStringLiteral("unreadable answer"));
    co_return *reply.json;
}

QCoro::Task<Result<AccountStatus>> HttpCloudDatabase::accountStatus(RequestOptions options) {
    if (!m_endpoints->current())
        co_return AccountStatus::NoAccount; // signed out: no account on this device
    const auto answer = co_await post(QStringLiteral("account/status"), QJsonObject(), options);
    SONAVERT_CO_TRY(answer);
    co_return wire::accountStatusFromName(
        answer.value().value(QStringLiteral("status")).toString());
}

QCoro::Task<Result<QString>> HttpCloudDatabase::userRecordName(RequestOptions options) {
    const auto answer = co_await post(QStringLiteral("users/current"), QJsonObject(), options);
    SONAVERT_CO_TRY(answer);
    const QJsonValue name = answer.value().value(QStringLiteral("userRecordName"));
    if (!name.isString())
        co_return cloudError(CloudErrorCode::InternalError, QStringLiteral("no user record name"));
    co_return name.toString();
}

QCoro::Task<Status> HttpCloudDatabase::modifyZone(QString operationType, QString zoneName,
                                                  RequestOptions options) {
    const auto answer = co_await post(QStringLiteral("zones/modify"),
                                      wire::zoneOperationBody(operationType, zoneName), options);
    SONAVERT_CO_TRY(answer);
    for (const QJsonObject& item : items(answer.value(), QStringLiteral("zones")))
        if (wire::isErrorItem(item))
            co_return wire::errorFromJson(item, zoneName);
    co_return Status();
}

QCoro::Task<Status> HttpCloudDatabase::saveZone(QString zoneName, RequestOptions options) {
    co_return co_await modifyZone(QStringLiteral("create"), zoneName, options);
}

QCoro::Task<Status> HttpCloudDatabase::deleteZone(QString zoneName, RequestOptions options) {
    co_return co_await modifyZone(QStringLiteral("delete"), zoneName, options);
}

QCoro::Task<ModifyResult> HttpCloudDatabase::modifyRecords(QString zoneName,
                                                           QList<RecordSave> saves,
                                                           QStringList deletions, SavePolicy policy,
                                                           RequestOptions options) {
    QStringList names;
    for (const RecordSave& save : saves)
        names << save.record.recordName;
    names << deletions;
    const QJsonObject body = wire::modifyRecordsBody(zoneName, saves, deletions, policy);
    const auto answer = co_await post(QStringLiteral("records/modify"), body, options);
    if (!answer)
        co_return ModifyResult{{}, answer.error()};
    ModifyResult result;
    std::vector<Error> itemErrors;
    const QList<QJsonObject> records = items(answer.value(), kRecords);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QJsonObject item = i < records.size() ? records[i] : QJsonObject();
        RecordOutcome outcome{names[i], false, std::nullopt, std::nullopt};
        if (wire::isErrorItem(item) || item.isEmpty()) {
            outcome.error = item.isEmpty() ? cloudError(CloudErrorCode::InternalError,
                                                        QStringLiteral("no answer for item"))
                                           : wire::errorFromJson(item, names[i]);
            outcome.error->itemID = names[i];
            itemErrors.push_back(*outcome.error);
        } else if (item.value(QStringLiteral("deleted")).toBool()) {
            outcome.isDeleted = true;
        } else {
            outcome.saved = wire::recordFromJson(item);
        }
        result.outcomes << outcome;
    }
    if (!itemErrors.empty())
        result.overall = partialFailure(std::move(itemErrors));
    co_return result;
}

QCoro::Task<Result<QList<Result<CloudRecord>>>>
HttpCloudDatabase::fetchRecords(QString zoneName, QStringList recordNames,
                                std::optional<QStringList> desiredKeys, RequestOptions options) {
    const QJsonObject body = wire::lookupBody(zoneName, recordNames, desiredKeys);
    const auto answer = co_await post(QStringLiteral("records/lookup"), body, options);
    SONAVERT_CO_TRY(answer);
    QList<Result<CloudRecord>> results;
    const QList<QJsonObject> records = items(answer.value(), kRecords);
    for (qsizetype i = 0; i < recordNames.size(); ++i) {
        const QJsonObject item = i < records.size() ? records[i] : QJsonObject();
        const auto record = wire::isErrorItem(item) ? std::nullopt : wire::recordFromJson(item);
        if (record)
            results << Result<CloudRecord>(*record);
        else
            results << Result<CloudRecord>(wire::isErrorItem(item)
                                               ? wire::errorFromJson(item, recordNames[i])
                                               : cloudError(CloudErrorCode::InternalError));
    }
    co_return results;
}

QCoro::Task<Result<ZoneChanges>>
HttpCloudDatabase::fetchZoneChanges(QString zoneName, std::optional<QByteArray> token,
                                    RequestOptions options) {
    ZoneChanges changes;
    std::optional<QByteArray> next = std::move(token);
    for (;;) {
        const auto answer = co_await post(QStringLiteral("changes/zone"),
                                          wire::zoneChangesBody(zoneName, next), options);
        SONAVERT_CO_TRY(answer);
        const QList<QJsonObject> zones = items(answer.value(), QStringLiteral("zones"));
        if (zones.isEmpty())
            co_return cloudError(CloudErrorCode::InternalError,
                                 QStringLiteral("no zone in answer"));
        if (wire::isErrorItem(zones.first()))
            co_return wire::errorFromJson(zones.first(), zoneName);
        mergePage(changes, zones.first());
        if (!zones.first().value(QStringLiteral("moreComing")).toBool())
            co_return changes;
        next = changes.token;
    }
}

QCoro::Task<Result<Subscription>> HttpCloudDatabase::fetchSubscription(QString subscriptionID,
                                                                       RequestOptions options) {
    const auto answer = co_await post(QStringLiteral("subscriptions/lookup"),
                                      wire::subscriptionLookupBody(subscriptionID), options);
    SONAVERT_CO_TRY(answer);
    const QList<QJsonObject> found = items(answer.value(), QStringLiteral("subscriptions"));
    if (found.isEmpty())
        co_return cloudError(CloudErrorCode::InternalError,
                             QStringLiteral("no subscription in answer"));
    if (wire::isErrorItem(found.first()))
        co_return wire::errorFromJson(found.first(), subscriptionID);
    const auto subscription = wire::subscriptionFromJson(found.first());
    if (!subscription)
        co_return cloudError(CloudErrorCode::InternalError,
                             QStringLiteral("unreadable subscription"));
    co_return *subscription;
}

QCoro::Task<Status> HttpCloudDatabase::modifySubscription(QJsonObject body,
                                                          RequestOptions options) {
    const auto answer = co_await post(QStringLiteral("subscriptions/modify"), body, options);
    SONAVERT_CO_TRY(answer);
    for (const QJsonObject& item : items(answer.value(), QStringLiteral("subscriptions")))
        if (wire::isErrorItem(item))
            co_return wire::errorFromJson(item,
                                          item.value(QStringLiteral("subscriptionID")).toString());
    co_return Status();
}

QCoro::Task<Status> HttpCloudDatabase::saveSubscription(Subscription subscription,
                                                        RequestOptions options) {
    co_return co_await modifySubscription(wire::saveSubscriptionBody(subscription), options);
}

QCoro::Task<Status> HttpCloudDatabase::deleteSubscription(QString subscriptionID,
                                                          RequestOptions options) {
    co_return co_await modifySubscription(wire::deleteSubscriptionBody(subscriptionID), options);
}

} // namespace sonavert::clouddb
