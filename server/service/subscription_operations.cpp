#include "server/service/subscription_operations.h"

#include "server/service/request_limits.h"
#include "server/wire/error_json.h"

namespace sonavert::cloud {

namespace {

Error badSubscription(const QString& problem) {
    return cloudError(ServerErrorCode::BadRequest, QStringLiteral("subscription: ") + problem);
}

Result<QJsonObject> filterOf(const QJsonArray& filters, qsizetype index) {
    auto filter = json_fields::objectAt(filters, index, QStringLiteral("filterBy"));
    if (!filter)
        return filter;
    auto fieldName = json_fields::requiredName(filter.value(), QStringLiteral("fieldName"));
    if (!fieldName)
        return fieldName.error();
    if (filter.value().value(QLatin1String("comparator")) != QLatin1String("EQUALS"))
        return badSubscription(QStringLiteral("the only comparator is EQUALS"));
    auto value = json_fields::requiredObject(filter.value(), QStringLiteral("fieldValue"));
    if (!value)
        return value.error();
    if (auto status = validateFields({{fieldName.value(), value.value()}}, false); !status)
        return status.error();
    return QJsonObject{{QStringLiteral("fieldName"), fieldName.value()},
                       {QStringLiteral("comparator"), QStringLiteral("EQUALS")},
                       {QStringLiteral("fieldValue"), value.value()}};
}

Result<QJsonObject> queryOf(const QJsonObject& subscription) {
    auto query = json_fields::requiredObject(subscription, QStringLiteral("query"));
    if (!query)
        return query;
    auto recordType = json_fields::requiredName(query.value(), QStringLiteral("recordType"));
    if (!recordType)
        return recordType.error();
    auto filters = json_fields::optionalArray(query.value(), QStringLiteral("filterBy"));
    if (!filters)
        return filters.error();
    QJsonArray checked;
    const QJsonArray given = filters.value().value_or(QJsonArray{});
    for (qsizetype i = 0; i < given.size(); ++i) {
        auto filter = filterOf(given, i);
        if (!filter)
            return filter;
        checked.append(filter.value());
    }
    return QJsonObject{{QStringLiteral("recordType"), recordType.value()},
                       {QStringLiteral("filterBy"), checked}};
}

Result<QJsonArray> firesOnOf(const QJsonObject& subscription) {
    auto firesOn = json_fields::requiredArray(subscription, QStringLiteral("firesOn"));
    if (!firesOn)
        return firesOn;
    static const QStringList kEvents{QStringLiteral("create"), QStringLiteral("update"),
                                     QStringLiteral("delete")};
    for (const QJsonValue& event : firesOn.value()) {
        if (!kEvents.contains(event.toString()))
            return badSubscription(QStringLiteral("firesOn holds create, update or delete"));
    }
    if (firesOn.value().isEmpty())
        return badSubscription(QStringLiteral("firesOn is empty"));
    return firesOn;
}

// The stored form keeps only what the protocol defines, checked.
Result<QJsonObject> validSubscription(const QJsonObject& subscription, const QString& id) {
    if (subscription.value(QLatin1String("subscriptionType")) != QLatin1String("query"))
        return badSubscription(QStringLiteral("subscriptionType must be query"));
    auto query = queryOf(subscription);
    if (!query)
        return query;
    auto firesOn = firesOnOf(subscription);
    if (!firesOn)
        return firesOn.error();
    auto info = json_fields::optionalObject(subscription, QStringLiteral("notificationInfo"));
    if (!info)
        return info.error();
    return QJsonObject{{QStringLiteral("subscriptionID"), id},
                       {QStringLiteral("subscriptionType"), QStringLiteral("query")},
                       {QStringLiteral("query"), query.value()},
                       {QStringLiteral("firesOn"), firesOn.value()},
                       {QStringLiteral("notificationInfo"), info.value().value_or(QJsonObject{})}};
}

struct SubscriptionCommand {
    bool isCreate = true;
    QString id;
    QJsonObject subscription;
};

Result<SubscriptionCommand> commandOf(const QJsonArray& operations, qsizetype index) {
    auto operation = json_fields::objectAt(operations, index, QStringLiteral("operations"));
    if (!operation)
        return operation.error();
    const QString type = operation.value().value(QLatin1String("operationType")).toString();
    if (type != QLatin1String("create") && type != QLatin1String("delete"))
        return badSubscription(QStringLiteral("operationType must be create or delete"));
    auto subscription =
        json_fields::requiredObject(operation.value(), QStringLiteral("subscription"));
    if (!subscription)
        return subscription.error();
    auto id = json_fields::requiredName(subscription.value(), QStringLiteral("subscriptionID"));
    if (!id)
        return id.error();
    if (type == QLatin1String("delete"))
        return SubscriptionCommand{false, id.value(), {}};
    auto valid = validSubscription(subscription.value(), id.value());
    if (!valid)
        return valid.error();
    return SubscriptionCommand{true, id.value(), valid.value()};
}

QJsonObject idKeys(const QString& id) {
    return {{QStringLiteral("subscriptionID"), id}};
}

Error notFound(const QString& id) {
    return cloudError(ServerErrorCode::NotFound,
                      QStringLiteral("subscription \"%1\" does not exist").arg(id));
}

} // namespace

SubscriptionOperations::SubscriptionOperations(CloudStorage& storage)
    : m_storage(storage) {}

Result<QJsonObject> SubscriptionOperations::lookup(const DatabaseScope& scope,
                                                   const QJsonObject& body) {
    auto items = boundedItems(body, QStringLiteral("subscriptions"));
    if (!items)
        return items.error();
    QStringList ids;
    for (qsizetype i = 0; i < items.value().size(); ++i) {
        auto item = json_fields::objectAt(items.value(), i, QStringLiteral("subscriptions"));
        auto id = item ? json_fields::requiredName(item.value(), QStringLiteral("subscriptionID"))
                       : Result<QString>(item.error());
        if (!id)
            return id.error();
        ids.append(id.value());
    }
    QJsonArray found;
    for (const QString& id : ids) {
        auto stored = m_storage.subscription(scope, id);
        if (!stored)
            return stored.error();
        found.append(stored.value() ? *stored.value() : errorToJson(notFound(id), idKeys(id)));
    }
    return QJsonObject{{QStringLiteral("subscriptions"), found}};
}

Result<QJsonObject> SubscriptionOperations::modify(const DatabaseScope& scope,
                                                   const QJsonObject& body) {
    auto parsed = parseBoundedItems(body, QStringLiteral("operations"), commandOf);
    if (!parsed)
        return parsed.error();
    const QList<SubscriptionCommand> commands = parsed.value();
    QJsonArray results;
    for (const SubscriptionCommand& command : commands) {
        auto result = command.isCreate ? apply(scope, true, command.subscription)
                                       : apply(scope, false, idKeys(command.id));
        if (!result && !serverErrorCodeOf(result.error()))
            return result.error();
        results.append(result ? result.value() : errorToJson(result.error(), idKeys(command.id)));
    }
    return QJsonObject{{QStringLiteral("subscriptions"), results}};
}

Result<QJsonObject> SubscriptionOperations::apply(const DatabaseScope& scope, bool isCreate,
                                                  const QJsonObject& subscription) {
    const QString id = subscription.value(QLatin1String("subscriptionID")).toString();
    if (isCreate) {
        if (auto status = m_storage.putSubscription(scope, id, subscription); !status)
            return status.error();
        return subscription;
    }
    auto removed = m_storage.deleteSubscription(scope, id);
    if (!removed)
        return removed.error();
    if (!removed.value())
        return notFound(id);
    return idKeys(id);
}

} // namespace sonavert::cloud
