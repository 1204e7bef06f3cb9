// This device's presence record: publication, marking offline, the server clock estimate and
// the discovery wakes.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/model/device_identity_store.h"
#include "src/model/record_json.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

const QString kPresenceType = QStringLiteral("DevicePresence");

QString observedSessionsJson(const QMap<QString, QString>& observed) {
    QJsonObject object;
    for (auto it = observed.begin(); it != observed.end(); ++it)
        object.insert(it.key(), it.value());
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

CloudRecord discoveryWakeRecord(const QString& deviceID, const QString& peerID, Timestamp now) {
    return CloudRecord{QStringLiteral("discovery_") + deviceID + QLatin1Char('_') + peerID,
                       QStringLiteral("HandoffCommand"),
                       {{QStringLiteral("targetDeviceID"), FieldValue(peerID)},
                        {QStringLiteral("messageID"), FieldValue(makeUpperCaseUUID())},
                        {QStringLiteral("schemaVersion"), FieldValue(qint64(1))},
                        {QStringLiteral("payload"), FieldValue(QStringLiteral("{}"))},
                        {QStringLiteral("timestamp"), FieldValue(now)}},
                       std::nullopt,
                       std::nullopt};
}

CloudRecord presenceRecord(const QString& deviceID, const QString& sessionID, Timestamp now,
                           bool isOnline) {
    CloudRecord record{CloudKitHandoffService::presenceRecordName(deviceID),
                       kPresenceType,
                       {},
                       std::nullopt,
                       std::nullopt};
    record.fields.insert(QStringLiteral("deviceID"), FieldValue(deviceID));
    record.fields.insert(QStringLiteral("sessionID"), FieldValue(sessionID));
    record.fields.insert(QStringLiteral("lastSeen"), FieldValue(now));
    record.fields.insert(QStringLiteral("isOnline"), FieldValue(qint64(isOnline ? 1 : 0)));
    return record;
}

// What others show of this device: the song, not how to reach it. An offer's secret belongs
// in the command to the one computer it is for, and a stream's long URL would outgrow the
// padding and tell the server a stream plays.
PlaybackState shownInPresence(PlaybackState state) {
    state.streamURL.reset();
    state.offer.reset();
    return state;
}

CloudRecord publishedRecord(const QString& deviceID, const QString& deviceName,
                            const QString& sessionID, Timestamp now,
                            const QMap<QString, QString>& observed,
                            const std::optional<PlaybackState>& nowPlaying) {
    CloudRecord record = presenceRecord(deviceID, sessionID, now, true);
    record.fields.insert(QStringLiteral("deviceName"), FieldValue(deviceName));
    record.fields.insert(QStringLiteral("observedSessions"),
                         FieldValue(observedSessionsJson(observed)));
    // Always there, empty without a playback state (or with one JSON cannot carry): sealed and
    // padded like a song, so the server cannot tell from the record whether anything plays.
    // Readers take the empty text as nothing playing.
    const auto json = nowPlaying ? encodeJson(shownInPresence(*nowPlaying)) : std::nullopt;
    record.fields.insert(QStringLiteral("nowPlaying"),
                         FieldValue(json ? QString::fromUtf8(*json) : QString()));
    return record;
}

RecordSave offlineSave(const QString& deviceID, const QString& sessionID, Timestamp now) {
    return RecordSave{presenceRecord(deviceID, sessionID, now, false),
                      QStringList{QStringLiteral("nowPlaying")}};
}

} // namespace

QMap<QString, QString>
CloudKitHandoffService::observedSessionsToPublish(const QString& deviceID) const {
    const Timestamp cutoff =
        m_clock->now().addSeconds(m_serverClockOffset - kFreshnessWindowSeconds);
    QMap<QString, QString> observed = m_seededObservedSessions;
    observed.remove(deviceID);
    for (const auto& [name, entry] : m_peerMap)
        if (entry.device.id != deviceID && entry.serverModDate > cutoff)
            observed.insert(entry.device.id, entry.sessionID);
    return observed;
}

