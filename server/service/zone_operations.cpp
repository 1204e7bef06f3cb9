#include "server/service/zone_operations.h"

#include "server/service/request_limits.h"
#include "server/wire/error_json.h"

namespace sonavert::cloud {

namespace {

bool isDefaultZone(const QString& zoneName) {
    return zoneName == QLatin1String(kDefaultZoneName);
}

struct ZoneCommand {
    bool isCreate = true;
    QString zoneName;
};

Result<ZoneCommand> zoneCommandOf(const QJsonArray& operations, qsizetype index) {
    auto operation = json_fields::objectAt(operations, index, QStringLiteral("operations"));
    SONAVERT_TRY(operation);
    auto type = json_fields::requiredString(operation.value(), QStringLiteral("operationType"));
    SONAVERT_TRY(type);
    if (type.value() != QLatin1String("create") && type.value() != QLatin1String("delete"))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("zone operationType must be create or delete"));
    auto zone = json_fields::requiredObject(operation.value(), QStringLiteral("zone"));
    SONAVERT_TRY(zone);
    auto zoneID = json_fields::requiredObject(zone.value(), QStringLiteral("zoneID"));
    SONAVERT_TRY(zoneID);
    auto name = ZoneOperations::zoneNameOf(zoneID.value());
    SONAVERT_TRY(name);
    if (type.value() == QLatin1String("delete") && isDefaultZone(name.value()))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("the default zone cannot be deleted"));
    return ZoneCommand{type.value() == QLatin1String("create"), name.value()};
}

} // namespace

ZoneOperations::ZoneOperations(CloudStorage& storage)
    : m_storage(storage) {}

Result<QString> ZoneOperations::zoneNameOf(const std::optional<QJsonObject>& zoneID) {
    if (!zoneID)
        return QString::fromLatin1(kDefaultZoneName);
    return json_fields::requiredName(*zoneID, QStringLiteral("zoneName"));
}

Result<ZoneState> ZoneOperations::liveZone(const DatabaseScope& scope, const QString& zoneName) {
    auto state = m_storage.zone(scope, zoneName);
    if (!state)
        return state;
    switch (state.value().status) {
    case ZoneStatus::Live:
        return state;
    case ZoneStatus::DeletedByUser:
        return cloudError(ServerErrorCode::UserDeletedZone,
                          QStringLiteral("zone \"%1\" was deleted by the user").arg(zoneName));
    case ZoneStatus::Missing:
        break;
    }
    if (isDefaultZone(zoneName))
        return m_storage.createZone(scope, zoneName);
    return cloudError(ServerErrorCode::ZoneNotFound,
                      QStringLiteral("zone \"%1\" does not exist").arg(zoneName));
}

Result<QJsonObject> ZoneOperations::modify(const DatabaseScope& scope, const QJsonObject& body) {
    auto parsed = parseBoundedItems(body, QStringLiteral("operations"), zoneCommandOf);
    SONAVERT_TRY(parsed);
    const QList<ZoneCommand> commands = parsed.value();
    QJsonArray zones;
    for (const ZoneCommand& command : commands) {
        auto result = command.isCreate ? createZone(scope, command.zoneName)
                                       : deleteZone(scope, command.zoneName);
        if (!result && !serverErrorCodeOf(result.error()))
            return result.error();
        const QJsonObject zoneKeys{{QStringLiteral("zoneID"), zoneIdJson(command.zoneName)}};
        zones.append(result ? zoneKeys : errorToJson(result.error(), zoneKeys));
    }
    return QJsonObject{{QStringLiteral("zones"), zones}};
}

Result<QJsonObject> ZoneOperations::createZone(const DatabaseScope& scope,
                                               const QString& zoneName) {
    auto state = m_storage.createZone(scope, zoneName);
    SONAVERT_TRY(state);
    return QJsonObject{};
}

Result<QJsonObject> ZoneOperations::deleteZone(const DatabaseScope& scope,
                                               const QString& zoneName) {
    auto state = liveZone(scope, zoneName);
    SONAVERT_TRY(state);
    SONAVERT_TRY(m_storage.deleteZone(scope, zoneName, false));
    return QJsonObject{};
}

Status ZoneOperations::deleteByUser(const DatabaseScope& scope, const QString& zoneName) {
    if (isDefaultZone(zoneName))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("the default zone cannot be deleted"));
    auto state = liveZone(scope, zoneName);
    SONAVERT_TRY(state);
    return m_storage.deleteZone(scope, zoneName, true);
}

} // namespace sonavert::cloud
