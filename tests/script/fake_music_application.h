#pragma once

#include "src/runtime/clock.h"
#include "src/script/music_application.h"

#include <QStringList>
#include <functional>

namespace sonavert::test {

/// In-memory "Music" dictionary for script tests. Its fields are the player's state and the
/// quirks a test wants; `calls` records every command and seek in order.
class FakeMusicApplication final : public MusicApplication {
public:
    bool running = true;
    PlayerState state = PlayerState::Stopped;
    std::optional<ScriptTrack> current;
    double position = 0.0;
    std::vector<ScriptTrack> library;

    /// When false, `play` of a track loads it but the player stays stopped.
    bool playStartsPlayback = true;
    /// Seeks land no further than this (a stream that has not buffered that far).
    std::optional<double> seekCeiling;
    /// Every reply waits this long on `clock` first, as a D-Bus round trip would.
    Clock* clock = nullptr;
    Duration replyDelay{0};

    QStringList calls;
    std::vector<double> seeks;
    int playerStateReads = 0;

    QCoro::Task<bool> isRunning() override;
    QCoro::Task<Status> activate() override;
    QCoro::Task<Result<PlayerState>> playerState() override;
    QCoro::Task<Result<std::optional<ScriptTrack>>> currentTrack() override;
    QCoro::Task<Result<double>> playerPosition() override;
    QCoro::Task<Status> setPlayerPosition(double seconds) override;
    QCoro::Task<Result<std::vector<ScriptTrack>>> libraryTracks() override;
    QCoro::Task<Status> play() override;
    QCoro::Task<Status> playTrack(const ScriptTrack& track) override;
    QCoro::Task<Status> pause() override;
    QCoro::Task<Status> stop() override;
    QCoro::Task<Status> openLocation(const QString& url) override;

    /// A player that plays `track` at `seconds`.
    void startPlaying(const ScriptTrack& track, double seconds);

private:
    QCoro::Task<Status> reply();
    QCoro::Task<Status> command(QString call, std::function<void()> effect);
};

} // namespace sonavert::test
