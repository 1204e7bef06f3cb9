#pragma once

#include "src/clouddb/cloud_error.h"
#include "src/coordinator/handoff_service_protocol.h"
#include "src/runtime/clock.h"

#include <QStringList>
#include <deque>

namespace sonavert {

/// A scriptable cloud service: answers from its fields, records every call in `calls`, and
/// can hold any operation for a while on the test's clock (`latency`) so tests can see what
/// runs concurrently. Results queued in a `...Results` deque are used first, one per call;
/// when the deque is empty the matching default is used.
class FakeHandoffService final : public HandoffServiceProtocol {
public:
    explicit FakeHandoffService(std::shared_ptr<Clock> clock);

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
    void settleHandoff(QString messageID) override;
    QCoro::Task<Status> sendPullRequest(QString sourceDeviceID, QString requesterDeviceID) override;
    QCoro::Task<Result<std::optional<QString>>> fetchPullRequest(QString deviceID) override;
    QCoro::Task<Status> sendPullUnavailable(QString requesterDeviceID,
                                            QString sourceDeviceID) override;
    QCoro::Task<Result<std::optional<QString>>> fetchPullUnavailable(QString deviceID) override;
    QCoro::Task<QString> sessionID() override;
    QCoro::Task<int> pendingHandshakes() override;

    /// How many calls of `operation` were made.
    int callCount(const QString& operation) const;
    /// An error of the cloud database, as the real service passes it on.
    static Error cloudError(clouddb::CloudErrorCode code, const QString& description);

    QStringList calls;         ///< "operation" or "operation:detail" per call, in call order
    QList<Duration> callTimes; ///< monotonic time of each entry of `calls`
    /// Monotonic times of the calls of one operation.
    QList<Duration> timesOf(const QString& operation) const;
    QMap<QString, Duration> latency; ///< per operation name

    Status accountStatus;
    std::deque<Status> publishResults;
    std::deque<Result<DeviceList>> fetchResults;
    DeviceList fetchDefault;
    DeviceList peers;
    QSet<QString> queuedTargets;
    QString session = "5E55105E-0000-4000-8000-000000000001";
    int pendingHandshakeCount = 0;
    Status handoffSubscriptionStatus;

    Status sendHandoffStatus;
    QList<std::pair<PlaybackState, QString>> sentHandoffs; ///< state, target
    std::deque<Result<std::optional<PlaybackState>>> handoffResults;
    QStringList settledHandoffs; ///< message ids, in settling order
    Status sendPullStatus;
    QList<std::pair<QString, QString>> sentPullRequests; ///< source, requester
    std::deque<Result<std::optional<QString>>> pullRequestResults;
    QList<std::pair<QString, QString>> sentPullUnavailable; ///< requester, source
    std::deque<Result<std::optional<QString>>> pullUnavailableResults;

    QMap<QString, QString> lastSeeds;
    std::optional<PlaybackState> lastPublishedNowPlaying;
    QStringList markedOffline;

private:
    QCoro::Task<> enter(QString operation, QString detail = {});

    std::shared_ptr<Clock> m_clock;
};

} // namespace sonavert
