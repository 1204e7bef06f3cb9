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
    /// On a handoff its sender would take back: the device a receiver that cannot start the
    /// song hands it back to. Absent on queued pushes and on a handoff already handed back.
    std::optional<QString> returnDeviceID = std::nullopt;
    /// On a handoff handed back: why the receiver could not start it, as it showed it.
    std::optional<QString> returnReason = std::nullopt;

    /// Field by field; positions compare as doubles, so a NaN position never equals itself.
    friend bool operator==(const PlaybackState&, const PlaybackState&) = default;
};

} // namespace sonavert
