#pragma once

#include "src/player/player_backend.h"

#include <QVariantMap>

namespace sonavert::detail {

/// What one GetAll of org.mpris.MediaPlayer2.Player says, decoded leniently: players send
/// artists as a text instead of a list, lengths as int32 or double, track ids as texts.
struct MprisReading {
    QString status;        ///< "Playing", "Paused", "Stopped" as reported
    QString trackId;       ///< empty when the player reports none
    LibraryTrack track;    ///< from xesam:title/artist/album/url and mpris:length
    qint64 positionUs = 0; ///< microseconds
    bool canSeek = true;

    /// Whether a track is loaded at all. An idle mpv reports "Playing" with the track id
    /// "/noplaylist" and nothing else, so a track id alone does not count.
    bool hasTrack() const { return !track.uri.isEmpty() || !track.name.isEmpty(); }
};

/// A D-Bus a{sv} as it arrives (a QDBusArgument, or already a map) as a QVariantMap.
QVariantMap unpackMap(const QVariant& value);
MprisReading decodePlayerProperties(const QVariantMap& properties);
/// "Playing"/"Paused"/"Stopped"; anything else reads as stopped.
PlayerState stateFromStatus(const QString& status);

} // namespace sonavert::detail
