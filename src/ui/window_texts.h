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
/// needs to know. An empty hardware model reads "Computer".
QString supportMailFooter(const QString& shortVersion, const QString& build,
                          const QString& osVersion, const QString& hardwareModel);

/// The support mail as a link, for when no composer takes the attachment; the plain address
/// link when the full one cannot be formed.
QUrl supportMailLink(const QString& supportAddress, const QString& footer);

/// The discontinued-version banner's text, naming the channel the update feed says to move to.
QString discontinuedVersionText(const QString& successorChannel);

/// The sign-in screen's and the invitation's texts.
inline const QString kCodeSymbolsHint =
    QStringLiteral("Codes have no 0, 1, I, L, O, U or V: check the letters.");
inline const QString kServerAddressHint =
    QStringLiteral("Type the server's address, such as 192.168.1.20:8470.");
inline const QString kPairingLinkNotice =
    QStringLiteral("Filled in from a pairing link. Check the server, then choose Sign In.");
inline const QString kCodeExpired = QStringLiteral("This code has expired.");

/// An address as the user reads and types it: no trailing slash.
QString serverText(const QUrl& server);
/// "Expires in 9:58" while time is left (whole seconds, rounded up), else kCodeExpired.
QString invitationTimeLeft(double secondsLeft);
/// Who this computer is signed in as, for the account menu: "home on 192.168.1.20:8470".
QString accountLine(const QString& accountName, const QUrl& server);
/// What signing out does, for its confirmation.
QString signOutQuestion(const QString& accountName);

} // namespace sonavert::window_texts
