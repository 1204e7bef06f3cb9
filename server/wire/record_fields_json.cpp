#include "server/wire/record_fields_json.h"

#include "server/wire/json_fields.h"
#include "server/wire/server_error.h"

#include <QJsonDocument>

namespace sonavert::cloud {

namespace {

Error badField(const QString& name, const QString& problem) {
    return cloudError(ServerErrorCode::BadRequest,
                      QStringLiteral("field \"%1\": %2").arg(name, problem));
}

bool valueMatchesType(const QString& type, const QJsonValue& value) {
    if (type == QLatin1String("STRING"))
        return value.isString();
    if (type == QLatin1String("INT64") || type == QLatin1String("TIMESTAMP"))
        return json_fields::integerOf(value).has_value();
    return false;
}

bool isKnownType(const QString& type) {
    return type == QLatin1String("STRING") || type == QLatin1String("INT64") ||
           type == QLatin1String("TIMESTAMP");
}

Status validateField(const QString& name, const QJsonValue& field, bool allowRemoval) {
    if (!json_fields::isValidName(name))
        return badField(name, QStringLiteral("name must be 1 to 255 bytes of printable UTF-8"));
    if (!field.isObject())
        return badField(name, QStringLiteral("must be an object"));
    const QJsonObject object = field.toObject();
    const QJsonValue value = object.value(QLatin1String("value"));
    if (value.isNull() && allowRemoval && !object.contains(QLatin1String("type")))
        return {};
    const QString type = object.value(QLatin1String("type")).toString();
    if (!isKnownType(type))
        return badField(name, QStringLiteral("type must be STRING, INT64 or TIMESTAMP"));
    if (value.isNull() && allowRemoval)
        return {};
    if (!valueMatchesType(type, value))
        return badField(name, QStringLiteral("value does not match type %1").arg(type));
    return {};
}

} // namespace

Status validateFields(const QJsonObject& fields, bool allowRemoval) {
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (auto status = validateField(it.key(), it.value(), allowRemoval); !status)
            return status;
    }
    return {};
}

bool isRemoval(const QJsonValue& field) {
    return field.toObject().value(QLatin1String("value")).isNull();
}

QJsonObject applyFieldChanges(const QJsonObject& stored, const QJsonObject& sent) {
    QJsonObject result = stored;
    for (auto it = sent.begin(); it != sent.end(); ++it) {
        if (isRemoval(it.value()))
            result.remove(it.key());
        else
            result.insert(it.key(), it.value());
    }
    return result;
}

QJsonObject fieldsOf(const CloudRecord& record) {
    return record.storedFields.isNull() ? record.fields
                                        : QJsonDocument::fromJson(record.storedFields).object();
}

namespace {

QJsonObject chosenFields(const CloudRecord& record, const QStringList& desiredKeys) {
    const QJsonObject all = fieldsOf(record);
    QJsonObject chosen;
    for (auto it = all.begin(); it != all.end(); ++it)
        if (desiredKeys.contains(it.key()))
            chosen.insert(it.key(), it.value());
    return chosen;
}

} // namespace

QJsonObject recordToJson(const CloudRecord& record, const std::optional<QStringList>& desiredKeys) {
    return QJsonObject{
        {QStringLiteral("recordName"), record.recordName},
        {QStringLiteral("recordType"), record.recordType},
        {QStringLiteral("fields"),
         desiredKeys ? chosenFields(record, *desiredKeys) : fieldsOf(record)},
        {QStringLiteral("created"), QJsonObject{{QStringLiteral("timestamp"), record.createdMs}}},
        {QStringLiteral("modified"), QJsonObject{{QStringLiteral("timestamp"), record.modifiedMs}}},
    };
}

void writeRecord(JsonWriter& out, const CloudRecord& record,
                 const std::optional<QStringList>& desiredKeys) {
    out.beginObject();
    out.key(QLatin1StringView("recordName")).string(record.recordName);
    out.key(QLatin1StringView("recordType")).string(record.recordType);
    out.key(QLatin1StringView("fields"));
    if (desiredKeys)
        out.object(chosenFields(record, *desiredKeys));
    else if (record.storedFields.isNull())
        out.object(record.fields);
    else if (record.storedFields.isEmpty())
        out.json("{}");
    else
        out.json(record.storedFields);
    out.key(QLatin1StringView("created")).beginObject();
    out.key(QLatin1StringView("timestamp")).number(record.createdMs).endObject();
    out.key(QLatin1StringView("modified")).beginObject();
    out.key(QLatin1StringView("timestamp")).number(record.modifiedMs).endObject();
    out.endObject();
}

QJsonObject deletedRecordJson(const QString& recordName) {
    return QJsonObject{{QStringLiteral("recordName"), recordName},
                       {QStringLiteral("deleted"), true}};
}

QJsonObject zoneIdJson(const QString& zoneName) {
    return QJsonObject{{QStringLiteral("zoneName"), zoneName}};
}

} // namespace sonavert::cloud
