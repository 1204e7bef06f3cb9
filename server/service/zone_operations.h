#pragma once

#include "server/storage/cloud_storage.h"

namespace sonavert::cloud {

/// Zones of a private database: which exist, creation and deletion, and the rule that the
/// default zone always exists.
class ZoneOperations {
public:
    explicit ZoneOperations(CloudStorage& storage);

    /// The zone named by an optional {"zoneName"} object (default zone when absent).
    static Result<QString> zoneNameOf(const std::optional<QJsonObject>& zoneID);

    /// The live zone, or ZONE_NOT_FOUND / USER_DELETED_ZONE.
    Result<ZoneState> liveZone(const DatabaseScope& scope, const QString& zoneName);
    /// zones/modify
    Result<QJsonObject> modify(const DatabaseScope& scope, const QJsonObject& body);
    /// Deletes a zone as its owner would, so the next access reports USER_DELETED_ZONE.
    Status deleteByUser(const DatabaseScope& scope, const QString& zoneName);

private:
    Result<QJsonObject> createZone(const DatabaseScope& scope, const QString& zoneName);
    Result<QJsonObject> deleteZone(const DatabaseScope& scope, const QString& zoneName);

    CloudStorage& m_storage;
};

} // namespace sonavert::cloud
