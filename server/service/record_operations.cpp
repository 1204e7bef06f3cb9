#include "server/service/record_operations.h"

#include "server/service/request_limits.h"
#include "server/service/zone_operations.h"
#include "server/wire/error_json.h"
#include "src/runtime/clock.h"

#include <QJsonDocument>

namespace sonavert::cloud {

namespace {

const QHash<QString, WriteKind> kWriteKinds{
    {QStringLiteral("forceReplace"), WriteKind::Replace},
    {QStringLiteral("forceUpdate"), WriteKind::Update},
    {QStringLiteral("forceDelete"), WriteKind::Delete},
};

Status checkRecordSize(const QJsonObject& record) {
    if (QJsonDocument(record).toJson(QJsonDocument::Compact).size() > kMaxRecordBytes)
        return cloudError(ServerErrorCode::LimitExceeded,
                          QStringLiteral("a record may hold at most 1 MiB"));
    return {};
}

Result<RecordWrite> saveOf(WriteKind kind, const QJsonObject& record, const QString& name) {
    auto type = json_fields::requiredName(record, QStringLiteral("recordType"));
    if (!type)
        return type.error();
    auto fields = json_fields::optionalObject(record, QStringLiteral("fields"));
    if (!fields)
        return fields.error();
    const QJsonObject given = fields.value().value_or(QJsonObject{});
    if (auto status = validateFields(given, true); !status)
        return status.error();
    if (auto status = checkRecordSize(record); !status)
        return status.error();
    return RecordWrite{kind, name, type.value(), given};
}

Result<RecordWrite> writeOf(const QJsonArray& operations, qsizetype index) {
    auto operation = json_fields::objectAt(operations, index, QStringLiteral("operations"));
    if (!operation)
        return operation.error();
    auto type = json_fields::requiredString(operation.value(), QStringLiteral("operationType"));
    if (!type)
        return type.error();
    if (!kWriteKinds.contains(type.value()))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("operationType must be forceReplace, forceUpdate or "
                                         "forceDelete"));
    auto record = json_fields::requiredObject(operation.value(), QStringLiteral("record"));
    if (!record)
        return record.error();
    auto name = json_fields::requiredName(record.value(), QStringLiteral("recordName"));
    if (!name)
        return name.error();
    const WriteKind kind = kWriteKinds.value(type.value());
    if (kind == WriteKind::Delete)
        return RecordWrite{kind, name.value(), {}, {}};
    return saveOf(kind, record.value(), name.value());
}

Result<QList<RecordWrite>> writesOf(const QJsonObject& body) {
    return parseBoundedItems(body, QStringLiteral("operations"), writeOf);
}

Result<QString> zoneNameOf(const QJsonObject& body) {
    auto zoneID = json_fields::optionalObject(body, QStringLiteral("zoneID"));
    if (!zoneID)
        return zoneID.error();
    return ZoneOperations::zoneNameOf(zoneID.value());
}

Result<std::optional<QStringList>> desiredKeysOf(const QJsonObject& body) {
    auto keys = json_fields::optionalArray(body, QStringLiteral("desiredKeys"));
    if (!keys)
        return keys.error();
    if (!keys.value())
        return std::optional<QStringList>{};
    QStringList names;
    for (const QJsonValue& key : *keys.value()) {
        if (!key.isString())
            return cloudError(ServerErrorCode::BadRequest,
                              QStringLiteral("\"desiredKeys\" must hold strings"));
        names.append(key.toString());
    }
    return std::optional<QStringList>{names};
}

Result<QStringList> lookupNamesOf(const QJsonObject& body) {
    auto records = boundedItems(body, QStringLiteral("records"));
    if (!records)
        return records.error();
    QStringList names;
    for (qsizetype i = 0; i < records.value().size(); ++i) {
        auto item = json_fields::objectAt(records.value(), i, QStringLiteral("records"));
        if (!item)
            return item.error();
        auto name = json_fields::requiredName(item.value(), QStringLiteral("recordName"));
        if (!name)
            return name.error();
        names.append(name.value());
    }
    return names;
}

QJsonObject answerFor(const QList<RecordWrite>& writes, const QList<WriteOutcome>& outcomes) {
    QJsonArray records;
    for (qsizetype i = 0; i < writes.size(); ++i) {
        const auto& after = outcomes.at(i).after;
        records.append(after ? recordToJson(*after) : deletedRecordJson(writes.at(i).recordName));
    }
    return QJsonObject{{QStringLiteral("records"), records}};
}

} // namespace

RecordOperations::RecordOperations(CloudStorage& storage, ZoneOperations& zones, Clock& clock)
    : m_storage(storage)
    , m_zones(zones)
    , m_clock(clock) {}

Result<RecordsModified> RecordOperations::modify(const DatabaseScope& scope,
                                                 const QJsonObject& body) {
    auto zoneName = zoneNameOf(body);
    if (!zoneName)
        return zoneName.error();
    auto writes = writesOf(body);
    if (!writes)
        return writes.error();
    auto zone = m_zones.liveZone(scope, zoneName.value());
    if (!zone)
        return zone.error();
    auto outcomes = m_storage.writeRecords(zone.value().zoneId, writes.value(),
                                           m_clock.now().unixMilliseconds());
    if (!outcomes && isCloudError(outcomes.error(), ServerErrorCode::ZoneNotFound)) {
        // Deleted between the check and the write: report it as the zone now stands.
        auto now = m_zones.liveZone(scope, zoneName.value());
        return now ? outcomes.error() : now.error();
    }
    if (!outcomes)
        return outcomes.error();
    return RecordsModified{answerFor(writes.value(), outcomes.value()), zoneName.value(),
                           outcomes.value()};
}

Result<QJsonObject> RecordOperations::lookup(const DatabaseScope& scope, const QJsonObject& body) {
    auto zoneName = zoneNameOf(body);
    if (!zoneName)
        return zoneName.error();
    auto names = lookupNamesOf(body);
    if (!names)
        return names.error();
    auto desiredKeys = desiredKeysOf(body);
    if (!desiredKeys)
        return desiredKeys.error();
    auto zone = m_zones.liveZone(scope, zoneName.value());
    if (!zone)
        return zone.error();
    auto found = m_storage.lookupRecords(zone.value().zoneId, names.value());
    if (!found)
        return found.error();
    QJsonArray records;
    for (qsizetype i = 0; i < names.value().size(); ++i) {
        const QString& name = names.value().at(i);
        const auto& record = found.value().at(i);
        records.append(record ? recordToJson(*record, desiredKeys.value())
                              : errorToJson(cloudError(ServerErrorCode::NotFound,
                                                       QStringLiteral("record not found")),
                                            {{QStringLiteral("recordName"), name}}));
    }
    return QJsonObject{{QStringLiteral("records"), records}};
}

} // namespace sonavert::cloud
