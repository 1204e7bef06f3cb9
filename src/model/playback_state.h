#pragma once

#include <QString>
#include <optional>

namespace sonavert {

/// A snapshot of what a device plays and where.
struct PlaybackState {
    QString songID;            ///< catalog song id; empty while a station plays
    double playbackTime = 0.0; ///< position in seconds
    QString songTitle;
    QString artistName;
    std::optional<QString> albumTitle;
    std::optional<QString> stationID;
    std::optional<QString> handoffMessageID;

    /// Field by field; positions compare as doubles, so a NaN position never equals itself.
    friend bool operator==(const PlaybackState&, const PlaybackState&) = default;
};

} // namespace sonavert
