#include "server/wire/json_fields.h"

#include "server/wire/server_error.h"

namespace sonavert::cloud::json_fields {

namespace {

Error badRequest(const QString& key, const char* expected) {
    return cloudError(ServerErrorCode::BadRequest,
                      QStringLiteral("\"%1\" must be %2").arg(key, QLatin1String(expected)));
}

} // namespace

Result<QString> requiredString(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return badRequest(key, "a string");
    return value.toString();
}

Result<std::optional<QString>> optionalString(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<QString>{};
    if (!value.isString())
        return badRequest(key, "a string");
    return std::optional<QString>{value.toString()};
}

Result<QJsonObject> requiredObject(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isObject())
        return badRequest(key, "an object");
    return value.toObject();
}

Result<std::optional<QJsonObject>> optionalObject(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<QJsonObject>{};
    if (!value.isObject())
        return badRequest(key, "an object");
    return std::optional<QJsonObject>{value.toObject()};
}

Result<QJsonArray> requiredArray(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return badRequest(key, "an array");
    return value.toArray();
}

Result<std::optional<QJsonArray>> optionalArray(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<QJsonArray>{};
    if (!value.isArray())
        return badRequest(key, "an array");
    return std::optional<QJsonArray>{value.toArray()};
}

Result<std::optional<qint64>> optionalInteger(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<qint64>{};
    const auto integer = integerOf(value);
    if (!integer)
        return badRequest(key, "an integer");
    return std::optional<qint64>{*integer};
}

Result<QJsonObject> objectAt(const QJsonArray& array, qsizetype index, const QString& what) {
    const QJsonValue value = array.at(index);
    if (!value.isObject())
        return badRequest(QStringLiteral("%1[%2]").arg(what).arg(index), "an object");
    return value.toObject();
}

std::optional<qint64> integerOf(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() falls back to its argument for fractions and out-of-range values; two
    // different fallbacks tell a real integer apart from a fallback.
    const qint64 first = value.toInteger(0);
    if (first != value.toInteger(1))
        return std::nullopt;
    return first;
}

bool isValidName(const QString& name) {
    const qsizetype bytes = name.toUtf8().size();
    if (bytes < 1 || bytes > 255)
        return false;
    for (const QChar ch : name) {
        if (!ch.isPrint() && !ch.isSurrogate())
            return false;
    }
    return true;
}

Result<QString> requiredName(const QJsonObject& object, const QString& key) {
    auto value = requiredString(object, key);
    if (!value)
        return value;
    if (!isValidName(value.value()))
        return badRequest(key, "1 to 255 bytes of printable UTF-8");
    return value;
}

} // namespace sonavert::cloud::json_fields
