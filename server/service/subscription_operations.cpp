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
    SONAVERT_TRY(fieldName);
    if (filter.value().value(QLatin1String("comparator")) != QLatin1String("EQUALS"))
        return badSubscription(QStringLiteral("the only comparator is EQUALS"));
    auto value = json_fields::requiredObject(filter.value(), QStringLiteral("fieldValue"));
    SONAVERT_TRY(value);
    SONAVERT_TRY(validateFields({{fieldName.value(), value.value()}}, false));
    return QJsonObject{{QStringLiteral("fieldName"), fieldName.value()},
                       {QStringLiteral("comparator"), QStringLiteral("EQUALS")},
                       {QStringLiteral("fieldValue"), value.value()}};
}

Result<QJsonObject> queryOf(const QJsonObject& subscription) {
    auto query = json_fields::requiredObject(subscription, QStringLiteral("query"));
    if (!query)
        return query;
    auto recordType = json_fields::requiredName(query.value(), QStringLiteral("recordType"));
    SONAVERT_TRY(recordType);
    auto filters = json_fields::optionalArray(query.value(), QStringLiteral("filterBy"));
    SONAVERT_TRY(filters);
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
    for (const QJsonValue event : firesOn.value()) {
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
    SONAVERT_TRY(firesOn);
    auto info = json_fields::optionalObject(subscription, QStringLiteral("notificationInfo"));
    SONAVERT_TRY(info);
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
    SONAVERT_TRY(operation);
    const QString type = operation.value().value(QLatin1String("operationType")).toString();
    if (type != QLatin1String("create") && type != QLatin1String("delete"))
        return badSubscription(QStringLiteral("operationType must be create or delete"));
    auto subscription =
        json_fields::requiredObject(operation.value(), QStringLiteral("subscription"));
    SONAVERT_TRY(subscription);
    auto id = json_fields::requiredName(subscription.value(), QStringLiteral("subscriptionID"));
    SONAVERT_TRY(id);
    if (type == QLatin1String("delete"))
        return SubscriptionCommand{false, id.value(), {}};
    auto valid = validSubscription(subscription.value(), id.value());
    SONAVERT_TRY(valid);
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

SubscriptionOperations::SubscriptionOperations(CloudStorage& storage, SubscriptionCaps caps)
    : m_storage(storage)
    , m_caps(caps) {}

Result<QJsonObject> SubscriptionOperations::lookup(const DatabaseScope& scope,
                                                   const QJsonObject& body) {
    auto items = boundedItems(body, QStringLiteral("subscriptions"));
    SONAVERT_TRY(items);
    QStringList ids;
    for (qsizetype i = 0; i < items.value().size(); ++i) {
        auto item = json_fields::objectAt(items.value(), i, QStringLiteral("subscriptions"));
        auto id = item ? json_fields::requiredName(item.value(), QStringLiteral("subscriptionID"))
                       : Result<QString>(item.error());
        SONAVERT_TRY(id);
        ids.append(id.value());
    }
    SONAVERT_TRY(refuseDuplicates(ids, QStringLiteral("subscription")));
    QJsonArray found;
    for (const QString& id : ids) {
        auto stored = m_storage.subscription(scope, id);
        SONAVERT_TRY(stored);
        found.append(stored.value() ? *stored.value() : errorToJson(notFound(id), idKeys(id)));
    }
    return QJsonObject{{QStringLiteral("subscriptions"), found}};
}

Result<QJsonObject> SubscriptionOperations::modify(const DatabaseScope& scope,
                                                   const QJsonObject& body) {
    auto parsed = parseBoundedItems(body, QStringLiteral("operations"), commandOf);
    SONAVERT_TRY(parsed);
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
        SONAVERT_TRY(checkRoomFor(scope, id));
        SONAVERT_TRY(m_storage.putSubscription(scope, id, subscription));
        return subscription;
    }
    auto removed = m_storage.deleteSubscription(scope, id);
    SONAVERT_TRY(removed);
    if (!removed.value())
        return notFound(id);
    return idKeys(id);
}

Status SubscriptionOperations::checkRoomFor(const DatabaseScope& scope, const QString& id) {
    // Every subscription may fire on every record of a save: the cap bounds what one save
    // costs the event loop and the channels.
    auto existing = m_storage.subscription(scope, id);
    SONAVERT_TRY(existing);
    if (existing.value())
        return {};
    auto inDatabase = m_storage.subscriptions(scope);
    SONAVERT_TRY(inDatabase);
    if (inDatabase.value().size() >= m_caps.perDatabase)
        return cloudError(
            ServerErrorCode::QuotaExceeded,
            QStringLiteral("at most %1 subscriptions per database").arg(m_caps.perDatabase));
    auto inAccount = m_storage.subscriptionCount(scope.accountId);
    SONAVERT_TRY(inAccount);
    if (inAccount.value() >= m_caps.perAccount)
        return cloudError(
            ServerErrorCode::QuotaExceeded,
            QStringLiteral("at most %1 subscriptions per account").arg(m_caps.perAccount));
    return {};
}

} // namespace sonavert::cloud
