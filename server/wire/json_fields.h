#pragma once

#include "src/runtime/result.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <optional>

/// Typed reads of request JSON. A missing required key or a value of the wrong type is a
/// BAD_REQUEST naming the key; unknown keys are never looked at.
namespace sonavert::cloud::json_fields {

Result<QString> requiredString(const QJsonObject& object, const QString& key);
Result<std::optional<QString>> optionalString(const QJsonObject& object, const QString& key);
Result<QJsonObject> requiredObject(const QJsonObject& object, const QString& key);
Result<std::optional<QJsonObject>> optionalObject(const QJsonObject& object, const QString& key);
Result<QJsonArray> requiredArray(const QJsonObject& object, const QString& key);
Result<std::optional<QJsonArray>> optionalArray(const QJsonObject& object, const QString& key);
Result<std::optional<qint64>> optionalInteger(const QJsonObject& object, const QString& key);
/// The element at `index` of an array that must hold objects.
Result<QJsonObject> objectAt(const QJsonArray& array, qsizetype index, const QString& what);

/// The integer a JSON number holds, or nothing when it is not a whole number.
std::optional<qint64> integerOf(const QJsonValue& value);

/// Record names, types, field names and zone names: 1 to 255 bytes of printable UTF-8.
bool isValidName(const QString& name);
/// A required string key that must also be a valid name.
Result<QString> requiredName(const QJsonObject& object, const QString& key);

} // namespace sonavert::cloud::json_fields
