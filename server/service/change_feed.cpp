#include "server/service/change_feed.h"

#include "server/service/request_limits.h"
#include "server/service/zone_operations.h"
#include "server/wire/error_json.h"

namespace sonavert::cloud {

ChangeFeed::ChangeFeed(CloudStorage& storage, ZoneOperations& zones, const ChangeTokenCodec& tokens,
                       qint64 maxAnswerBytes)
    : m_storage(storage)
    , m_zones(zones)
    , m_tokens(tokens)
    , m_maxAnswerBytes(maxAnswerBytes) {}

Result<ChangeFeed::ZoneRequest> ChangeFeed::zoneRequestOf(const QJsonArray& zones,
                                                          qsizetype index) {
    auto item = json_fields::objectAt(zones, index, QStringLiteral("zones"));
    SONAVERT_TRY(item);
    auto zoneID = json_fields::requiredObject(item.value(), QStringLiteral("zoneID"));
    SONAVERT_TRY(zoneID);
    auto zoneName = ZoneOperations::zoneNameOf(zoneID.value());
    SONAVERT_TRY(zoneName);
    auto token = json_fields::optionalString(item.value(), QStringLiteral("syncToken"));
    SONAVERT_TRY(token);
    auto limit = json_fields::optionalInteger(item.value(), QStringLiteral("resultsLimit"));
    SONAVERT_TRY(limit);
    if (limit.value() && *limit.value() < 1)
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("\"resultsLimit\" must be at least 1"));
    const int resultsLimit =
        static_cast<int>(std::min<qint64>(limit.value().value_or(kMaxResults), kMaxResults));
    return ZoneRequest{zoneName.value(), token.value(), resultsLimit};
}

Result<JsonAnswer> ChangeFeed::fetch(const DatabaseScope& scope, const QJsonObject& body) {
    auto items = boundedItems(body, QStringLiteral("zones"));
    SONAVERT_TRY(items);
    QList<ZoneRequest> requests;
    QStringList zoneNames;
    for (qsizetype i = 0; i < items.value().size(); ++i) {
        auto request = zoneRequestOf(items.value(), i);
        SONAVERT_TRY(request);
        requests.append(request.value());
        zoneNames.append(request.value().zoneName);
    }
    SONAVERT_TRY(refuseDuplicates(zoneNames, QStringLiteral("zone")));
    JsonWriter out;
    out.beginObject().key(QLatin1StringView("zones")).beginArray();
    // One budget for the whole answer: zones past it answer an empty page with moreComing.
    qint64 budget = m_maxAnswerBytes;
    for (const ZoneRequest& request : requests) {
        const Status zone = fetchZone(scope, request, budget, out);
        if (!zone && !serverErrorCodeOf(zone.error()))
            return zone.error();
        if (!zone)
            out.object(errorToJson(zone.error(), QJsonObject{{QStringLiteral("zoneID"),
                                                              zoneIdJson(request.zoneName)}}));
    }
    out.endArray().endObject();
    return JsonAnswer::written(out.take());
}

Status ChangeFeed::fetchZone(const DatabaseScope& scope, const ZoneRequest& request, qint64& budget,
                             JsonWriter& out) {
    auto zone = m_zones.liveZone(scope, request.zoneName);
    SONAVERT_TRY(zone);
    auto start = startSequence(zone.value(), request.syncToken);
    SONAVERT_TRY(start);
    // Without a token the client has nothing to forget, so tombstones are left out.
    auto page =
        m_storage.changesSince(zone.value().zoneId, start.value(), zone.value().lastSequence,
                               request.resultsLimit, request.syncToken.has_value(), budget);
    SONAVERT_TRY(page);
    const QString token = m_tokens.encode({zone.value().zoneId, page.value().nextSequence});
    out.beginObject();
    out.key(QLatin1StringView("zoneID")).object(zoneIdJson(request.zoneName));
    out.key(QLatin1StringView("syncToken")).string(token);
    out.key(QLatin1StringView("moreComing")).boolean(page.value().moreComing);
    out.key(QLatin1StringView("records")).beginArray();
    for (const StoredRecord& stored : page.value().records) {
        budget -= stored.storedBytes;
        if (stored.isDeleted)
            out.object(deletedRecordJson(stored.record.recordName));
        else
            writeRecord(out, stored.record);
    }
    out.endArray().endObject();
    return {};
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
