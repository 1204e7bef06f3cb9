#pragma once

#include "src/runtime/result.h"

#include <QString>

namespace sonavert {

/// Failures of the local player whose descriptions reach the user unchanged.
namespace music_app_error {

inline const QString kDomain = QStringLiteral("MusicAppError");

enum class Code { PlaybackDidNotStart = 1, PlaybackTimedOut = 2 };
inline QString errorDomain(Code) {
    return kDomain;
}

/// Every route to start the song failed; `detail` says which and how to help.
Error playbackDidNotStart(const QString& detail);
/// The player did not answer in time; kept for callers that wait on it.
Error playbackTimedOut();

} // namespace music_app_error

} // namespace sonavert
