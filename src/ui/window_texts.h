#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert::window_texts {

/// Position as minutes and two-digit seconds ("62:05": no hour field). Positions that are not
/// finite, or too large for whole seconds, show "0:00".
QString elapsedTimeText(double playbackTime);

/// A missing version or build shows as "?".
QString versionLine(const QString& shortVersion, const QString& build);
QString versionAccessibilityLabel(const QString& shortVersion, const QString& build);

/// The mail that asks support for a download link; nothing when no link can be formed.
std::optional<QUrl> downloadLinkRequest(const QString& supportAddress);

inline const QString kSupportSubject = QStringLiteral("Sonavert Help");

/// The support mail's body: two empty lines to type into, the marker line, then what support
/// needs to know. An empty hardware model reads "Mac".
QString supportMailFooter(const QString& shortVersion, const QString& build,
                          const QString& osVersion, const QString& hardwareModel);

/// The support mail as a link, for when no composer takes the attachment; the plain address
/// link when the full one cannot be formed.
QUrl supportMailLink(const QString& supportAddress, const QString& footer);

} // namespace sonavert::window_texts
