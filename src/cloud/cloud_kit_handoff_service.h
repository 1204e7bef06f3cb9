#pragma once

#include "src/cloud/command_record.h"
#include "src/cloud/consumed_message_ledger.h"
#include "src/clouddb/cloud_database.h"
#include "src/coordinator/handoff_service_protocol.h"
#include "src/runtime/clock.h"
#include "src/runtime/shared_task.h"
#include "src/runtime/task_handle.h"

#include <QObject>
#include <QSet>
#include <map>
#include <memory>

namespace sonavert {

class UserDefaults;

/// What the service knows of one presence record.
struct PeerEntry {
    AppDevice device;
    QString sessionID;
    QMap<QString, QString> observedSessions;
    Timestamp serverModDate;
    bool isOnlineFlag = true;
};

/// The result of one presence-zone fetch.
struct ZoneSnapshot {
    std::map<QString, PeerEntry> updated;
    QSet<QString> deleted;
    std::optional<QByteArray> newToken;
    bool isTokenExpired = false;
};

/// The device's one gateway to the user's private cloud database: account check, presence
/// zone, presence publication and fetch with the session handshake, handoff commands, pull
/// requests, their subscriptions, and bounded writes with retries.
///
/// Executor: the service is an actor whose executor is the application's main event loop.
/// Every operation runs there and is suspended only at awaited cloud calls and timers, so its
/// state needs no lock, and operations interleave only at those suspension points, exactly as
/// the calls of an actor would. Concurrent callers of the account check and of the zone
/// creation join the one task in flight (`m_accountCheck`, `m_zoneSetup`). Bounded writes meet
/// their watchdog through a `CompletionGate`, which resumes its caller on this same loop.
class CloudKitHandoffService final : public QObject, public HandoffServiceProtocol {
    Q_OBJECT
public:
    static constexpr double kFreshnessWindowSeconds = 90.0;
    static constexpr double kMaximumCommandAgeSeconds = 60.0;
    static constexpr Duration kRequestTimeout = 15s;
    static constexpr Duration kAttemptTimeout = 8s;
    static constexpr int kMaximumAttempts = 3;

    CloudKitHandoffService(std::shared_ptr<clouddb::CloudDatabase> database,
                           std::shared_ptr<UserDefaults> defaults, std::shared_ptr<Clock> clock,
                           QObject* parent = nullptr);
    ~CloudKitHandoffService() override;

    // HandoffServiceProtocol
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
    QCoro::Task<QString> sessionID() override { co_return QString(m_sessionID); }
    QCoro::Task<int> pendingHandshakes() override { co_return int(m_pendingHandshakes); }

    /// The device signed in to another account, or out: what the service knew of the old one
    /// (its availability, presence zone, change token and peers) no longer holds.
    void accountChanged();

    // Setup and shared record primitives.
    QCoro::Task<Status> ensurePresenceZone();
    static bool isPresenceZoneMissing(const Error& error);
    /// Writes one-shot records with an 8-second watchdog per attempt, up to three attempts;
    /// gives the number of the attempt that succeeded.
    QCoro::Task<Result<int>> publishWithRetry(QList<clouddb::CloudRecord> recordsToSave,
                                              QString correlationID, QString kind);
    QCoro::Task<Status> performPublicationAttempt(QList<clouddb::CloudRecord> recordsToSave);
    QCoro::Task<Result<clouddb::CloudRecord>> fetchTransferRecord(QString recordName);
    QCoro::Task<Status> deleteTransferRecord(QString recordName);
    /// Sends one command record of `kind` (a table entry that outlives the call), built by
    /// `draft`, with the kind's save lines.
    QCoro::Task<Status> sendCommandRecord(const CommandRecordKind* kind, CommandRecordDraft draft);
    /// Fetches, judges, decodes and consumes the command record of `kind` addressed to
    /// `deviceID`; nullopt when there is none or it is invalid or expired. A command whose id
    /// the ledger knows is deleted unplayed, and an accepted one is taken into it (or settled
    /// there at once) before it is deleted from the cloud.
    template <typename T>
    QCoro::Task<Result<std::optional<T>>>
    fetchCommandRecord(const CommandRecordKind* kind, CommandDecoder<T> decode, QString deviceID);
    /// The device list from what the service knows, with the liveness rules applied.
    DeviceList peerDevices(const QString& deviceID, bool shouldLog);

