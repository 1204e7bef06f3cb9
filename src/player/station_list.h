#pragma once

#include "src/desktop/profile.h"
#include "src/player/track_catalog.h"

namespace sonavert {

/// The user's internet radio stations, kept in a UTF-8 text file in the profile
/// ("stations.txt" in its data folder), one station a line:
///
///     # lines starting with '#' and blank lines are ignored
///     https://radio.example.org/jazz.ogg   Late Night Jazz
///
/// The stream URL comes first, then white space, then the station's name (the rest of the
/// line). A line without a name or with a URL that is not http(s) is skipped. A station's
/// identifier derives from its normalised stream URL ("ra" + 24 hex digits of its SHA-256),
/// so every device with the same line knows the station by the same identifier.
namespace station_list {

QString fileIn(const Profile& profile);
QList<RadioStation> parse(const QString& text);
/// The stations of the file; none when the file is missing or unreadable.
QList<RadioStation> load(const QString& path);
QString stationIdentifier(const QString& streamUrl);

} // namespace station_list

} // namespace sonavert
