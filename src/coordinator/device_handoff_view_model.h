#pragma once

#include "src/coordinator/account_key_protocol.h"
#include "src/coordinator/coalescing_gate.h"
#include "src/coordinator/handoff_service_protocol.h"
#include "src/coordinator/music_playback_service_protocol.h"
#include "src/coordinator/nearby_discovery_protocol.h"
#include "src/model/app_device.h"
#include "src/model/device_roster_store.h"
#include "src/runtime/clock.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/task_handle.h"

#include <QObject>
#include <QSet>
#include <memory>
#include <optional>

namespace sonavert {

class UserDefaults;

/// The one coordinator: owns the device list and the state the window shows, and keeps the
/// presence and playback loops running. Lives on the main thread; every published write
/// happens there and is announced by its change signal.
class DeviceHandoffViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isTransferring READ isTransferring NOTIFY isTransferringChanged)
    Q_PROPERTY(bool isPulling READ isPulling NOTIFY isPullingChanged)
    Q_PROPERTY(bool shouldRequestReview READ shouldRequestReview NOTIFY shouldRequestReviewChanged)
    Q_PROPERTY(bool isDiscovering READ isDiscovering NOTIFY isDiscoveringChanged)

public:
    /// What the coordinator works through. The services are shared so that a background task
    /// can finish a call it started even while the coordinator itself goes away.
    struct Dependencies {
        std::shared_ptr<MusicPlaybackServiceProtocol> musicService;
        std::shared_ptr<HandoffServiceProtocol> handoffService;
        std::shared_ptr<DeviceRosterStore> rosterStore;
        std::shared_ptr<Clock> clock;
        NearbyDiscoveryFactory makeNearbyDiscovery; ///< may be empty: no nearby discovery
        std::shared_ptr<UserDefaults> defaults;     ///< the transfer count
        /// May be null: every computer counts as holding the account's key.
        std::shared_ptr<AccountKeyProtocol> accountKeys;
    };

    /// How long a pull waits for the other device's answer.
    static constexpr Duration kPullTimeout = 30s;

    /// `thisDevice` is built by `makeThisDevice` from the identity resolved at start-up.
    DeviceHandoffViewModel(Dependencies dependencies, AppDevice thisDevice, bool startImmediately,
                           QObject* parent = nullptr);
    ~DeviceHandoffViewModel() override;

    /// This device as the coordinator knows it: online, nothing playing, not a favourite.
    static AppDevice makeThisDevice(const QString& id, const QString& name, Timestamp now);

    const DeviceList& devices() const { return m_devices; }
    const QSet<QString>& queuedPushTargets() const { return m_queuedPushTargets; }
    /// The listed computers known to be signed in without the account's key.
    const QSet<QString>& unverifiedDevices() const { return m_unverifiedDevices; }
    const std::optional<PlaybackState>& currentState() const { return m_currentState; }
    bool isTransferring() const { return m_isTransferring; }
    bool isPulling() const { return m_isPulling; }
    const std::optional<QString>& activityLabel() const { return m_activityLabel; }
    const std::optional<QString>& transferError() const { return m_transferError; }
    const std::optional<QString>& syncError() const { return m_syncError; }
    bool shouldRequestReview() const { return m_shouldRequestReview; }
    bool isDiscovering() const { return m_isDiscovering; }
    const AppDevice& thisDevice() const { return m_thisDevice; }

    /// Starts the loops; does nothing while they already run.
    void start();
    /// Cancels the loops and nearby discovery; `start` may run again afterwards.
    void stop();
    /// Whether the loops run (started and not stopped since).
    bool isRunning() const;
    /// While no account is signed in there is nothing to ask the server: stops the loops and
    /// shows `reason` where sync errors show, until `start`.
    void pauseWithoutAccount(const QString& reason);
    /// Stops, then marks this device offline in the cloud. The returned task ends when the
    /// mark has been sent (or failed); callers that are about to exit should wait for it,
    /// briefly, so peers do not keep listing this device as present.
    QCoro::Task<> shutdown();
    /// One presence pass: fetch, publish, error text, queued pushes.
    QCoro::Task<> syncPresence();
    void toggleFavorite(const AppDevice& device);
    void forget(const AppDevice& device);
    /// Sends this device's playback to `target` and pauses here. Refused, with nothing
    /// written, when either computer lacks the account's key: `target` could not open it.
    QCoro::Task<> transfer(AppDevice target);
    /// Asks `source` to send its playback here; waits up to kPullTimeout for it. Refused like
    /// a push when either computer lacks the account's key.
    QCoro::Task<> pull(AppDevice source);
    /// Answers a pull request addressed here; true when one was answered. While this device
    /// pulls, also takes the source's answer that it plays nothing. A call while one runs
    /// gives false at once and makes the running one check once more.
    QCoro::Task<bool> respondToPendingPull();
    /// Takes and plays a handoff addressed here; true when one was resumed. A call while one
    /// runs gives false at once and makes the running one check once more.
    QCoro::Task<bool> consumePendingHandoff();
    /// Ends a waiting pull (its answer arrived, or it is given up).
    void finishPull();
    /// The window closes the error banner (nothing) and takes a review request (false).
    void setTransferError(std::optional<QString> text);
    void setShouldRequestReview(bool value);

    /// Background handling of remote notifications: a pass is running, and another was
    /// asked for while it ran.
    bool isReceiving = false;
    bool receptionRequested = false;

