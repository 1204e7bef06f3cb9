#pragma once

#include "src/account/pairing_link.h"

#include <QObject>
#include <QUrl>
#include <optional>

namespace sonavert {

/// The pairing link this device was last given (on its command line, or handed over by a
/// second start when the desktop opened a `sonavert://pair` link), until the user answers it.
/// A link comes from anywhere, a web page included, so nothing here signs in: the sign-in
/// screen shows it filled in and asks, or, without a window, the log says how to confirm it.
/// Offered on the session bus (by the app) as `Open(link)`, so a second start can hand over.
class PairingLinkInbox : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.sonavert.Sonavert.PairingLink")
public:
    /// Where the app offers the inbox on the session bus.
    static constexpr char kObjectPath[] = "/io/sonavert/Sonavert/PairingLink";
    static constexpr char kInterface[] = "io.sonavert.Sonavert.PairingLink";

    using QObject::QObject;

    /// The link waiting for the user's answer; nothing when there is none.
    std::optional<PairingLinkContent> pendingPairingLink() const { return m_pending; }
    /// The user answered (signed in with it, or declined): the link is no longer pending.
    void clear();

public Q_SLOTS:
    /// Keeps `link` as the pending one when it is a pairing link; false (and nothing kept)
    /// when it is not one.
    Q_SCRIPTABLE bool Open(const QString& link);

Q_SIGNALS:
    /// A new pending link arrived (pendingPairingLink() has it), or it was cleared.
    void pendingPairingLinkChanged();

private:
    std::optional<PairingLinkContent> m_pending;
};

} // namespace sonavert
