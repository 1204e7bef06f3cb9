#include "server/service/change_feed.h"

#include "server/service/request_limits.h"
#include "server/service/zone_operations.h"
#include "server/wire/error_json.h"

namespace sonavert::cloud {

ChangeFeed::ChangeFeed(CloudStorage& storage, ZoneOperations& zones, const ChangeTokenCodec& tokens)
    : m_storage(storage)
    , m_zones(zones)
    , m_tokens(tokens) {}

Result<ChangeFeed::ZoneRequest> ChangeFeed::zoneRequestOf(const QJsonArray& zones,
                                                          qsizetype index) {
    auto item = json_fields::objectAt(zones, index, QStringLiteral("zones"));
    if (!item)
        return item.error();
    auto zoneID = json_fields::requiredObject(item.value(), QStringLiteral("zoneID"));
    if (!zoneID)
        return zoneID.error();
    auto zoneName = ZoneOperations::zoneNameOf(zoneID.value());
    if (!zoneName)
        return zoneName.error();
    auto token = json_fields::optionalString(item.value(), QStringLiteral("syncToken"));
    if (!token)
        return token.error();
    auto limit = json_fields::optionalInteger(item.value(), QStringLiteral("resultsLimit"));
    if (!limit)
        return limit.error();
    if (limit.value() && *limit.value() < 1)
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("\"resultsLimit\" must be at least 1"));
    const int resultsLimit =
        static_cast<int>(std::min<qint64>(limit.value().value_or(kMaxResults), kMaxResults));
    return ZoneRequest{zoneName.value(), token.value(), resultsLimit};
}

Result<QJsonObject> ChangeFeed::fetch(const DatabaseScope& scope, const QJsonObject& body) {
    auto items = boundedItems(body, QStringLiteral("zones"));
    if (!items)
        return items.error();
    QList<ZoneRequest> requests;
    for (qsizetype i = 0; i < items.value().size(); ++i) {
        auto request = zoneRequestOf(items.value(), i);
        if (!request)
            return request.error();
        requests.append(request.value());
    }
    QJsonArray zones;
    for (const ZoneRequest& request : requests) {
        auto zone = fetchZone(scope, request);
        if (!zone && !serverErrorCodeOf(zone.error()))
            return zone.error();
        const QJsonObject zoneKeys{{QStringLiteral("zoneID"), zoneIdJson(request.zoneName)}};
        zones.append(zone ? zone.value() : errorToJson(zone.error(), zoneKeys));
    }
    return QJsonObject{{QStringLiteral("zones"), zones}};
}

Result<QJsonObject> ChangeFeed::fetchZone(const DatabaseScope& scope, const ZoneRequest& request) {
    auto zone = m_zones.liveZone(scope, request.zoneName);
    if (!zone)
        return zone.error();
    auto start = startSequence(zone.value(), request.syncToken);
    if (!start)
        return start.error();
    // Without a token the client has nothing to forget, so tombstones are left out.
    auto page = m_storage.changesSince(zone.value().zoneId, start.value(), request.resultsLimit,
                                       request.syncToken.has_value());
    if (!page)
        return page.error();
    QJsonArray records;
    for (const StoredRecord& stored : page.value().records) {
        records.append(stored.isDeleted ? deletedRecordJson(stored.record.recordName)
                                        : recordToJson(stored.record));
    }
    const QString token = m_tokens.encode({zone.value().zoneId, page.value().nextSequence});
    return QJsonObject{{QStringLiteral("zoneID"), zoneIdJson(request.zoneName)},
                       {QStringLiteral("syncToken"), token},
                       {QStringLiteral("moreComing"), page.value().moreComing},
                       {QStringLiteral("records"), records}};
}

Result<qint64> ChangeFeed::startSequence(const ZoneState& zone,
                                         const std::optional<QString>& token) const {
    if (!token)
        return qint64{0};
    const auto position = m_tokens.decode(*token);
    // A token of another server, of an earlier incarnation of the zone, from beyond the zone's
    // history, or from before compacted deletions cannot be continued from.
    if (!position || position->zoneId != zone.zoneId || position->sequence > zone.lastSequence ||
        position->sequence < zone.compactedThrough)
        return cloudError(ServerErrorCode::ChangeTokenExpired,
                          QStringLiteral("the change token has expired; fetch from scratch"));
    return position->sequence;
}

} // namespace sonavert::cloud
