#include "tests/fakes/fake_music_service.h"

namespace sonavert {

QCoro::Task<std::optional<PlaybackState>> FakeMusicService::currentPlaybackState() {
    ++sampleCount;
    co_return std::optional<PlaybackState>(nowPlaying); // copy: co_return moves lvalues
}

QCoro::Task<Status> FakeMusicService::resume(PlaybackState state) {
    resumed << state;
    if (resumeResults.empty())
        co_return Status();
    Status next = resumeResults.front();
    resumeResults.pop_front();
    co_return next;
}

void FakeMusicService::runAppleScript(QString source) {
    scripts << source;
}

void FakeNearbyDiscovery::start(std::function<void(const NearbyPeer&)> onPeer) {
    m_onPeer = std::move(onPeer);
}

void FakeNearbyDiscovery::stop() {
    ++stopCount;
}

void FakeNearbyDiscovery::reportPeer(const NearbyPeer& peer) {
    if (m_onPeer)
        m_onPeer(peer);
}

} // namespace sonavert
