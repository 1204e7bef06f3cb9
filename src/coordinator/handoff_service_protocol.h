#pragma once

#include "src/model/app_device.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QMap>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace sonavert {

/// The private database handle that `ensureAccountAvailable` gives. The coordinator only hands
/// it back to the service; what it holds is the service's business.
class PrivateDatabase {
public:
    virtual ~PrivateDatabase() = default;
};
using DatabaseRef = std::shared_ptr<PrivateDatabase>;

/// A presence operation run by `withPresenceZoneRecovery`, possibly twice.
using PresenceOperation = std::function<QCoro::Task<Status>()>;

/// The cloud service as the coordinator uses it. Every operation is awaited; failures are
/// Error values whose description is shown to the user as is. Arguments are taken by value
/// because they must outlive the caller's stack while the operation is suspended.
class HandoffServiceProtocol {
public:
    virtual ~HandoffServiceProtocol() = default;

    /// The private database once the account is usable; concurrent callers share one check.
    virtual QCoro::Task<Result<DatabaseRef>> ensureAccountAvailable() = 0;
    /// Runs `operation` after making sure of the presence zone; recreates a missing zone once.
    virtual QCoro::Task<Status> withPresenceZoneRecovery(DatabaseRef database,
                                                         PresenceOperation operation) = 0;
    virtual QCoro::Task<Status> publishPresence(QString deviceID, QString deviceName,
                                                std::optional<PlaybackState> nowPlaying) = 0;
    /// The other devices with presence, sessions and now-playing.
    virtual QCoro::Task<Result<DeviceList>> fetchPresence(QString deviceID) = 0;
    /// The other devices from what the service knows, without a network fetch.
    virtual QCoro::Task<DeviceList> peerDevices(QString deviceID) = 0;
    /// A peer found on the local network counts as freshly seen and acknowledged.
    virtual QCoro::Task<> noteNearbyPeer(QString peerID, QString peerName, QString peerSessionID,
                                         QString localSessionID, QString deviceID) = 0;
    /// Sessions assumed seen before the first fetch of this run (device id → session id).
    virtual QCoro::Task<> seedObservedSessions(QMap<QString, QString> sessions) = 0;
    virtual QCoro::Task<Status> markOffline(QString deviceID) = 0;
    /// Devices that still have an undelivered handoff command; never fails.
    virtual QCoro::Task<QSet<QString>> fetchQueuedPushTargets() = 0;
    virtual QCoro::Task<Status> removeLegacyPresenceSubscription() = 0;
    virtual QCoro::Task<Status> ensureHandoffSubscription(QString deviceID) = 0;
    virtual QCoro::Task<Status> ensurePullSubscription(QString deviceID) = 0;
    /// Writes a handoff command for `targetDeviceID`; only the newest per target survives.
    virtual QCoro::Task<Status> sendHandoff(PlaybackState state, QString targetDeviceID) = 0;
    /// Takes the handoff command addressed to this device, if there is an acceptable one. A
    /// taken command is given again, even after a restart, until it is settled.
    virtual QCoro::Task<Result<std::optional<PlaybackState>>> fetchHandoff(QString deviceID) = 0;
    /// The received handoff `messageID` was played, or failed with a reason the user was shown:
    /// it is never given again, whoever writes it again.
    virtual void settleHandoff(QString messageID) = 0;
    /// Asks `sourceDeviceID` to hand its playback to `requesterDeviceID`.
    virtual QCoro::Task<Status> sendPullRequest(QString sourceDeviceID,
                                                QString requesterDeviceID) = 0;
    /// Takes the pull request addressed to this device and gives the requester's id.
    virtual QCoro::Task<Result<std::optional<QString>>> fetchPullRequest(QString deviceID) = 0;
    /// Tells `requesterDeviceID` that this device (`sourceDeviceID`) plays nothing to hand over.
    virtual QCoro::Task<Status> sendPullUnavailable(QString requesterDeviceID,
                                                    QString sourceDeviceID) = 0;
    /// Takes such an answer addressed to this device and gives the source's id.
    virtual QCoro::Task<Result<std::optional<QString>>> fetchPullUnavailable(QString deviceID) = 0;
    /// The id of this run of the service (may be empty).
    virtual QCoro::Task<QString> sessionID() = 0;
    /// Peers that announced a new session and wait for this device's acknowledgement.
    virtual QCoro::Task<int> pendingHandshakes() = 0;
};

} // namespace sonavert
