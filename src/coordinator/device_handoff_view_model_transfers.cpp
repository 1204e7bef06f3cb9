// Push, pull, pull responses and receiving: the operations that move playback between
// devices. Like the loops, each coroutine checks the coordinator's cancellation after every
// suspension.

#include "src/coordinator/device_handoff_view_model_p.h"
#include "src/desktop/user_defaults.h"

#include <QScopeGuard>

namespace sonavert {

namespace {

const QString kTransferCountKey = QStringLiteral("Tessary.transferCount");
const QString kPauseScript = QStringLiteral("tell application \"Music\" to pause");
const QString kPlayScript = QStringLiteral("tell application \"Music\" to play");
constexpr Duration kLabelSettleDelay = 100ms;

QString messageIDOf(const PlaybackState& state) {
    return state.handoffMessageID.value_or(QStringLiteral("legacy"));
}

} // namespace

void DeviceHandoffViewModel::pauseSource() {
    // Fire and forget: a slow player must never hold up the push.
    m_deps.musicService->runAppleScript(kPauseScript);
}

void DeviceHandoffViewModel::restoreSource(
    const std::shared_ptr<MusicPlaybackServiceProtocol>& music) {
    logEvent(LogCategory::Playback, LogLevel::Info,
             "event=source_play_restored reason=handoff_failed");
    music->runAppleScript(kPlayScript);
}

void DeviceHandoffViewModel::countTransfer() {
    if (!m_deps.defaults)
        return;
    const qint64 count = m_deps.defaults->integer(kTransferCountKey).value_or(0) + 1;
    m_deps.defaults->setInteger(kTransferCountKey, count);
    if (count % 5 == 0)
        setShouldRequestReview(true);
}

QCoro::Task<std::optional<QString>> DeviceHandoffViewModel::keyRefusal(AppDevice other,
                                                                       Direction direction) {
    auto keys = m_deps.accountKeys;
    if (!keys)
        co_return std::nullopt;
    const bool isPush = direction == Direction::Push;
    const QString verifyHint =
        QStringLiteral("Verify it from a computer that holds the key: choose Verify on its row "
                       "there, or run 'sonavertctl verify %1'.");
    if (keys->isThisDeviceUnverified())
        co_return (isPush ? QStringLiteral("This computer is not verified yet, so it cannot "
                                           "seal what it plays for %1. ")
                          : QStringLiteral("This computer is not verified yet, so it cannot "
                                           "open what %1 would send. "))
                .arg(other.name) +
            verifyHint.arg(m_thisDevice.name);
    // Read afresh: the list may be a pass behind a verification that just ended, or may not
    // know yet about a computer that has just signed in. Without an answer, the list decides.
    const std::stop_token stop = m_tasks.token();
    const Result<KeyHolding> holding = co_await keys->keyHolding();
    if (stop.stop_requested())
        co_return std::nullopt;
    if (holding)
        applyKeyHolding(holding.value());
    if (!m_unverifiedDevices.contains(other.id))
        co_return std::nullopt;
    logEvent(LogCategory::Handoff, LogLevel::Default,
             "event=transfer_refused reason=unverified direction=%{public}s "
             "device_id=%{private,mask.hash}s",
             isPush ? "push" : "pull", other.id);
    co_return (isPush ? QStringLiteral("%1 is not verified yet, so it could not open what you "
                                       "send. ")
                      : QStringLiteral("%1 is not verified yet, so it cannot send what it "
                                       "plays. "))
            .arg(other.name) +
        verifyHint.arg(other.name);
}

QCoro::Task<> DeviceHandoffViewModel::transfer(AppDevice target) {
    if (m_isTransferring)
        co_return;
    const std::stop_token stop = m_tasks.token();
    auto music = m_deps.musicService;
    auto service = m_deps.handoffService;
    setIsTransferring(true);
    setTransferError(std::nullopt);
    setActivityLabel(QStringLiteral("Sending to %1\u2026").arg(target.name));
    // Before anything is captured, paused or written: a refused push leaves all as it was.
    const std::optional<QString> refusal = co_await keyRefusal(target, Direction::Push);
    if (stop.stop_requested())
        co_return;
    if (refusal) {
        setTransferError(*refusal);
        setIsTransferring(false);
        setActivityLabel(std::nullopt);
        co_return;
    }
    const auto state = co_await music->currentPlaybackState();
    if (stop.stop_requested())
        co_return;
    const Duration capturedAt = m_deps.clock->monotonicNow();
    if (!state) {
        logEvent(LogCategory::Handoff, LogLevel::Default, "event=handoff_capture_empty");
        setTransferError(QStringLiteral("Nothing is playing right now."));
        setIsTransferring(false);
        setActivityLabel(std::nullopt);
        co_return;
    }
    // A queued push waits for a device that is not there: it is never handed back.
    const bool isQueued = target.presence == DevicePresence::Offline;
    const PlaybackState outgoing = isQueued ? *state : returnable(*state, target.id, capturedAt);
    // Stopped here at the captured position before the save, not once it is acknowledged: the
    // other device starts from the captured position, and a save held up by a slow server (up
    // to three 8-second attempts) would otherwise play that stretch here first and again there.
    logEvent(LogCategory::Playback, LogLevel::Info,
             "event=source_pause_started reason=handoff target_device_id=%{private,mask.hash}s "
             "queued=%{bool,public}d",
             target.id, isQueued);
    pauseSource();
    logEvent(LogCategory::Playback, LogLevel::Info, "event=source_pause_completed reason=handoff");
    const Status sent = co_await service->sendHandoff(outgoing, target.id);
    if (!sent)
        restoreSource(music); // nothing was handed over: the music goes on here
    if (stop.stop_requested())
        co_return;
    if (!sent) {
        m_returnableSend.reset();
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_operation_failed error=%{private}s", sent.error().description);
        setTransferError(sent.error().description);
        setIsTransferring(false);
        setActivityLabel(std::nullopt);
        co_return;
    }
    if (isQueued) {
        QSet<QString> targets = m_queuedPushTargets;
        targets.insert(target.id);
        setQueuedPushTargets(targets);
        DeviceList devices = m_devices;
        for (auto& device : devices)
            if (device.id == target.id)
                device.hasQueuedPush = true;
        setDevices(std::move(devices));
    }
    setCurrentState(std::nullopt);
    countTransfer();
    setIsTransferring(false);
    setActivityLabel(std::nullopt);
}

QCoro::Task<> DeviceHandoffViewModel::pull(AppDevice source) {
    if (m_isTransferring || m_isPulling)
        co_return;
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    setIsPulling(true);
    setTransferError(std::nullopt);
    setActivityLabel(QStringLiteral("Pulling from %1\u2026").arg(source.name));
    const std::optional<QString> refusal = co_await keyRefusal(source, Direction::Pull);
    if (stop.stop_requested())
        co_return;
    if (refusal) {
        endPull(*refusal);
        co_return;
    }
    m_pullSourceID = source.id;
    m_pullSourceName = source.name;
    // An answer left over from an earlier pull must not end this one.
    (void)co_await service->fetchPullUnavailable(m_thisDevice.id);
    if (stop.stop_requested())
        co_return;
    const Status sent = co_await service->sendPullRequest(source.id, m_thisDevice.id);
    if (stop.stop_requested())
        co_return;
    if (!sent) {
        endPull(sent.error().description);
        co_return;
    }
    countTransfer();
    if (m_pullTimeoutTask)
        m_pullTimeoutTask->cancel();
    m_pullTimeoutTask.emplace();
    runPullTimeout(source.name, m_pullTimeoutTask->token());
}

QCoro::Task<> DeviceHandoffViewModel::runPullTimeout(QString sourceName, std::stop_token token) {
    auto clock = m_deps.clock;
    co_await clock->sleep(kPullTimeout, token);
    if (token.stop_requested() || !m_isPulling)
        co_return;
    endPull(sourceName +
            QStringLiteral(" didn't respond. Make sure Sonavert is open on it and try again."));
}

void DeviceHandoffViewModel::finishPull() {
    if (m_pullTimeoutTask)
        m_pullTimeoutTask->cancel();
    setIsPulling(false);
}

void DeviceHandoffViewModel::endPull(const QString& error) {
    // The error first: whoever hears that the pull ended reads it.
    setTransferError(error);
    finishPull();
    setActivityLabel(std::nullopt);
    Q_EMIT pullEnded();
}

QCoro::Task<> DeviceHandoffViewModel::republishPresence(EventFormat<QString> failureEvent,
                                                        LogCategory category,
                                                        std::optional<EventFormat<>> successEvent) {
    const Status published = co_await detail::publishInZone(m_deps.handoffService, m_thisDevice.id,
                                                            m_thisDevice.name, m_currentState);
    if (!published)
        logEvent(category, LogLevel::Error, failureEvent, published.error().description);
    else if (successEvent)
        logEvent(category, LogLevel::Info, *successEvent);
}

QCoro::Task<bool> DeviceHandoffViewModel::respondToPendingPull() {
    if (!m_pullCheck.enter())
        co_return false;
    const std::stop_token stop = m_tasks.token();
    bool hasAnswered = false;
    do {
        hasAnswered = co_await answerPullRequest() || hasAnswered;
        if (!stop.stop_requested() && m_isPulling)
            co_await takePullUnavailable();
    } while (!stop.stop_requested() && m_pullCheck.runAgain());
    co_return hasAnswered;
}

QCoro::Task<bool> DeviceHandoffViewModel::answerPullRequest() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    auto music = m_deps.musicService;
    auto clock = m_deps.clock;
    const auto request = co_await service->fetchPullRequest(m_thisDevice.id);
    if (stop.stop_requested())
        co_return false;
    if (!request) {
        logEvent(LogCategory::Pull, LogLevel::Error, "event=pull_response_failed error=%{private}s",
                 request.error().description);
        co_return false;
    }
    if (!request.value())
        co_return false;
    const QString requester = *request.value();
    // Where the player is now, not at the last sample up to 2 seconds ago: the requester
    // continues at the second the request was taken. The sample stands in only when the
    // capture gives nothing.
    std::optional<PlaybackState> state = co_await music->currentPlaybackState();
    const Duration capturedAt = clock->monotonicNow();
    if (stop.stop_requested())
        co_return false;
    if (!state)
        state = m_currentState;
    if (!state) {
        logEvent(LogCategory::Pull, LogLevel::Default,
                 "event=pull_response_unavailable requester_device_id=%{private,mask.hash}s "
                 "reason=nothing_playing",
                 requester);
        // The requester stops waiting at once; a failed answer leaves it to its timeout.
        (void)co_await service->sendPullUnavailable(requester, m_thisDevice.id);
        co_return false;
    }
    setActivityLabel(QStringLiteral("Handing off to another device\u2026"));
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_response_started requester_device_id=%{private,mask.hash}s", requester);
    const PlaybackState outgoing = returnable(*state, requester, capturedAt);
    const Status sent = co_await service->sendHandoff(outgoing, requester);
    if (stop.stop_requested())
        co_return false;
    if (!sent) {
        m_returnableSend.reset();
        setActivityLabel(std::nullopt);
        logEvent(LogCategory::Pull, LogLevel::Error, "event=pull_response_failed error=%{private}s",
                 sent.error().description);
        co_return false;
    }
    pauseSource();
    setCurrentState(std::nullopt);
    co_await republishPresence("event=post_pull_presence_publish_failed error=%{private}s",
                               LogCategory::Background, std::nullopt);
    if (stop.stop_requested())
        co_return false;
    logEvent(LogCategory::Pull, LogLevel::Info,
             "event=pull_response_completed requester_device_id=%{private,mask.hash}s", requester);
    setActivityLabel(std::nullopt);
    co_return true;
}

