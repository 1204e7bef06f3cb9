#pragma once

#include <QString>

namespace sonavert::music_scripts {

/// The scripts the service runs against "Music". Titles and artists are spliced in through
/// quoteForScript and positions as number literals, so no user text can ever run as script.

/// Four fields (name, artist, album, position) separated by line feeds, or "" when nothing plays.
QString nowPlaying();
/// Pauses local playback (the sender's step after a push).
QString pause();
/// Plays the library track named `title` whose artist contains `artist`, then seeks to
/// `position`: "library_ok", "library_miss" or "library_no_play".
QString playFromLibrary(const QString& title, const QString& artist, double position);
/// Checks that the requested track plays and re-seeks until the position sticks:
/// "playing_match", "playing_seek_unconfirmed|...", "snapshot|..." or "verify_error|...".
QString verifyPlayback(const QString& title, const QString& artist, double position);
/// Hands `webLink` to the player directly, for links the system cannot take.
QString openLocation(const QString& webLink);

} // namespace sonavert::music_scripts
