// Presence fetch and peer liveness: incremental zone changes, the peer map, and the two-sided
// session handshake that decides online, connecting or offline.

#include "src/cloud/cloud_kit_handoff_service_p.h"
#include "src/desktop/user_defaults.h"
#include "src/model/device_roster_store.h"
#include "src/model/record_json.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace sonavert {

using namespace clouddb;
using namespace detail;

namespace {

QMap<QString, QString> decodeObservedSessions(const std::optional<QString>& text) {
    QMap<QString, QString> observed;
    if (!text)
        return observed;
    const QJsonDocument document = QJsonDocument::fromJson(text->toUtf8());
    if (!document.isObject())
        return observed;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return {};
        observed.insert(it.key(), it.value().toString());
    }
    return observed;
}

/// The peer entry of a presence record, or nothing for a record that is not one.
std::optional<PeerEntry> peerEntryOf(const CloudRecord& record) {
    const auto deviceID = record.string(QStringLiteral("deviceID"));
    const auto name = record.string(QStringLiteral("deviceName"));
    const auto session = record.string(QStringLiteral("sessionID"));
    const auto lastSeen = record.timestamp(QStringLiteral("lastSeen"));
    if (record.recordType != QLatin1String("DevicePresence") || !deviceID || !name || !session ||
        !lastSeen)
        return std::nullopt;
    PeerEntry entry;
    entry.device.id = *deviceID;
    entry.device.name = *name;
    entry.device.lastSeen = *lastSeen;
    entry.device.sessionID = *session;
    if (const auto nowPlaying = record.string(QStringLiteral("nowPlaying")))
        entry.device.nowPlaying = decodePlaybackState(nowPlaying->toUtf8());
    entry.device.presence = DevicePresence::Offline;
    entry.sessionID = *session;
    entry.observedSessions =
        decodeObservedSessions(record.string(QStringLiteral("observedSessions")));
    entry.serverModDate = record.modified.value_or(*lastSeen);
    const auto isOnline = record.integer(QStringLiteral("isOnline"));
    entry.isOnlineFlag = !isOnline || *isOnline != 0;
    return entry;
}

} // namespace

QCoro::Task<Result<ZoneSnapshot>>
CloudKitHandoffService::fetchZoneChanges(std::optional<QByteArray> token) {
    auto database = m_database;
    const auto changes =
        co_await database->fetchZoneChanges(m_presenceZone, token, requestOptions());
    ZoneSnapshot snapshot;
    if (!changes) {
        if (!isCloudError(changes.error(), CloudErrorCode::ChangeTokenExpired))
            co_return changes.error();
        snapshot.isTokenExpired = true;
        co_return snapshot;
    }
    for (const CloudRecord& record : changes.value().changed)
        if (auto entry = peerEntryOf(record))
            snapshot.updated.insert_or_assign(record.recordName, std::move(*entry));
    for (const QString& name : changes.value().deleted) {
        snapshot.deleted.insert(name);
        snapshot.updated.erase(name);
    }
    if (!changes.value().token.isEmpty())
        snapshot.newToken = changes.value().token;
    co_return snapshot;
}

QCoro::Task<Result<ZoneSnapshot>> CloudKitHandoffService::fetchPresenceSnapshot() {
    const std::stop_token stop = m_tasks.token();
    auto first = co_await withZoneRecovery<ZoneSnapshot>(
        [this] { return fetchZoneChanges(m_presenceSessionToken); });
    if (stop.stop_requested() || !first || !first.value().isTokenExpired)
        co_return first;
    // The server no longer knows where we were: start over from the beginning, once.
    m_presenceSessionToken.reset();
    m_defaults->removeObject(kChangeTokenKey);
    m_peerMap.clear();
    co_return co_await fetchZoneChanges(std::nullopt);
}

void CloudKitHandoffService::applySnapshot(const ZoneSnapshot& snapshot) {
    m_hasFetchedPresenceThisSession = true;
    m_seededObservedSessions.clear();
    for (const auto& [name, entry] : snapshot.updated)
        m_peerMap.insert_or_assign(name, entry);
    for (const QString& name : snapshot.deleted)
        m_peerMap.erase(name);
    if (snapshot.newToken) {
        m_presenceSessionToken = snapshot.newToken;
        persistChangeToken(*snapshot.newToken);
    }
}

void CloudKitHandoffService::persistChangeToken(const QByteArray& token) {
    m_defaults->setData(kChangeTokenKey, archiveChangeToken(token));
}

