#pragma once

#include "server/service/change_token_codec.h"
#include "server/storage/cloud_storage.h"

namespace sonavert::cloud {

class ZoneOperations;

/// changes/zone: what changed in a zone since a change token, page by page.
class ChangeFeed {
public:
    ChangeFeed(CloudStorage& storage, ZoneOperations& zones, const ChangeTokenCodec& tokens,
               qint64 maxAnswerBytes);

    /// The answer is written out, its records' fields as stored.
    Result<JsonAnswer> fetch(const DatabaseScope& scope, const QJsonObject& body);

    /// At most this many records per zone and answer, and the default.
    static constexpr int kMaxResults = 200;

private:
    struct ZoneRequest {
        QString zoneName;
        std::optional<QString> syncToken;
        int resultsLimit = kMaxResults;
    };
    static Result<ZoneRequest> zoneRequestOf(const QJsonArray& zones, qsizetype index);
    /// One zone's page written to `out`, its records taking at most what is left of `budget`
    /// (and lowering it). Nothing is written when it fails.
    Status fetchZone(const DatabaseScope& scope, const ZoneRequest& request, qint64& budget,
                     JsonWriter& out);
    Result<qint64> startSequence(const ZoneState& zone, const std::optional<QString>& token) const;

    CloudStorage& m_storage;
    ZoneOperations& m_zones;
    const ChangeTokenCodec& m_tokens;
    qint64 m_maxAnswerBytes;
};

} // namespace sonavert::cloud
