#include "src/music/music_app_error.h"

namespace sonavert::music_app_error {

Error playbackDidNotStart(const QString& detail) {
    return makeError(Code::PlaybackDidNotStart, QStringLiteral("Music playback did not start (") +
                                                    detail + QStringLiteral(")."));
}

Error playbackTimedOut() {
    return makeError(
        Code::PlaybackTimedOut,
        QStringLiteral("Music playback did not respond. Make sure your music player is running."));
}

} // namespace sonavert::music_app_error
