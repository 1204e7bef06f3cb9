#include "standalone_services.h"

namespace sonavert {

QCoro::Task<std::optional<PlaybackState>> SilentMusicService::currentPlaybackState() {
    co_return std::nullopt;
}

QCoro::Task<Status> SilentMusicService::resume(PlaybackState) {
    co_return Error{QStringLiteral("MusicAppError"),
                    0,
                    QStringLiteral("No music player is configured on this device."),
                    {},
                    {},
                    {}};
}

void SilentMusicService::runAppleScript(QString) {}

QCoro::Task<std::optional<QString>> ProfileOnlyIdentityStore::readIdentifier() {
    co_return std::nullopt;
}

QCoro::Task<bool> ProfileOnlyIdentityStore::writeIdentifier(QString) {
    co_return false;
}

} // namespace sonavert
