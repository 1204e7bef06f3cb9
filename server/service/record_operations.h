#pragma once

#include "server/storage/cloud_storage.h"

namespace sonavert {
class Clock;
}

namespace sonavert::cloud {

class ZoneOperations;

/// What records/modify did, for the answer and for the subscriptions it may fire.
struct RecordsModified {
    QJsonObject answer;
    QString zoneName;
    QList<WriteOutcome> outcomes;
};

/// Saving, deleting and looking up records. Every request is checked whole before anything is
/// written, and all its writes land in one transaction.
class RecordOperations {
public:
    RecordOperations(CloudStorage& storage, ZoneOperations& zones, Clock& clock,
                     qint64 maxAnswerBytes);

    /// records/modify
    Result<RecordsModified> modify(const DatabaseScope& scope, const QJsonObject& body);
    /// records/lookup; the answer is written out, the records' fields as stored.
    Result<JsonAnswer> lookup(const DatabaseScope& scope, const QJsonObject& body);

private:
    CloudStorage& m_storage;
    ZoneOperations& m_zones;
    Clock& m_clock;
    qint64 m_maxAnswerBytes;
};

} // namespace sonavert::cloud