QCoro::Task<bool> DeviceHandoffViewModel::consumePendingHandoff() {
    if (!m_handoffCheck.enter())
        co_return false;
    const std::stop_token stop = m_tasks.token();
    bool hasResumed = false;
    do
        hasResumed = co_await consumeHandoffOnce() || hasResumed;
    while (!stop.stop_requested() && m_handoffCheck.runAgain());
    co_return hasResumed;
}

QCoro::Task<bool> DeviceHandoffViewModel::consumeHandoffOnce() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    auto music = m_deps.musicService;
    auto clock = m_deps.clock;
    const auto fetched = co_await service->fetchHandoff(m_thisDevice.id);
    if (stop.stop_requested())
        co_return false;
    if (!fetched) {
        logEvent(LogCategory::Playback, LogLevel::Error,
                 "event=playback_resume_failed trigger=background error=%{private}s",
                 fetched.error().description);
        co_return false;
    }
    if (!fetched.value())
        co_return false;
    const Duration takenAt = clock->monotonicNow();
    PlaybackState state = *fetched.value();
    // A pull waiting here ends with this playback: once it has resumed, or failed to.
    const bool endsPull = m_isPulling;
    finishPull();
    const auto pullOver = qScopeGuard([this, endsPull, stop] {
        if (endsPull && !stop.stop_requested())
            Q_EMIT pullEnded();
    });
    setActivityLabel(QStringLiteral("Resuming playback\u2026"));
    co_await clock->sleep(kLabelSettleDelay);
    if (stop.stop_requested())
        co_return false;
    state = atReturnPosition(std::move(state));
    const Duration start = clock->monotonicNow();
    logEvent(LogCategory::Playback, LogLevel::Info,
             "event=playback_resume_started trigger=background message_id=%{public}s "
             "song_id=%{private,mask.hash}s",
             messageIDOf(state), state.songID);
    const Status resumed = co_await music->resume(state);
    // Played or failed for a reason: either way it is never to be played again. Until here it
    // stays taken, so a device stopped during the resume plays it on its next start.
    service->settleHandoff(messageIDOf(state));
    if (stop.stop_requested())
        co_return false;
    if (!resumed) {
        setTransferError(QStringLiteral("Failed to resume: ") + resumed.error().description);
        setActivityLabel(std::nullopt);
        logEvent(LogCategory::Playback, LogLevel::Error,
                 "event=playback_resume_failed trigger=background error=%{private}s",
                 resumed.error().description);
        co_await handBack(state, resumed.error().description, takenAt);
        co_return false;
    }
    showHandedBack(state);
    setCurrentState(detail::withoutReturnRoute(state));
    co_await republishPresence("event=post_resume_presence_publish_failed error=%{private}s",
                               LogCategory::Background,
                               EventFormat<>("event=post_resume_presence_published "
                                             "has_playback=true"));
    if (stop.stop_requested())
        co_return false;
    logEvent(LogCategory::Playback, LogLevel::Info,
             "event=playback_resume_succeeded trigger=background message_id=%{public}s "
             "duration_seconds=%{public}f",
             messageIDOf(state),
             std::chrono::duration<double>(clock->monotonicNow() - start).count());
    setActivityLabel(std::nullopt);
    co_return true;
}

QCoro::Task<> DeviceHandoffViewModel::runCommandLoop(std::stop_token token) {
    auto clock = m_deps.clock;
    while (!token.stop_requested()) {
        // Both checks run side by side; their results matter only to the background pass.
        auto handoff = consumePendingHandoff();
        auto pullRequest = respondToPendingPull();
        (void)co_await std::move(handoff);
        (void)co_await std::move(pullRequest);
        if (token.stop_requested())
            co_return;
        co_await clock->sleep(2s, token);
    }
}

} // namespace sonavert
