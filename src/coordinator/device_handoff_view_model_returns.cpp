// Nothing stops everywhere: a receiver that cannot start a handoff hands it back to its
// sender, which paused for it, through an ordinary handoff command. The one handed back
// carries the receiver's reason and no device to return to, so it never travels a third time.
// Also here: the source's answer that it plays nothing, which ends a waiting pull at once.

#include "src/coordinator/device_handoff_view_model_p.h"

namespace sonavert {

namespace {

bool isSameSong(const PlaybackState& a, const PlaybackState& b) {
    return a.songID == b.songID && a.stationID == b.stationID && a.songTitle == b.songTitle;
}

double secondsSince(Duration start, Duration now) {
    return std::chrono::duration<double>(now - start).count();
}

} // namespace

PlaybackState DeviceHandoffViewModel::returnable(PlaybackState state, const QString& targetID,
                                                 Duration capturedAt) {
    state = detail::withoutReturnRoute(std::move(state));
    state.returnDeviceID = m_thisDevice.id;
    m_returnableSend = ReturnableSend{state, targetID, capturedAt};
    return state;
}

PlaybackState DeviceHandoffViewModel::atReturnPosition(PlaybackState state) {
    if (!state.returnReason || !m_returnableSend || !isSameSong(state, m_returnableSend->state))
        return state;
    // The sender's own clock says best where the song would be had it never left: the
    // receiver could only count from when it took the command.
    state.playbackTime = m_returnableSend->state.playbackTime +
                         secondsSince(m_returnableSend->capturedAt, m_deps.clock->monotonicNow());
    return state;
}

void DeviceHandoffViewModel::showHandedBack(const PlaybackState& state) {
    if (!state.returnReason)
        return;
    QString receiver = QStringLiteral("The other device");
    for (const AppDevice& device : m_devices)
        if (m_returnableSend && device.id == m_returnableSend->targetID)
            receiver = device.name;
    m_returnableSend.reset();
    logEvent(LogCategory::Handoff, LogLevel::Default,
             "event=handoff_returned message_id=%{public}s position_seconds=%{public}f "
             "reason=%{private}s",
             state.handoffMessageID.value_or(QStringLiteral("legacy")), state.playbackTime,
             *state.returnReason);
    setTransferError(QStringLiteral("%1 couldn't play the song, so it plays here again: %2")
                         .arg(receiver, *state.returnReason));
}

QCoro::Task<> DeviceHandoffViewModel::handBack(PlaybackState state, QString reason,
                                               Duration takenAt) {
    if (!state.returnDeviceID || state.returnReason || *state.returnDeviceID == m_thisDevice.id)
        co_return;
    const QString sender = *state.returnDeviceID;
    const QString messageID = state.handoffMessageID.value_or(QStringLiteral("legacy"));
    state.playbackTime += secondsSince(takenAt, m_deps.clock->monotonicNow());
    state.returnDeviceID.reset();
    state.returnReason = reason;
    logEvent(LogCategory::Handoff, LogLevel::Default,
             "event=handoff_return_started message_id=%{public}s "
             "target_device_id=%{private,mask.hash}s reason=%{private}s",
             messageID, sender, reason);
    auto service = m_deps.handoffService;
    const Status sent = co_await service->sendHandoff(state, sender);
    if (!sent)
        logEvent(LogCategory::Handoff, LogLevel::Error,
                 "event=handoff_return_failed message_id=%{public}s error=%{private}s", messageID,
                 sent.error().description);
}

QCoro::Task<> DeviceHandoffViewModel::takePullUnavailable() {
    const std::stop_token stop = m_tasks.token();
    auto service = m_deps.handoffService;
    const auto answer = co_await service->fetchPullUnavailable(m_thisDevice.id);
    if (stop.stop_requested() || !answer || !answer.value() || !m_isPulling ||
        *answer.value() != m_pullSourceID)
        co_return;
    endPull(QStringLiteral("Nothing is playing on %1 right now.").arg(m_pullSourceName));
}

} // namespace sonavert