    // Read-only views for diagnostics and tests.
    const QString& currentSessionID() const { return m_sessionID; }
    double serverClockOffset() const { return m_serverClockOffset; }
    const QMap<QString, QString>& lastPublishedObservedSessions() const {
        return m_lastPublishedObservedSessions;
    }
    const std::map<QString, PeerEntry>& peerMap() const { return m_peerMap; }
    const QSet<QString>& outboundSent() const { return m_outboundSent; }
    const std::optional<QByteArray>& presenceSessionToken() const { return m_presenceSessionToken; }
    /// When this run of the service began, on this device's clock.
    Timestamp runStartedAt() const { return m_runStartedAt; }

    static QString presenceRecordName(const QString& deviceID);

private:
    template <typename T>
    QCoro::Task<Result<T>> withZoneRecovery(std::function<QCoro::Task<Result<T>>()> operation);
    QCoro::Task<Result<bool>> checkAccount();
    QCoro::Task<Status> createPresenceZone();
    QCoro::Task<> logPresenceEnvironment();
    void startEnvironmentLog();
    void forgetPresenceZone();
    void persistChangeToken(const QByteArray& token);

    QCoro::Task<Result<clouddb::CloudRecord>> savePresenceRecord(clouddb::RecordSave save,
                                                                 clouddb::SavePolicy policy);
    QMap<QString, QString> observedSessionsToPublish(const QString& deviceID) const;
    void updateClockOffset(const clouddb::CloudRecord& saved, Timestamp start, Timestamp end);
    void sendDiscoveryWakes(const QMap<QString, QString>& observed, const QString& deviceID);
    QCoro::Task<> sendDiscoveryWake(clouddb::CloudRecord wake, QString peerID);

    QCoro::Task<Result<ZoneSnapshot>> fetchZoneChanges(std::optional<QByteArray> token);
    QCoro::Task<Result<ZoneSnapshot>> fetchPresenceSnapshot();
    void applySnapshot(const ZoneSnapshot& snapshot);

    Result<std::optional<PlaybackState>> restoreTakenHandoff(const TakenCommand& taken);
    /// Whether this refusal of `record` is news: false when the same record, unchanged, was
    /// refused before.
    bool noteRefused(const CommandRecordKind& kind, const clouddb::CloudRecord& record,
                     const QString& id);
    QCoro::Task<> consumeCommandRecord(const CommandRecordKind* kind, QString recordName,
                                       QString id);
    QCoro::Task<Status> ensureSubscription(QString subscriptionID, QString recordType,
                                           QString deviceID, QString typeName);

    clouddb::RequestOptions requestOptions(Duration timeout = kRequestTimeout) const;

    std::shared_ptr<clouddb::CloudDatabase> m_database;
    std::shared_ptr<UserDefaults> m_defaults;
    std::shared_ptr<Clock> m_clock;
    const Timestamp m_runStartedAt = m_clock->now();
    ConsumedMessageLedger m_ledger{m_defaults, m_clock};

    const QString m_presenceZone = QStringLiteral("DevicePresenceZone");
    const QString m_sessionID;
    double m_serverClockOffset = 0;
    bool m_isPresenceZoneReady = false;
    std::shared_ptr<SharedTask<Status>> m_zoneSetup;
    std::optional<QByteArray> m_presenceSessionToken;
    std::map<QString, PeerEntry> m_peerMap;
    QMap<QString, QString> m_lastPublishedObservedSessions;
    QMap<QString, QString> m_notifiedPeerSessions;
    QMap<QString, QString> m_seededObservedSessions;
    bool m_hasFetchedPresenceThisSession = false;
    int m_pendingHandshakes = 0;
    QSet<QString> m_outboundSent;
    QSet<QString> m_refusedCommands; ///< records refused and said so, as noteRefused keys them
    static constexpr qsizetype kRefusedCommandsKept = 64;
    bool m_isAccountAvailable = false;
    int m_accountGeneration = 0; ///< counts the account changes
    std::shared_ptr<SharedTask<Result<bool>>> m_accountCheck;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
