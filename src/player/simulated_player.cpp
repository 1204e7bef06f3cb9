#include "src/player/simulated_player.h"

#include <QUrl>

namespace sonavert {

SimulatedPlayer::SimulatedPlayer(std::shared_ptr<Clock> clock,
                                 std::shared_ptr<const TrackLibrary> library, QObject* parent)
    : PlayerBackend(parent)
    , m_clock(std::move(clock))
    , m_library(std::move(library)) {}

bool SimulatedPlayer::isStarting() const {
    return m_track && m_clock->monotonicNow() < m_playableAt;
}

double SimulatedPlayer::positionNow() const {
    if (isStarting())
        return 0.0;
    if (m_state != PlayerState::Playing)
        return m_anchorPosition;
    const Duration since = m_clock->monotonicNow() - std::max(m_anchorTime, m_playableAt);
    return m_anchorPosition + secondsOf(since);
}

// A track that has run past its end has finished: the player stops and unloads it, as real
// players do at the end of a single loaded file. Streams (duration 0) never end.
bool SimulatedPlayer::hasFinished() const {
    return m_track && m_track->duration > 0 && positionNow() >= m_track->duration;
}

void SimulatedPlayer::settle() {
    if (hasFinished()) {
        m_track.reset();
        m_state = PlayerState::Stopped;
        m_anchorPosition = 0.0;
    }
}

NowPlaying SimulatedPlayer::snapshot() const {
    if (!m_isRunning || hasFinished())
        return {};
    const PlayerState state = isStarting() ? PlayerState::Stopped : m_state;
    return NowPlaying{state, m_track, m_track ? positionNow() : 0.0};
}

void SimulatedPlayer::setRunning(bool running) {
    m_isRunning = running;
    if (!running) {
        m_track.reset();
        m_state = PlayerState::Stopped;
    }
}

Status SimulatedPlayer::needsRunning() const {
    if (!m_isRunning)
        return playerError(PlayerErrorCode::NotRunning,
                           QString::fromUtf8("The player is not running."));
    return {};
}

void SimulatedPlayer::load(const LibraryTrack& track) {
    m_track = track;
    m_state = PlayerState::Playing;
    m_anchorPosition = 0.0;
    m_anchorTime = m_clock->monotonicNow();
    m_playableAt = m_anchorTime + m_startDelay;
}

QCoro::Task<bool> SimulatedPlayer::isRunning() {
    co_return m_isRunning;
}

QCoro::Task<Status> SimulatedPlayer::activate() {
    m_isRunning = true;
    co_return Status();
}

QCoro::Task<Result<NowPlaying>> SimulatedPlayer::nowPlaying() {
    if (!m_isRunning)
        co_return needsRunning().error();
    co_return snapshot();
}

QCoro::Task<Status> SimulatedPlayer::setPlayerPosition(double target) {
    settle();
    if (Status running = needsRunning(); !running)
        co_return running;
    if (!m_track)
        co_return playerError(PlayerErrorCode::NoCurrentTrack,
                              QString::fromUtf8("Nothing is loaded."));
    if (isStarting())
        co_return Status(); // still buffering: the seek is dropped, as the players we copy do
    const std::optional<double> landing = m_seekBehaviour ? m_seekBehaviour(target) : target;
    if (landing) {
        m_anchorPosition = std::max(0.0, *landing);
        m_anchorTime = m_clock->monotonicNow();
        settle();
    }
    co_return Status();
}

QCoro::Task<Status> SimulatedPlayer::play() {
    settle();
    if (Status running = needsRunning(); !running)
        co_return running;
    if (m_track && m_state != PlayerState::Playing) {
        m_state = PlayerState::Playing;
        m_anchorTime = m_clock->monotonicNow();
    }
    co_return Status();
}

QCoro::Task<Status> SimulatedPlayer::playTrack(LibraryTrack track) {
    if (Status running = needsRunning(); !running)
        co_return running;
    load(track);
    co_return Status();
}

QCoro::Task<Status> SimulatedPlayer::pause() {
    settle();
    if (Status running = needsRunning(); !running)
        co_return running;
    if (m_track && m_state == PlayerState::Playing && !isStarting()) {
        m_anchorPosition = positionNow();
        m_state = PlayerState::Paused;
    }
    co_return Status();
}

QCoro::Task<Status> SimulatedPlayer::stop() {
    if (Status running = needsRunning(); !running)
        co_return running;
    m_track.reset();
    m_state = PlayerState::Stopped;
    m_anchorPosition = 0.0;
    co_return Status();
}

QCoro::Task<Status> SimulatedPlayer::openLocation(QString url) {
    if (Status running = needsRunning(); !running)
        co_return running;
    m_openedLocations.append(url);
    std::optional<LibraryTrack> known = m_library ? m_library->trackForUrl(url) : std::nullopt;
    LibraryTrack track = known.value_or(LibraryTrack{});
    track.uri = url;
    if (track.name.isEmpty())
        track.name = QUrl(url).fileName();
    load(track);
    co_return Status();
}

QCoro::Task<QList<LibraryTrack>> SimulatedPlayer::libraryTracks(TrackFilter filter) {
    co_return filterTracks(m_library.get(), filter);
}

} // namespace sonavert
