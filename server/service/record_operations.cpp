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
    {QStringLiteral("create"), WriteKind::Create},
};

Status checkRecordSize(const QJsonObject& record) {
    if (QJsonDocument(record).toJson(QJsonDocument::Compact).size() > kMaxRecordBytes)
        return cloudError(ServerErrorCode::LimitExceeded,
                          QStringLiteral("a record may hold at most 1 MiB"));
    return {};
}

Result<RecordWrite> saveOf(WriteKind kind, const QJsonObject& record, const QString& name) {
    auto type = json_fields::requiredName(record, QStringLiteral("recordType"));
    SONAVERT_TRY(type);
    auto fields = json_fields::optionalObject(record, QStringLiteral("fields"));
    SONAVERT_TRY(fields);
    const QJsonObject given = fields.value().value_or(QJsonObject{});
    SONAVERT_TRY(validateFields(given, true));
    SONAVERT_TRY(checkRecordSize(record));
    return RecordWrite{kind, name, type.value(), given};
}

Result<RecordWrite> writeOf(const QJsonArray& operations, qsizetype index) {
    auto operation = json_fields::objectAt(operations, index, QStringLiteral("operations"));
    SONAVERT_TRY(operation);
    auto type = json_fields::requiredString(operation.value(), QStringLiteral("operationType"));
    SONAVERT_TRY(type);
    if (!kWriteKinds.contains(type.value()))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("operationType must be forceReplace, forceUpdate, "
                                         "forceDelete or create"));
    auto record = json_fields::requiredObject(operation.value(), QStringLiteral("record"));
    SONAVERT_TRY(record);
    auto name = json_fields::requiredName(record.value(), QStringLiteral("recordName"));
    SONAVERT_TRY(name);
    const WriteKind kind = kWriteKinds.value(type.value());
    if (kind == WriteKind::Delete)
        return RecordWrite{kind, name.value(), {}, {}};
    return saveOf(kind, record.value(), name.value());
}

Result<QList<RecordWrite>> writesOf(const QJsonObject& body) {
    auto writes = parseBoundedItems(body, QStringLiteral("operations"), writeOf);
    SONAVERT_TRY(writes);
    QStringList names;
    for (const RecordWrite& write : writes.value())
        names.append(write.recordName);
    SONAVERT_TRY(refuseDuplicates(names, QStringLiteral("record")));
    return writes;
}

Result<QString> zoneNameOf(const QJsonObject& body) {
    auto zoneID = json_fields::optionalObject(body, QStringLiteral("zoneID"));
    SONAVERT_TRY(zoneID);
    return ZoneOperations::zoneNameOf(zoneID.value());
}

Result<std::optional<QStringList>> desiredKeysOf(const QJsonObject& body) {
    auto keys = json_fields::optionalArray(body, QStringLiteral("desiredKeys"));
    SONAVERT_TRY(keys);
    if (!keys.value())
        return std::optional<QStringList>{};
    QStringList names;
    for (const QJsonValue key : *keys.value()) {
        if (!key.isString())
            return cloudError(ServerErrorCode::BadRequest,
                              QStringLiteral("\"desiredKeys\" must hold strings"));
        names.append(key.toString());
    }
    return std::optional<QStringList>{names};
}

Result<QStringList> lookupNamesOf(const QJsonObject& body) {
    auto records = boundedItems(body, QStringLiteral("records"));
    SONAVERT_TRY(records);
    QStringList names;
    for (qsizetype i = 0; i < records.value().size(); ++i) {
        auto item = json_fields::objectAt(records.value(), i, QStringLiteral("records"));
        SONAVERT_TRY(item);
        auto name = json_fields::requiredName(item.value(), QStringLiteral("recordName"));
        SONAVERT_TRY(name);
        names.append(name.value());
    }
    SONAVERT_TRY(refuseDuplicates(names, QStringLiteral("record")));
    return names;
}

Error answerFull() {
    return cloudError(ServerErrorCode::LimitExceeded,
                      QStringLiteral("the answer is full; look this record up again"));
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

RecordOperations::RecordOperations(CloudStorage& storage, ZoneOperations& zones, Clock& clock,
                                   qint64 maxAnswerBytes)
    : m_storage(storage)
    , m_zones(zones)
    , m_clock(clock)
    , m_maxAnswerBytes(maxAnswerBytes) {}

Result<RecordsModified> RecordOperations::modify(const DatabaseScope& scope,
                                                 const QJsonObject& body) {
    auto zoneName = zoneNameOf(body);
    SONAVERT_TRY(zoneName);
    auto writes = writesOf(body);
    SONAVERT_TRY(writes);
    auto zone = m_zones.liveZone(scope, zoneName.value());
    SONAVERT_TRY(zone);
    auto outcomes = m_storage.writeRecords(zone.value().zoneId, writes.value(),
                                           m_clock.now().unixMilliseconds());
    if (!outcomes && isCloudError(outcomes.error(), ServerErrorCode::ZoneNotFound)) {
        // Deleted between the check and the write: report it as the zone now stands.
        auto now = m_zones.liveZone(scope, zoneName.value());
        return now ? outcomes.error() : now.error();
    }
    SONAVERT_TRY(outcomes);
    return RecordsModified{answerFor(writes.value(), outcomes.value()), zoneName.value(),
                           outcomes.value()};
}

Result<JsonAnswer> RecordOperations::lookup(const DatabaseScope& scope, const QJsonObject& body) {
    auto zoneName = zoneNameOf(body);
    SONAVERT_TRY(zoneName);
    auto names = lookupNamesOf(body);
    SONAVERT_TRY(names);
    auto desiredKeys = desiredKeysOf(body);
    SONAVERT_TRY(desiredKeys);
    auto lookup = m_storage.lookupInZone(scope, zoneName.value(), names.value(), m_maxAnswerBytes);
    SONAVERT_TRY(lookup);
    QList<std::optional<CloudRecord>>& found = lookup.value().records;
    if (lookup.value().zone.status != ZoneStatus::Live) {
        // Not there: the default zone is made now, any other one answers as it stands.
        auto zone = m_zones.liveZone(scope, zoneName.value());
        SONAVERT_TRY(zone);
        auto again = m_storage.lookupRecords(zone.value().zoneId, names.value(), m_maxAnswerBytes);
        SONAVERT_TRY(again);
        found = again.value();
    }
    JsonWriter out;
    out.beginObject().key(QLatin1StringView("records")).beginArray();
    for (qsizetype i = 0; i < names.value().size(); ++i) {
        const QJsonObject keys{{QStringLiteral("recordName"), names.value().at(i)}};
        if (i >= found.size())
            out.object(errorToJson(answerFull(), keys));
        else if (const auto& record = found.at(i))
            writeRecord(out, *record, desiredKeys.value());
        else
            out.object(errorToJson(
                cloudError(ServerErrorCode::NotFound, QStringLiteral("record not found")), keys));
    }
    out.endArray().endObject();
    return JsonAnswer::written(out.take());
}

} // namespace sonavert::cloud