QCoro::Task<Result<CloudRecord>> CloudKitHandoffService::savePresenceRecord(RecordSave save,
                                                                            SavePolicy policy) {
    auto database = m_database;
    const QString name = save.record.recordName;
    const ModifyResult result = co_await database->modifyRecords(
        m_presenceZone, listOf(save), QStringList(), policy, requestOptions());
    const auto own = std::find_if(result.outcomes.begin(), result.outcomes.end(),
                                  [&](const RecordOutcome& o) { return o.recordName == name; });
    if (own != result.outcomes.end() && own->error)
        co_return *own->error;
    SONAVERT_CO_TRY(result.overall);
    if (own == result.outcomes.end() || !own->saved)
        co_return cloudError(CloudErrorCode::InternalError);
    co_return CloudRecord(*own->saved);
}

void CloudKitHandoffService::updateClockOffset(const CloudRecord& saved, Timestamp start,
                                               Timestamp end) {
    if (!saved.modified)
        return;
    const Timestamp midpoint = start.addSeconds(end.secondsSince(start) * 0.5);
    m_serverClockOffset = saved.modified->secondsSince(midpoint);
}

QCoro::Task<Status>
CloudKitHandoffService::publishPresence(QString deviceID, QString deviceName,
                                        std::optional<PlaybackState> nowPlaying) {
    const std::stop_token stop = m_tasks.token();
    const QMap<QString, QString> observed = observedSessionsToPublish(deviceID);
    // Built as a named value: g++ 12 destroys a braced temporary inside a co_await expression
    // twice, which frees shared data still in use.
    const RecordSave save{
        publishedRecord(deviceID, deviceName, m_sessionID, m_clock->now(), observed, nowPlaying),
        QStringList()};
    const Timestamp start = m_clock->now();
    const auto saved = co_await savePresenceRecord(save, SavePolicy::AllKeys);
    if (stop.stop_requested())
        co_return Status();
    SONAVERT_CO_TRY(saved);
    updateClockOffset(saved.value(), start, m_clock->now());
    m_lastPublishedObservedSessions = observed;
    sendDiscoveryWakes(observed, deviceID);
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_published device_id=%{public}s session_id=%{public}s "
             "observed_peers=%{public}ld "
             "acked_device_ids=%{public}s clock_offset_seconds=%{public}f",
             shortID(deviceID), shortID(m_sessionID), observed.size(), shortIDList(observed.keys()),
             m_serverClockOffset);
    co_return Status();
}

QCoro::Task<Status> CloudKitHandoffService::markOffline(QString deviceID) {
    const std::stop_token stop = m_tasks.token();
    SONAVERT_CO_TRY(co_await ensureAccountAvailable());
    if (stop.stop_requested())
        co_return Status();
    if (const Status zone = co_await ensurePresenceZone(); !zone)
        co_return zone;
    if (stop.stop_requested())
        co_return Status();
    // Changed keys only: the server keeps the stored name and observed sessions.
    const auto saved = co_await savePresenceRecord(
        offlineSave(deviceID, m_sessionID, m_clock->now()), SavePolicy::ChangedKeys);
    SONAVERT_CO_TRY(saved);
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_marked_offline device_id=%{public}s", shortID(deviceID));
    co_return Status();
}

void CloudKitHandoffService::sendDiscoveryWakes(const QMap<QString, QString>& observed,
                                                const QString& deviceID) {
    for (auto it = observed.begin(); it != observed.end(); ++it) {
        if (m_notifiedPeerSessions.value(it.key()) == it.value() &&
            m_notifiedPeerSessions.contains(it.key()))
            continue;
        // Noted before the send, so a failed wake is not repeated for the same session.
        m_notifiedPeerSessions.insert(it.key(), it.value());
        sendDiscoveryWake(discoveryWakeRecord(deviceID, it.key(), m_clock->now()), it.key());
    }
}

QCoro::Task<> CloudKitHandoffService::sendDiscoveryWake(CloudRecord wake, QString peerID) {
    const std::stop_token stop = m_tasks.token();
    const QString name = wake.recordName;
    const Result<int> sent =
        co_await publishWithRetry(listOf(wake), name, QStringLiteral("discovery"));
    if (stop.stop_requested())
        co_return;
    if (sent)
        logEvent(LogCategory::CloudKit, LogLevel::Default,
                 "event=discovery_wake_sent peer_device_id=%{public}s", shortID(peerID));
    else
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=discovery_wake_failed error=%{private}s", sent.error().description);
}

} // namespace sonavert
