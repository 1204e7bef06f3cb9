#pragma once

#include "server/wire/json_answer.h"
#include "src/runtime/result.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace sonavert::cloud {

/// A stored record as the protocol shows it. `fields` maps a field name to its
/// {"type", "value"} object, already validated.
struct CloudRecord {
    QString recordName;
    QString recordType;
    QJsonObject fields;
    /// A record read for an answer carries its fields as the JSON text they are stored as,
    /// and `fields` stays empty: they go out as they are (see `fieldsOf`, `writeRecord`).
    QByteArray storedFields;
    qint64 createdMs = 0;
    qint64 modifiedMs = 0;
};

/// The record's fields, read from their stored text when that is what it carries.
QJsonObject fieldsOf(const CloudRecord& record);

inline constexpr char kDefaultZoneName[] = "_defaultZone";
/// At most this many bytes in one record's JSON form, as sent and as stored after a merge.
inline constexpr qsizetype kMaxRecordBytes = qsizetype{1024} * 1024;

/// Checks a record's "fields" object: valid names, a known type, a value of that type.
/// With `allowRemoval`, a field whose "value" is null is accepted (it removes the field).
Status validateFields(const QJsonObject& fields, bool allowRemoval);

/// Whether a field value sent with "value": null, which removes the field.
bool isRemoval(const QJsonValue& field);

/// The fields a save leaves: `sent` over `stored`, without the fields sent as removals.
QJsonObject applyFieldChanges(const QJsonObject& stored, const QJsonObject& sent);

/// The record's JSON form; with `desiredKeys`, only those fields (none for an empty list).
QJsonObject recordToJson(const CloudRecord& record,
                         const std::optional<QStringList>& desiredKeys = std::nullopt);
/// Writes the record's JSON form, as recordToJson gives it, with stored fields as they are.
void writeRecord(JsonWriter& out, const CloudRecord& record,
                 const std::optional<QStringList>& desiredKeys = std::nullopt);
/// {"recordName": name, "deleted": true}
QJsonObject deletedRecordJson(const QString& recordName);
/// {"zoneName": name}
QJsonObject zoneIdJson(const QString& zoneName);

} // namespace sonavert::cloud
