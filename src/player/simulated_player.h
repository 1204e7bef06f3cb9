#pragma once

#include "src/player/player_backend.h"
#include "src/runtime/clock.h"

#include <functional>
#include <memory>

namespace sonavert {

/// A player that plays nothing audible: its position advances with the injected clock, so
/// tests and demos can run whole resume routes in virtual time. It can be told to behave like
/// the awkward players we meet: not running, slow to start, ignoring or misplacing seeks.
class SimulatedPlayer final : public PlayerBackend {
    Q_OBJECT
public:
    /// Where a seek to `target` lands; nothing means the seek is silently ignored.
    using SeekBehaviour = std::function<std::optional<double>(double target)>;

    SimulatedPlayer(std::shared_ptr<Clock> clock, std::shared_ptr<const TrackLibrary> library,
                    QObject* parent = nullptr);

    QCoro::Task<bool> isRunning() override;
    QCoro::Task<Status> activate() override;
    QCoro::Task<Result<NowPlaying>> nowPlaying() override;
    QCoro::Task<Status> setPlayerPosition(double seconds) override;
    QCoro::Task<Status> play() override;
    QCoro::Task<Status> playTrack(LibraryTrack track) override;
    QCoro::Task<Status> pause() override;
    QCoro::Task<Status> stop() override;
    QCoro::Task<Status> openLocation(QString url) override;
    QCoro::Task<QList<LibraryTrack>> libraryTracks(TrackFilter filter) override;

    /// The reading every call above sees, taken synchronously (tests, demos).
    NowPlaying snapshot() const;
    void setRunning(bool running);
    /// A newly loaded track reports "stopped" for this long before it plays (buffering).
    void setStartDelay(Duration delay) { m_startDelay = delay; }
    void setSeekBehaviour(SeekBehaviour behaviour) { m_seekBehaviour = std::move(behaviour); }
    /// Every URL handed to `openLocation`, in order.
    const QStringList& openedLocations() const { return m_openedLocations; }

private:
    double positionNow() const;
    bool isStarting() const;
    bool hasFinished() const;
    void load(const LibraryTrack& track);
    void settle();
    Status needsRunning() const;

    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<const TrackLibrary> m_library;
    bool m_isRunning = true;
    PlayerState m_state = PlayerState::Stopped;
    std::optional<LibraryTrack> m_track;
    double m_anchorPosition = 0.0; ///< position at m_anchorTime
    Duration m_anchorTime{0};
    Duration m_startDelay{0};
    Duration m_playableAt{0};
    SeekBehaviour m_seekBehaviour;
    QStringList m_openedLocations;
};

} // namespace sonavert
