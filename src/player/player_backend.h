#pragma once

#include "src/player/library_track.h"
#include "src/runtime/result.h"
#include "src/script/music_application.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <optional>

namespace sonavert {

/// Codes of the "Player" error domain.
enum class PlayerErrorCode {
    NotRunning = 1,  ///< no player to talk to
    NoCurrentTrack,  ///< the operation needs a loaded track
    Unsupported,     ///< the player cannot do this at all
    BusFailure,      ///< the player or the bus answered with an error
    SeekNotConfirmed ///< the player accepted a seek but never reported the new position
};
inline constexpr char kPlayerErrorDomain[] = "Player";
inline QString errorDomain(PlayerErrorCode) {
    return QString::fromLatin1(kPlayerErrorDomain);
}
Error playerError(PlayerErrorCode code, const QString& description);

/// One consistent reading of the player.
struct NowPlaying {
    PlayerState state = PlayerState::Stopped;
    std::optional<LibraryTrack> track; ///< absent when nothing is loaded
    double position = 0.0;             ///< seconds into `track`

    friend bool operator==(const NowPlaying&, const NowPlaying&) = default;
};

/// Name and artist filter of `every track of library playlist 1 whose ...`. Both compare the
/// whole text ignoring letter case, as the scripting language compares texts by default; an
/// absent part matches everything.
struct TrackFilter {
    std::optional<QString> name;
    std::optional<QString> artist;

    bool matches(const LibraryTrack& track) const;
};

/// The tracks of `library` (which may be null) that pass `filter`, in library order.
QList<LibraryTrack> filterTracks(const TrackLibrary* library, const TrackFilter& filter);

/// A local music player as the "Music" dictionary of the script runner drives it. Every call
/// is asynchronous and never blocks the event loop; failures are Error values of the "Player"
/// domain. Implementations: MprisPlayer (any MPRIS player on D-Bus) and SimulatedPlayer.
class PlayerBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// `running`: whether a player is there to talk to.
    virtual QCoro::Task<bool> isRunning() = 0;
    /// `activate`: makes sure a player runs (starting the configured one when none does).
    virtual QCoro::Task<Status> activate() = 0;
    /// `player state`, `current track` and `player position`, read together.
    virtual QCoro::Task<Result<NowPlaying>> nowPlaying() = 0;
    /// `set player position to`: seeks in the current track; confirmed before it returns.
    virtual QCoro::Task<Status> setPlayerPosition(double seconds) = 0;
    /// `play` with no track: resumes the current track.
    virtual QCoro::Task<Status> play() = 0;
    /// `play` a track of the library: loads it and starts it from the beginning.
    virtual QCoro::Task<Status> playTrack(LibraryTrack track) = 0;
    virtual QCoro::Task<Status> pause() = 0;
    virtual QCoro::Task<Status> stop() = 0;
    /// `open location`: hands a URL (file or stream) to the player and starts it.
    virtual QCoro::Task<Status> openLocation(QString url) = 0;
    /// `library playlist 1`, filtered.
    virtual QCoro::Task<QList<LibraryTrack>> libraryTracks(TrackFilter filter) = 0;
};

} // namespace sonavert
