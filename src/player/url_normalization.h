#pragma once

#include <QString>

namespace sonavert {

/// One canonical text per location, so a URL we sent and the one a player reports back can be
/// compared: players re-encode URLs (mpv turns "é" into "%C3%A9", others decode "%20"), and
/// file URLs may carry "." or ".." segments. Local files become "file://" + the cleaned,
/// fully decoded path; other URLs get their scheme and host in lower case, their path
/// segments resolved and every character that need not be encoded decoded. An empty or unparsable
/// text gives an empty text.
QString normalizedUrl(const QString& url);

/// Whether two URL texts name the same location after normalisation (never for empty texts).
bool isSameUrl(const QString& a, const QString& b);

} // namespace sonavert
