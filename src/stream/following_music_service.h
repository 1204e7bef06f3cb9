#pragma once

#include "src/coordinator/music_playback_service_protocol.h"
#include "src/runtime/clock.h"

#include <functional>
#include <memory>

namespace sonavert {
class PlayerBackend;
class TrackCatalog;
} // namespace sonavert

namespace sonavert::stream {

class TrackServer;
class TrackFetcher;

inline const QString kFollowErrorDomain = QStringLiteral("Following");

/// Why a received song this computer has no copy of did not play (domain "Following").
enum class FollowErrorCode {
    NotReached = 1,        ///< the offering computer was not reached, or no longer offers it
    NotPassedOn = 2,       ///< nor could the server pass it on
    PlayerCannotOpen = 3,  ///< the player refused the stream
    PlayerDidNotStart = 4, ///< the player took the stream and never played it
};
inline QString errorDomain(FollowErrorCode) {
    return kFollowErrorDomain;
}

/// The music service with the song following the user: what plays is captured wherever the
/// player has it (the music folder, a file elsewhere, an http stream) with how another
/// computer reaches it, and a received song this computer has no copy of is played from the
/// stream it names or from the sending computer's offer. Everything else is the wrapped
/// service's: a song this computer has is played from its own copy as always.
class FollowingMusicService final : public MusicPlaybackServiceProtocol {
public:
    struct Parts {
        std::shared_ptr<MusicPlaybackServiceProtocol> music;
        std::shared_ptr<PlayerBackend> player;
        std::shared_ptr<TrackCatalog> catalog;
        std::shared_ptr<Clock> clock;
        std::shared_ptr<TrackServer> server;   ///< null: this computer offers nothing
        std::shared_ptr<TrackFetcher> fetcher; ///< null: offers of others cannot play here
        /// The user's "Share this computer's music with my other computers".
        std::function<bool()> isSharing;
    };

    /// The user's setting; absent means on.
    static inline const QString kSharingKey = QStringLiteral("Sonavert.music.shareWithComputers");

    explicit FollowingMusicService(Parts parts);

    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override;
    QCoro::Task<Status> resume(PlaybackState state) override;
    void runAppleScript(QString source) override;

private:
    QCoro::Task<bool> hasOwnCopy(QString songID);
    QCoro::Task<Status> playFrom(QString url, double position, bool canSeek);

    Parts m_parts;
};

} // namespace sonavert::stream
