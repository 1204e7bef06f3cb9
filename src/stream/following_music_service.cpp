#include "src/stream/following_music_service.h"

#include "src/player/player_backend.h"
#include "src/player/song_identifier.h"
#include "src/player/track_catalog.h"
#include "src/runtime/log_channel.h"
#include "src/stream/track_fetcher.h"
#include "src/stream/track_server.h"

#include <QUrl>

namespace sonavert::stream {

namespace {

constexpr Duration kStartPace = std::chrono::milliseconds(250);
constexpr int kStartAttempts = 40; // ten seconds for the player to fetch and start

bool isStreamUrl(const QString& location) {
    const QString scheme = QUrl(location).scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// A reason set inside a sentence of ours: its own closing full stop would double ours.
QString clause(QString reason) {
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return reason;
}

Error followError(FollowErrorCode code, const QString& text) {
    return makeError(code, text);
}

// The same track the script saw: the player may have moved on between the two readings.
bool isSameTrack(const PlaybackState& state, const LibraryTrack& track) {
    return state.songTitle.compare(track.name, Qt::CaseInsensitive) == 0;
}

// A track the catalog does not know: a file outside the music folders or a stream.
PlaybackState stateOf(const LibraryTrack& track, double position) {
    PlaybackState state;
    state.songID = songIdentifier(track);
    state.playbackTime = position;
    state.songTitle = track.name;
    if (state.songTitle.isEmpty()) // a stream without titles still needs a name to show
        state.songTitle = QUrl(track.uri).fileName().isEmpty() ? QUrl(track.uri).host()
                                                               : QUrl(track.uri).fileName();
    state.artistName = track.artist;
    if (!track.album.isEmpty())
        state.albumTitle = track.album;
    return state;
}

} // namespace

FollowingMusicService::FollowingMusicService(Parts parts)
    : m_parts(std::move(parts)) {}

QCoro::Task<std::optional<PlaybackState>> FollowingMusicService::currentPlaybackState() {
    auto parts = m_parts; // the service may go while this runs; what it uses stays
    const bool isSharing = !parts.isSharing || parts.isSharing();
    if (parts.server && !isSharing && parts.server->isListening())
        parts.server->stop(); // turned off: what was offered ends too
    std::optional<PlaybackState> state = co_await parts.music->currentPlaybackState();
    const Result<NowPlaying> reading = co_await parts.player->nowPlaying();
    if (!reading || reading.value().state != PlayerState::Playing || !reading.value().track)
        co_return state;
    const LibraryTrack& track = *reading.value().track;
    if (state && !isSameTrack(*state, track))
        co_return state;
    if (!state) {
        if (track.uri.isEmpty())
            co_return std::nullopt;
        state = stateOf(track, reading.value().position);
    }
    state->location = track.uri;
    state->duration = track.duration;
    if (const auto relayed = parts.fetcher ? parts.fetcher->offerBehind(track.uri) : std::nullopt) {
        state->offer = relayed;
        state->isRelayed = true;
    } else if (isStreamUrl(track.uri)) {
        state->streamURL = track.uri;
    } else if (parts.server && isSharing) {
        const QString path = QUrl(track.uri).toLocalFile();
        const double remaining = track.duration > 0 ? track.duration - state->playbackTime : 0;
        if (!path.isEmpty())
            state->offer = parts.server->offer(path, remaining);
    }
    co_return state;
}

QCoro::Task<bool> FollowingMusicService::hasOwnCopy(QString songID) {
    auto catalog = m_parts.catalog;
    if (songID.isEmpty() || !catalog)
        co_return false;
    const auto found = co_await catalog->lookUpSong(std::move(songID));
    co_return found&& found.value().has_value();
}

QCoro::Task<Status> FollowingMusicService::resume(PlaybackState state) {
    auto parts = m_parts;
    const bool isStation = state.stationID && !state.stationID->isEmpty();
    const bool canReach = state.streamURL || (state.offer && parts.fetcher);
    if (isStation || !canReach)
        co_return co_await parts.music->resume(std::move(state));
    const bool hasCopy = co_await hasOwnCopy(state.songID);
    if (hasCopy)
        co_return co_await parts.music->resume(std::move(state));
    if (state.streamURL) {
        logEvent(LogCategory::Playback, LogLevel::Info, "event=playback_stream_open_started");
        co_return co_await playFrom(*state.streamURL, state.playbackTime, false);
    }
    logEvent(LogCategory::Playback, LogLevel::Info, "event=playback_remote_file_started");
    TrackFetcher::Route route = TrackFetcher::Route::Direct;
    const Status direct = co_await parts.fetcher->probe(*state.offer);
    if (!direct) {
        // Only a computer that cannot be reached is tried through the server: one that answers
        // and no longer offers the song would say the same there.
        const bool isUnreachable = direct.error().is(TrackFetcher::ErrorCode::Unreachable);
        if (!isUnreachable || !parts.fetcher->canPassThroughServer())
            co_return followError(FollowErrorCode::NotReached,
                                  QStringLiteral("The song is not on this computer, and %1.")
                                      .arg(clause(direct.error().description)));
        logEvent(LogCategory::Playback, LogLevel::Info, "event=playback_remote_relay_started");
        const Status relayed = co_await parts.fetcher->probeThroughServer(*state.offer);
        if (!relayed)
            co_return followError(
                FollowErrorCode::NotPassedOn,
                QStringLiteral("The song is not on this computer, %1, and the server could not "
                               "pass it on: %2.")
                    .arg(clause(direct.error().description), clause(relayed.error().description)));
        route = TrackFetcher::Route::ThroughServer;
    }
    co_return co_await playFrom(parts.fetcher->localUrlFor(*state.offer, route).toString(),
                                state.playbackTime, true);
}

// Opens `url` in the player, waits for it to play and seeks to `position`.
QCoro::Task<Status> FollowingMusicService::playFrom(QString url, double position, bool canSeek) {
    auto parts = m_parts;
    const Status opened = co_await parts.player->openLocation(url);
    if (!opened)
        co_return followError(FollowErrorCode::PlayerCannotOpen,
                              QStringLiteral("Your music player could not open the song: %1")
                                  .arg(opened.error().description));
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
        const Result<NowPlaying> reading = co_await parts.player->nowPlaying();
        if (reading && reading.value().state == PlayerState::Playing && reading.value().track) {
            if (canSeek && position > 0) {
                const Status sought = co_await parts.player->setPlayerPosition(position);
                // Playing from the start beats not playing: the user can seek by hand.
                if (!sought)
                    logEvent(LogCategory::Playback, LogLevel::Error,
                             "event=playback_remote_seek_failed error=%{public}s",
                             sought.error().description);
            }
            co_return Status{};
        }
        co_await parts.clock->sleep(kStartPace);
    }
    co_return followError(FollowErrorCode::PlayerDidNotStart,
                          QStringLiteral("Your music player did not start the song."));
}

void FollowingMusicService::runAppleScript(QString source) {
    m_parts.music->runAppleScript(std::move(source));
}

} // namespace sonavert::stream