Q_SIGNALS:
    void devicesChanged();
    void queuedPushTargetsChanged();
    void currentStateChanged();
    void isTransferringChanged();
    void isPullingChanged();
    void activityLabelChanged();
    void transferErrorChanged();
    void syncErrorChanged();
    void shouldRequestReviewChanged();
    void isDiscoveringChanged();
    /// A presence pass (the first one or a later `syncPresence`) has finished.
    void presencePassCompleted();
    /// A pull this device asked for is over: refused, not sent, given up, answered with
    /// nothing playing, or its playback resumed here (or failed to). `transferError` says
    /// which of the failures it was.
    void pullEnded();

private:
    void setIsTransferring(bool value);
    void setIsPulling(bool value);
    /// Ends a waiting pull that brought no playback, with `error` on show.
    void endPull(const QString& error);
    void setActivityLabel(std::optional<QString> text);
    void countTransfer();
    void pauseSource();
    static void restoreSource(const std::shared_ptr<MusicPlaybackServiceProtocol>& music);
    QCoro::Task<> republishPresence(EventFormat<QString> failureEvent, LogCategory category,
                                    std::optional<EventFormat<>> successEvent);
    QCoro::Task<> runPullTimeout(QString sourceName, std::stop_token token);
    QCoro::Task<bool> answerPullRequest();
    QCoro::Task<bool> consumeHandoffOnce();
    QCoro::Task<> takePullUnavailable();

    // Handing a handoff back to its sender when it cannot start here.
    PlaybackState returnable(PlaybackState state, const QString& targetID, Duration capturedAt);
    PlaybackState atReturnPosition(PlaybackState state);
    void showHandedBack(const PlaybackState& state);
    QCoro::Task<> handBack(PlaybackState state, QString reason, Duration takenAt);
    QCoro::Task<> runCommandLoop(std::stop_token token);
    void setDevices(DeviceList devices);
    void setQueuedPushTargets(QSet<QString> targets);
    void setCurrentState(std::optional<PlaybackState> state);
    void setSyncError(std::optional<QString> text);
    void setIsDiscovering(bool value);
    void applyIncomingDevices(const DeviceList& incoming);
    void handleNearbyPeer(const NearbyPeer& peer);

    QCoro::Task<> runSubscriptionSetup();
    QCoro::Task<> runStartup();
    QCoro::Task<> runPlaybackLoop(std::stop_token token);
    QCoro::Task<> runPresenceLoop(std::stop_token token);
    QCoro::Task<> runFirstPresencePass();
    QCoro::Task<> runInitialPublish();
    QCoro::Task<std::optional<QString>> runRefreshStep();
    QCoro::Task<std::optional<QString>> runPublishStep();
    QCoro::Task<> runNearbyPeer(NearbyPeer peer);
    QCoro::Task<> refreshQueuedPushes();
    /// Reads which computers hold the account's key, unless every listed one is known to.
    QCoro::Task<> refreshKeyHolding();
    void applyKeyHolding(KeyHolding holding);
    enum class Direction { Push, Pull };
    /// Why moving playback to or from `other` cannot work, after a fresh look at the keys;
    /// nothing when it can.
    QCoro::Task<std::optional<QString>> keyRefusal(AppDevice other, Direction direction);

    Dependencies m_deps;
    AppDevice m_thisDevice;

    DeviceList m_devices;
    QSet<QString> m_queuedPushTargets;
    KeyHolding m_keyHolding;
    QSet<QString> m_unverifiedDevices;
    std::optional<PlaybackState> m_currentState;
    bool m_isTransferring = false;
    bool m_isPulling = false;
    std::optional<QString> m_activityLabel;
    std::optional<QString> m_transferError;
    std::optional<QString> m_syncError;
    bool m_shouldRequestReview = false;
    bool m_isDiscovering = false;

    std::optional<TaskHandle> m_pollingTask;
    std::optional<TaskHandle> m_playbackPollingTask;
    std::optional<TaskHandle> m_subscriptionTask;
    std::optional<TaskHandle> m_commandPollingTask;
    std::optional<TaskHandle> m_pullTimeoutTask;
    CoalescingGate m_handoffCheck;
    CoalescingGate m_pullCheck;
    QString m_pullSourceID; ///< the device the running pull waits for
    QString m_pullSourceName;

    /// The last handoff sent that its receiver would hand back: what was sent, to whom, and
    /// when it was captured here, so a handed-back song continues where it would be by now.
    struct ReturnableSend {
        PlaybackState state;
        QString targetID;
        Duration capturedAt{};
    };
    std::optional<ReturnableSend> m_returnableSend;
    std::unique_ptr<NearbyDiscoveryProtocol> m_nearbyDiscovery;
    QString m_nearbySessionID;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
