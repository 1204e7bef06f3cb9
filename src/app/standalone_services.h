#pragma once

#include "coordinator/handoff_service_protocol.h"
#include "coordinator/music_playback_service_protocol.h"
#include "model/device_identity_store.h"

namespace sonavert {

/// An in-process cloud for one device: it accepts this device's presence and knows no other
/// device. It lets the coordinator run its loops end to end before the device connects to a
/// cloud server.
class StandaloneHandoffService final : public HandoffServiceProtocol {
public:
    StandaloneHandoffService();

    QCoro::Task<Result<DatabaseRef>> ensureAccountAvailable() override;
    QCoro::Task<Status> withPresenceZoneRecovery(DatabaseRef database,
                                                 PresenceOperation operation) override;
    QCoro::Task<Status> publishPresence(QString deviceID, QString deviceName,
                                        std::optional<PlaybackState> nowPlaying) override;
    QCoro::Task<Result<DeviceList>> fetchPresence(QString deviceID) override;
    QCoro::Task<DeviceList> peerDevices(QString deviceID) override;
    QCoro::Task<> noteNearbyPeer(QString peerID, QString peerName, QString peerSessionID,
                                 QString localSessionID, QString deviceID) override;
    QCoro::Task<> seedObservedSessions(QMap<QString, QString> sessions) override;
    QCoro::Task<Status> markOffline(QString deviceID) override;
    QCoro::Task<QSet<QString>> fetchQueuedPushTargets() override;
    QCoro::Task<Status> removeLegacyPresenceSubscription() override;
    QCoro::Task<Status> ensureHandoffSubscription(QString deviceID) override;
    QCoro::Task<Status> ensurePullSubscription(QString deviceID) override;
    QCoro::Task<Status> sendHandoff(PlaybackState state, QString targetDeviceID) override;
    QCoro::Task<Result<std::optional<PlaybackState>>> fetchHandoff(QString deviceID) override;
    QCoro::Task<Status> sendPullRequest(QString sourceDeviceID, QString requesterDeviceID) override;
    QCoro::Task<Result<std::optional<QString>>> fetchPullRequest(QString deviceID) override;
    QCoro::Task<QString> sessionID() override;
    QCoro::Task<int> pendingHandshakes() override;

    bool isMarkedOffline() const { return m_isOffline; }

private:
    QString m_sessionID;
    bool m_isOffline = false;
};

/// A music player that plays nothing: the device can receive nothing and send nothing until
/// a player backend is configured.
class SilentMusicService final : public MusicPlaybackServiceProtocol {
public:
    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override;
    QCoro::Task<Status> resume(PlaybackState state) override;
    void runAppleScript(QString source) override;
};

/// The identity of a device run with its own profile folder: kept in the profile's user
/// defaults (the fallback key), never in the desktop keyring, so several devices on one
/// machine keep separate identities and throwaway profiles leave nothing behind.
class ProfileOnlyIdentityStore final : public DeviceIdentityStore {
public:
    QCoro::Task<std::optional<QString>> readIdentifier() override;
    QCoro::Task<bool> writeIdentifier(QString identifier) override;
};

} // namespace sonavert
