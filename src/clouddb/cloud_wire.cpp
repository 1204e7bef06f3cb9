#include "src/clouddb/cloud_wire.h"

#include "src/clouddb/cloud_error.h"

namespace sonavert::clouddb::wire {

namespace {

QJsonObject fieldToJson(const FieldValue& value) {
    return std::visit(
        [](const auto& v) -> QJsonObject {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, QString>)
                return {{QStringLiteral("type"), QStringLiteral("STRING")},
                        {QStringLiteral("value"), v}};
            else if constexpr (std::is_same_v<V, qint64>)
                return {{QStringLiteral("type"), QStringLiteral("INT64")},
                        {QStringLiteral("value"), v}};
            else
                return {{QStringLiteral("type"), QStringLiteral("TIMESTAMP")},
                        {QStringLiteral("value"), v.unixMilliseconds()}};
        },
        value);
}

std::optional<FieldValue> fieldFromJson(const QJsonObject& json) {
    const QString type = json.value(QStringLiteral("type")).toString();
    const QJsonValue value = json.value(QStringLiteral("value"));
    if (type == QLatin1String("STRING") && value.isString())
        return FieldValue(value.toString());
    if (type == QLatin1String("INT64") && value.isDouble())
        return FieldValue(static_cast<qint64>(value.toDouble()));
    if (type == QLatin1String("TIMESTAMP") && value.isDouble())
        return FieldValue(Timestamp::fromUnixMilliseconds(static_cast<qint64>(value.toDouble())));
    return std::nullopt;
}

std::optional<Timestamp> timestampOf(const QJsonValue& json) {
    const QJsonValue ms = json.toObject().value(QStringLiteral("timestamp"));
    if (!ms.isDouble())
        return std::nullopt;
    return Timestamp::fromUnixMilliseconds(static_cast<qint64>(ms.toDouble()));
}

struct StatusName {
    const char* name;
    AccountStatus status;
};
constexpr StatusName kStatusNames[] = {
    {"available", AccountStatus::Available},
    {"noAccount", AccountStatus::NoAccount},
    {"restricted", AccountStatus::Restricted},
    {"temporarilyUnavailable", AccountStatus::TemporarilyUnavailable},
    {"couldNotDetermine", AccountStatus::CouldNotDetermine},
};

} // namespace

QJsonObject zoneID(const QString& zoneName) {
    return {{QStringLiteral("zoneName"), zoneName}};
}

QJsonObject recordToJson(const CloudRecord& record, const QStringList& removedFields) {
    QJsonObject fields;
    for (auto it = record.fields.begin(); it != record.fields.end(); ++it)
        fields.insert(it.key(), fieldToJson(it.value()));
    for (const QString& removed : removedFields)
        fields.insert(removed, QJsonObject{{QStringLiteral("value"), QJsonValue::Null}});
    return {{QStringLiteral("recordName"), record.recordName},
            {QStringLiteral("recordType"), record.recordType},
            {QStringLiteral("fields"), fields}};
}

std::optional<CloudRecord> recordFromJson(const QJsonObject& json) {
    if (!json.value(QStringLiteral("recordName")).isString())
        return std::nullopt;
    CloudRecord record;
    record.recordName = json.value(QStringLiteral("recordName")).toString();
    record.recordType = json.value(QStringLiteral("recordType")).toString();
    const QJsonObject fields = json.value(QStringLiteral("fields")).toObject();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        if (const auto value = fieldFromJson(it.value().toObject()))
            record.fields.insert(it.key(), *value);
    record.created = timestampOf(json.value(QStringLiteral("created")));
    record.modified = timestampOf(json.value(QStringLiteral("modified")));
    return record;
}

QJsonObject subscriptionToJson(const Subscription& s) {
    QJsonArray filters;
    for (auto it = s.filters.begin(); it != s.filters.end(); ++it)
        filters.append(QJsonObject{{QStringLiteral("fieldName"), it.key()},
                                   {QStringLiteral("comparator"), QStringLiteral("EQUALS")},
                                   {QStringLiteral("fieldValue"), fieldToJson(it.value())}});
    QJsonArray firesOn;
    if (s.firesOnCreate)
        firesOn.append(QStringLiteral("create"));
    if (s.firesOnUpdate)
        firesOn.append(QStringLiteral("update"));
    if (s.firesOnDelete)
        firesOn.append(QStringLiteral("delete"));
    return {{QStringLiteral("subscriptionID"), s.subscriptionID},
            {QStringLiteral("subscriptionType"), QStringLiteral("query")},
            {QStringLiteral("query"), QJsonObject{{QStringLiteral("recordType"), s.recordType},
                                                  {QStringLiteral("filterBy"), filters}}},
            {QStringLiteral("firesOn"), firesOn},
            {QStringLiteral("notificationInfo"),
             QJsonObject{{QStringLiteral("shouldSendContentAvailable"), true}}}};
}

