#pragma once

#include <QString>
#include <optional>

namespace sonavert {

/// A file one computer serves to the account's others while a song continues there: the
/// https URL (its last path segment is the capability, a random single-use-track secret) and
/// the SHA-256 of the serving certificate's public key, base64, which the fetcher pins. Both
/// travel only inside sealed commands.
struct TrackOffer {
    QString url;
    QString key;

    friend bool operator==(const TrackOffer&, const TrackOffer&) = default;
};

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
    /// Where the track is reached when the receiver has no copy of its own: a public
    /// http(s) stream its player opens itself, or this computer's offer of the file.
    std::optional<QString> streamURL = std::nullopt;
    std::optional<TrackOffer> offer = std::nullopt;
    /// Where this computer's player has the track (a file:// or http(s):// URL). Never written
    /// into a record: the file's path is this computer's business.
    std::optional<QString> location = std::nullopt;
    /// This computer plays the track from another computer's offer. Never written into a
    /// record: it says how the song arrived here, which the window shows.
    bool isRelayed = false;
    /// Seconds; 0 when unknown. Bounds how long an offer of the file is worth keeping.
    double duration = 0.0;

    /// Field by field; positions compare as doubles, so a NaN position never equals itself.
    friend bool operator==(const PlaybackState&, const PlaybackState&) = default;
};

} // namespace sonavert
