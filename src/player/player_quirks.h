#pragma once

#include "src/runtime/clock.h"

#include <QString>
#include <optional>

namespace sonavert {

/// A player's own D-Bus method that replaces what it plays with a list of locations and starts
/// the first (signature `as`), for players whose MPRIS side cannot open anything.
struct NativeOpenMethod {
    QString service;
    QString path;
    QString interface;
    QString method;
};

/// What one player does differently from the MPRIS ideal, measured against the real player.
/// Every player-specific rule of the MPRIS backend reads this table; nothing else names a
/// player.
struct PlayerQuirks {
    /// The player's MPRIS name: the part after "org.mpris.MediaPlayer2." and before any
    /// ".instance..." suffix. Empty for the entry that describes every other player.
    QString busName;
    /// How the player is called in reasons shown to the user.
    QString displayName;
    /// Its own D-Bus interface for opening, tried when OpenUri and the track list fail.
    std::optional<NativeOpenMethod> nativeOpen;
    /// Its command line for "play this file" (`%u` the location, `%f` a local file's path),
    /// tried last; the user's settings may replace it. Empty: none known.
    QString openCommand;
    /// Opening keeps a paused player paused, so Play has to follow.
    bool keepsPauseAcrossOpen = true;
    /// How long after an open the player may still report the previous track (or none): the
    /// open waits this long at most for the new location to show.
    Duration statusLagAfterOpen = std::chrono::seconds(3);
    /// Positions read right after a seek may still show the old place for this long.
    Duration positionLagAfterSeek = std::chrono::milliseconds(800);
    /// Positions are read in whole steps of this, rounded down (zero: exact). A reading stands
    /// for anywhere within its step, so the backend takes the middle of it.
    Duration positionStep{0};
    /// Seeks land on a whole step of this, rounded down (zero: where asked). The backend asks
    /// for the nearest step instead, so a seek lands at most half a step off.
    Duration seekStep{0};
    /// How long an opened track must have played before the player takes commands: a Pause
    /// sent earlier is undone when the track starts. The open waits for that (zero: no wait),
    /// at most as long as statusLagAfterOpen.
    Duration startupAfterOpen{0};
};

/// The quirks of the player owning `busName` ("org.mpris.MediaPlayer2.vlc.instance42" is VLC),
/// or those of an unknown player.
const PlayerQuirks& quirksForBusName(const QString& busName);

/// The short MPRIS name in `busName` ("vlc" for "org.mpris.MediaPlayer2.vlc.instance42").
QString mprisShortName(const QString& busName);

} // namespace sonavert
