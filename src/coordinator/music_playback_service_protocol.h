#pragma once

#include "src/model/playback_state.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <optional>

namespace sonavert {

/// The local music player as the coordinator uses it.
class MusicPlaybackServiceProtocol {
public:
    virtual ~MusicPlaybackServiceProtocol() = default;
    /// What plays now; nothing when the player is not running or not playing. Never fails.
    virtual QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() = 0;
    /// Starts `state` at its position; the error's description is shown to the user.
    virtual QCoro::Task<Status> resume(PlaybackState state) = 0;
    /// Runs a script and forgets it (no result).
    virtual void runAppleScript(QString source) = 0;
};

} // namespace sonavert