QCoro::Task<Result<DeviceList>> CloudKitHandoffService::fetchPresence(QString deviceID) {
    const std::stop_token stop = m_tasks.token();
    SONAVERT_CO_TRY(co_await ensureAccountAvailable());
    if (stop.stop_requested())
        co_return DeviceList();
    const auto snapshot = co_await fetchPresenceSnapshot();
    if (stop.stop_requested())
        co_return DeviceList();
    SONAVERT_CO_TRY(snapshot);
    applySnapshot(snapshot.value());
    const DeviceList listed = peerDevices(deviceID, true);
    const auto online = std::count_if(listed.begin(), listed.end(), [](const AppDevice& d) {
        return d.presence == DevicePresence::Online;
    });
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_fetch_summary device_id=%{public}s zone_changed=%{public}ld "
             "zone_deleted=%{public}ld "
             "peers_known=%{public}ld pending_handshakes=%{public}ld online=%{public}ld "
             "listed=%{public}ld",
             shortID(deviceID), snapshot.value().updated.size(), snapshot.value().deleted.size(),
             m_peerMap.size(), m_pendingHandshakes, online, listed.size());
    co_return listed;
}

QCoro::Task<DeviceList> CloudKitHandoffService::peerDevices(QString deviceID) {
    co_return peerDevices(deviceID, false);
}

DeviceList CloudKitHandoffService::peerDevices(const QString& deviceID, bool shouldLog) {
    const Timestamp now = m_clock->now();
    const Timestamp cutoff = now.addSeconds(m_serverClockOffset - kFreshnessWindowSeconds);
    int pending = 0;
    DeviceList devices;
    for (const auto& [name, entry] : m_peerMap) {
        if (entry.device.id == deviceID)
            continue;
        const bool isAckedHere =
            m_lastPublishedObservedSessions.contains(entry.device.id) &&
            m_lastPublishedObservedSessions.value(entry.device.id) == entry.sessionID;
        const bool isAckedThere = entry.observedSessions.contains(deviceID) &&
                                  entry.observedSessions.value(deviceID) == m_sessionID;
        const bool isFresh = entry.isOnlineFlag && entry.serverModDate > cutoff;
        AppDevice device = entry.device;
        if (!isFresh) {
            device.presence = DevicePresence::Offline;
            device.nowPlaying.reset();
        } else if (isAckedHere && isAckedThere) {
            device.presence = DevicePresence::Online;
        } else {
            device.presence = DevicePresence::Connecting;
            ++pending;
            if (shouldLog)
                logEvent(LogCategory::CloudKit, LogLevel::Default,
                         "event=presence_peer_connecting peer_device_id=%{public}s "
                         "peer_session_id=%{public}s "
                         "local_ack=%{bool,public}d peer_ack=%{bool,public}d "
                         "peer_saw_device_ids=%{public}s "
                         "heartbeat_age_seconds=%{public}f",
                         shortID(entry.device.id), shortID(entry.sessionID), isAckedHere,
                         isAckedThere, shortIDList(entry.observedSessions.keys()),
                         now.secondsSince(entry.serverModDate));
        }
        devices.append(device);
    }
    m_pendingHandshakes = pending;
    std::stable_sort(devices.begin(), devices.end(), [](const AppDevice& a, const AppDevice& b) {
        return rosterNameLess(a.name, b.name);
    });
    return devices;
}

QCoro::Task<> CloudKitHandoffService::noteNearbyPeer(QString peerID, QString peerName,
                                                     QString peerSessionID, QString localSessionID,
                                                     QString deviceID) {
    // Only an advertisement of this very run counts: an older session's would acknowledge
    // a handshake this run never made.
    if (localSessionID != m_sessionID)
        co_return;
    const Timestamp now = m_clock->now();
    PeerEntry entry;
    entry.device.id = peerID;
    entry.device.name = peerName;
    entry.device.lastSeen = now;
    entry.device.sessionID = peerSessionID;
    entry.device.presence = DevicePresence::Online;
    entry.sessionID = peerSessionID;
    entry.observedSessions.insert(deviceID, localSessionID);
    entry.serverModDate = now.addSeconds(m_serverClockOffset);
    entry.isOnlineFlag = true;
    m_peerMap.insert_or_assign(presenceRecordName(peerID), entry);
    m_lastPublishedObservedSessions.insert(peerID, peerSessionID);
}

QCoro::Task<> CloudKitHandoffService::seedObservedSessions(QMap<QString, QString> sessions) {
    if (!m_hasFetchedPresenceThisSession && m_peerMap.empty())
        m_seededObservedSessions = sessions;
    co_return;
}

} // namespace sonavert
