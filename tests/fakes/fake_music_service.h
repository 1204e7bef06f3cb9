#pragma once

#include "src/coordinator/music_playback_service_protocol.h"
#include "src/coordinator/nearby_discovery_protocol.h"

#include <QStringList>
#include <deque>

namespace sonavert {

/// A player that plays whatever `nowPlaying` says and records what it is asked to do.
class FakeMusicService final : public MusicPlaybackServiceProtocol {
public:
    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override;
    QCoro::Task<Status> resume(PlaybackState state) override;
    void runAppleScript(QString source) override;

    std::optional<PlaybackState> nowPlaying;
    int sampleCount = 0;
    std::deque<Status> resumeResults;
    QList<PlaybackState> resumed;
    QStringList scripts;
};

/// Nearby discovery driven by the test: `reportPeer` delivers a peer to the handler.
class FakeNearbyDiscovery final : public NearbyDiscoveryProtocol {
public:
    void start(std::function<void(const NearbyPeer&)> onPeer) override;
    void stop() override;
    void reportPeer(const NearbyPeer& peer);

    QString deviceID, deviceName, sessionID;
    int stopCount = 0;

private:
    std::function<void(const NearbyPeer&)> m_onPeer;
};

} // namespace sonavert
