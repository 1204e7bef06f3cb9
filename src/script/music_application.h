#pragma once

#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <optional>
#include <vector>

namespace sonavert {

/// The player states a script can compare `player state` with.
enum class PlayerState { Stopped, Playing, Paused, FastForwarding, Rewinding };

/// The state as a script prints it ("playing", "fast forwarding", ...).
QString playerStateText(PlayerState state);

/// One track as scripts see it: a snapshot of its properties when it was read.
struct ScriptTrack {
    QString persistentID; ///< stable identity within the backend; what `play` is given back
    QString name;
    QString artist;
    QString album;
    double duration = 0.0; ///< seconds

    friend bool operator==(const ScriptTrack&, const ScriptTrack&) = default;
};

/// The application "Music" as the script runner drives it: the properties and commands of its
/// scripting dictionary that our scripts use. Every access is asynchronous because the real
/// backend talks to a player over D-Bus.
///
/// Failures are returned as an Error whose `code` is the scripting language's error number and
/// whose `description` is the message without the application prefix (the runner adds
/// "Music got an error: "), e.g. -600 "Application isn't running." when the player is gone.
class MusicApplication {
public:
    virtual ~MusicApplication() = default;

    /// `running`: whether the player is available right now. Never fails.
    virtual QCoro::Task<bool> isRunning() = 0;
    /// `activate`: bring the player up (launch it when it can be launched).
    virtual QCoro::Task<Status> activate() = 0;

    /// `player state`.
    virtual QCoro::Task<Result<PlayerState>> playerState() = 0;
    /// `current track`; an absent track makes the runner raise "Can't get current track.".
    virtual QCoro::Task<Result<std::optional<ScriptTrack>>> currentTrack() = 0;
    /// `player position` in seconds.
    virtual QCoro::Task<Result<double>> playerPosition() = 0;
    /// `set player position to ...`.
    virtual QCoro::Task<Status> setPlayerPosition(double seconds) = 0;

    /// Every track of `library playlist 1`, in library order.
    virtual QCoro::Task<Result<std::vector<ScriptTrack>>> libraryTracks() = 0;

    /// `play` without a direct parameter: resume what is loaded.
    virtual QCoro::Task<Status> play() = 0;
    /// `play` a track previously read from this application.
    virtual QCoro::Task<Status> playTrack(const ScriptTrack& track) = 0;
    /// `pause`.
    virtual QCoro::Task<Status> pause() = 0;
    /// `stop`.
    virtual QCoro::Task<Status> stop() = 0;
    /// `open location` with a link text.
    virtual QCoro::Task<Status> openLocation(const QString& url) = 0;
};

} // namespace sonavert
