#pragma once

#include "src/player/library_track.h"

namespace sonavert {

/// The catalog identifier of the recording in `track`; the same on every device that has the
/// same recording, so a song captured on one machine is found on another:
/// - the MusicBrainz recording id, when the file is tagged with one (a lower-case UUID);
/// - otherwise 32 lower-case hex digits: the start of the SHA-256 digest of the normalised
///   title, artist and album (see `normalizedForIdentity`), joined by line feeds.
/// The length is left out on purpose: two encodings of one recording (FLAC here, MP3 there)
/// differ by encoder padding, and any rounding of it would split some pairs at a boundary;
/// the album already tells a live take from the studio one.
QString songIdentifier(const LibraryTrack& track);

/// Unicode compatibility composition (NFKC), case folding, runs of white space as one blank,
/// trimmed: "  The  Beatles " and "the beatles" give the same text.
QString normalizedForIdentity(const QString& text);

} // namespace sonavert