std::optional<Subscription> subscriptionFromJson(const QJsonObject& json) {
    if (!json.value(QStringLiteral("subscriptionID")).isString())
        return std::nullopt;
    Subscription s;
    s.subscriptionID = json.value(QStringLiteral("subscriptionID")).toString();
    const QJsonObject query = json.value(QStringLiteral("query")).toObject();
    s.recordType = query.value(QStringLiteral("recordType")).toString();
    for (const QJsonValue filter : query.value(QStringLiteral("filterBy")).toArray()) {
        const QJsonObject f = filter.toObject();
        if (const auto value = fieldFromJson(f.value(QStringLiteral("fieldValue")).toObject()))
            s.filters.insert(f.value(QStringLiteral("fieldName")).toString(), *value);
    }
    const QJsonArray firesOn = json.value(QStringLiteral("firesOn")).toArray();
    s.firesOnCreate = firesOn.contains(QStringLiteral("create"));
    s.firesOnUpdate = firesOn.contains(QStringLiteral("update"));
    s.firesOnDelete = firesOn.contains(QStringLiteral("delete"));
    return s;
}

bool isErrorItem(const QJsonObject& json) {
    return json.contains(QStringLiteral("serverErrorCode"));
}

Error errorFromJson(const QJsonObject& json, const QString& itemID) {
    const int code = json.value(QStringLiteral("ckErrorCode"))
                         .toInt(static_cast<int>(CloudErrorCode::InternalError));
    Error error = cloudError(static_cast<CloudErrorCode>(code),
                             json.value(QStringLiteral("reason")).toString());
    error.itemID = itemID;
    if (json.value(QStringLiteral("retryAfter")).isDouble())
        error.retryAfterSeconds = json.value(QStringLiteral("retryAfter")).toDouble();
    return error;
}

AccountStatus accountStatusFromName(const QString& name) {
    for (const auto& row : kStatusNames)
        if (name == QLatin1String(row.name))
            return row.status;
    return AccountStatus::CouldNotDetermine;
}

QJsonObject zoneOperationBody(const QString& operationType, const QString& zoneName) {
    const QJsonObject operation{
        {QStringLiteral("operationType"), operationType},
        {QStringLiteral("zone"), QJsonObject{{QStringLiteral("zoneID"), zoneID(zoneName)}}}};
    return {{QStringLiteral("operations"), QJsonArray{operation}}};
}

QJsonObject modifyRecordsBody(const QString& zoneName, const QList<RecordSave>& saves,
                              const QStringList& deletions, SavePolicy policy) {
    const QString saveType = policy == SavePolicy::AllKeys       ? QStringLiteral("forceReplace")
                             : policy == SavePolicy::ChangedKeys ? QStringLiteral("forceUpdate")
                                                                 : QStringLiteral("create");
    QJsonArray operations;
    for (const RecordSave& save : saves)
        operations.append(
            QJsonObject{{QStringLiteral("operationType"), saveType},
                        {QStringLiteral("record"), recordToJson(save.record, save.removedFields)}});
    for (const QString& name : deletions)
        operations.append(QJsonObject{
            {QStringLiteral("operationType"), QStringLiteral("forceDelete")},
            {QStringLiteral("record"), QJsonObject{{QStringLiteral("recordName"), name}}}});
    return {{QStringLiteral("zoneID"), zoneID(zoneName)},
            {QStringLiteral("operations"), operations}};
}

QJsonObject lookupBody(const QString& zoneName, const QStringList& recordNames,
                       const std::optional<QStringList>& desiredKeys) {
    QJsonArray wanted;
    for (const QString& name : recordNames)
        wanted.append(QJsonObject{{QStringLiteral("recordName"), name}});
    QJsonObject body{{QStringLiteral("zoneID"), zoneID(zoneName)},
                     {QStringLiteral("records"), wanted}};
    if (desiredKeys)
        body.insert(QStringLiteral("desiredKeys"), QJsonArray::fromStringList(*desiredKeys));
    return body;
}

QJsonObject zoneChangesBody(const QString& zoneName, const std::optional<QByteArray>& token) {
    QJsonObject zone{{QStringLiteral("zoneID"), zoneID(zoneName)}};
    if (token)
        zone.insert(QStringLiteral("syncToken"), QString::fromUtf8(*token));
    return {{QStringLiteral("zones"), QJsonArray{zone}}};
}

QJsonObject subscriptionLookupBody(const QString& subscriptionID) {
    return {{QStringLiteral("subscriptions"),
             QJsonArray{QJsonObject{{QStringLiteral("subscriptionID"), subscriptionID}}}}};
}

QJsonObject saveSubscriptionBody(const Subscription& subscription) {
    const QJsonObject operation{{QStringLiteral("operationType"), QStringLiteral("create")},
                                {QStringLiteral("subscription"), subscriptionToJson(subscription)}};
    return {{QStringLiteral("operations"), QJsonArray{operation}}};
}

QJsonObject deleteSubscriptionBody(const QString& subscriptionID) {
    const QJsonObject operation{{QStringLiteral("operationType"), QStringLiteral("delete")},
                                {QStringLiteral("subscription"),
                                 QJsonObject{{QStringLiteral("subscriptionID"), subscriptionID}}}};
    return {{QStringLiteral("operations"), QJsonArray{operation}}};
}

} // namespace sonavert::clouddb::wire
