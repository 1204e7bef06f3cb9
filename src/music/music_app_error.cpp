#include "src/music/music_app_error.h"

namespace sonavert::music_app_error {

Error playbackDidNotStart(const QString& detail) {
    Error error;
    error.domain = kDomain;
    error.code = PlaybackDidNotStart;
    error.description =
        QStringLiteral("Music playback did not start (") + detail + QStringLiteral(").");
    return error;
}

Error playbackTimedOut() {
    Error error;
    error.domain = kDomain;
    error.code = PlaybackTimedOut;
    error.description = QStringLiteral(
        "Music playback did not respond. Make sure you are signed into Apple Music.");
    return error;
}

} // namespace sonavert::music_app_error
