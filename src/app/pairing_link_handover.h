#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QString>

namespace sonavert {

class PairingLinkInbox;

/// One line on stderr for whoever started this run from a terminal, prefixed "sonavert: ".
void sayOnTerminal(const QString& text);

/// Offers `inbox` on `bus` (PairingLinkInbox::kObjectPath), so that a second start on the
/// same profile can hand it a link; false when the path is taken on this connection.
bool offerPairingLinkInbox(QDBusConnection bus, PairingLinkInbox* inbox);

/// Hands `link` to the instance that owns `busName`, as a second start does when the desktop
/// opens a link while Sonavert runs. Gives the exit code of this start: 0 when the running
/// instance took the link, 1 when it could not be reached or refused it (said on stderr).
QCoro::Task<int> handOverPairingLink(QDBusConnection bus, QString busName, QString link);

/// What a device without a window logs when a link arrives: a link signs nothing in until
/// its user confirms it, and this says how.
void logPendingPairingLink(const PairingLinkInbox& inbox);

} // namespace sonavert
