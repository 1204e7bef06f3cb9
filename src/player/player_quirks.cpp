#include "src/player/player_quirks.h"

#include <QStringList>
#include <array>

namespace sonavert {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Measured on Debian 12 against each player running headless on a private bus. What they all
// do alike needs no entry: Position and SetPosition are microseconds; SetPosition works with
// the track id read just before it (VLC rejects any other id, Audacious's id is always
// ".../CurrentTrack"), and the backend falls back to a relative Seek when it does not; a seek
// sent right after an open lands, as long as the player already shows the new track, which
// the open waits for (statusLagAfterOpen).
PlayerQuirks mpvQuirks() {
    PlayerQuirks quirks;
    quirks.busName = QStringLiteral("mpv");
    quirks.displayName = QStringLiteral("mpv");
    // mpv 0.35 keeps its pause when a file is opened, and reads "Stopped" for a while after
    // OpenUri from idle while it plays (the backend tells that from the moving position).
    quirks.keepsPauseAcrossOpen = true;
    quirks.statusLagAfterOpen = seconds(3);
    return quirks;
}

PlayerQuirks vlcQuirks() {
    PlayerQuirks quirks;
    quirks.busName = QStringLiteral("vlc");
    quirks.displayName = QStringLiteral("VLC");
    // VLC 3.0 plays what it opens even when paused, may read "Stopped" for the first moments,
    // and rejects SetPosition with a track id that is not the current one.
    quirks.keepsPauseAcrossOpen = false;
    quirks.statusLagAfterOpen = seconds(3);
    return quirks;
}

PlayerQuirks audaciousQuirks() {
    PlayerQuirks quirks;
    quirks.busName = QStringLiteral("audacious");
    quirks.displayName = QStringLiteral("Audacious");
    // Audacious 4.2 has no OpenUri and no track list; its own interface replaces the playlist
    // and plays, as does its command line. Its position reads 0 for about 0.3 s after a seek
    // and moves in steps of a quarter second. Its track id is always ".../CurrentTrack".
    const QString own = QStringLiteral("org.atheme.audacious");
    quirks.nativeOpen = NativeOpenMethod{own, QStringLiteral("/org/atheme/audacious"), own,
                                         QStringLiteral("OpenList")};
    quirks.openCommand = QStringLiteral("audacious %u");
    quirks.keepsPauseAcrossOpen = false;
    quirks.statusLagAfterOpen = seconds(5);
    quirks.positionLagAfterSeek = milliseconds(1200);
    return quirks;
}

PlayerQuirks rhythmboxQuirks() {
    PlayerQuirks quirks;
    quirks.busName = QStringLiteral("rhythmbox");
    quirks.displayName = QStringLiteral("Rhythmbox");
    // Rhythmbox 3.4 (its MPRIS plugin) opens with OpenUri, adding the file to its library on
    // the way, so nothing has to be imported first; it has no track list. It plays what it
    // opens even when paused, about 0.4 s later on a fresh start (reading "Paused" with the new
    // track for a moment first). Positions are whole seconds, rounded down, both read and
    // sought; SetPosition with another track's id is accepted and ignored.
    quirks.keepsPauseAcrossOpen = false;
    quirks.positionStep = seconds(1);
    quirks.seekStep = seconds(1);
    return quirks;
}

PlayerQuirks strawberryQuirks() {
    PlayerQuirks quirks;
    quirks.busName = QStringLiteral("strawberry");
    quirks.displayName = QStringLiteral("Strawberry");
    // Strawberry 1.0 opens with OpenUri (appending to its playlist and playing it within
    // 0.1 s, also when paused) and has a track list as well. Its positions are exact, but
    // SetPosition and Seek land on the whole second below the one asked for, and the position
    // reads 0 for a moment right after; SetPosition with another track's id is ignored. A
    // Pause sent as soon as the opened track shows is lost about one time in five (the engine
    // still starts the track and plays it); none of 90 was lost once it had played 0.1 s.
    quirks.keepsPauseAcrossOpen = false;
    quirks.seekStep = seconds(1);
    quirks.startupAfterOpen = milliseconds(300);
    return quirks;
}

PlayerQuirks anyOtherPlayer() {
    PlayerQuirks quirks;
    quirks.displayName = QStringLiteral("The player");
    return quirks;
}

const std::array<PlayerQuirks, 6>& table() {
    static const std::array<PlayerQuirks, 6> quirks{mpvQuirks(),        vlcQuirks(),
                                                    audaciousQuirks(),  rhythmboxQuirks(),
                                                    strawberryQuirks(), anyOtherPlayer()};
    return quirks;
}

} // namespace

QString mprisShortName(const QString& busName) {
    static const QString prefix = QStringLiteral("org.mpris.MediaPlayer2.");
    const QString rest = busName.startsWith(prefix) ? busName.mid(prefix.size()) : busName;
    return rest.section(QLatin1Char('.'), 0, 0);
}

const PlayerQuirks& quirksForBusName(const QString& busName) {
    const QString name = mprisShortName(busName);
    for (const PlayerQuirks& quirks : table()) {
        if (quirks.busName == name)
            return quirks;
    }
    return table().back();
}

} // namespace sonavert
