#pragma once

#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert {

/// The account a device is signed in to. The token itself never leaves the session: only its
/// name (the device's name on the server) is shown.
struct AccountInfo {
    QUrl server;
    QString accountName; ///< may be empty when the server does not say it
    QString deviceName;  ///< the name of this device's token on the server
};

/// A one-time code that lets another computer into this account.
struct PairingInvitation {
    QString code; ///< as shown and read aloud, e.g. "KQ7-4FD-92X"
    QUrl server;
    QDateTime expires;
    QUrl link; ///< sonavert://pair?server=…&code=…
};

/// This device's sign-in: remembered across starts (address in the profile's defaults, token
/// in the keyring), changed by the sign-in screen, the command line and pairing links. A
/// revoked token brings the session back to `SignedOut` with `lastError()` saying why.
class AccountSession : public QObject {
    Q_OBJECT
public:
    enum class State { SignedOut, SigningIn, SignedIn };
    Q_ENUM(State)

    using QObject::QObject;

    virtual State state() const = 0;
    virtual std::optional<AccountInfo> account() const = 0;
    /// Why the last sign-in failed, or why the device was signed out; empty when neither.
    virtual QString lastError() const = 0;

    /// Exchanges a pairing code at `server` for a token of its own and remembers both.
    /// `serverKey` is the fingerprint of the server's own certificate key an invitation named
    /// (empty when it named none): the server is then trusted by that key, and by no other.
    virtual QCoro::Task<Result<void>> signIn(QUrl server, QString code, QByteArray serverKey) = 0;
    /// Forgets the address and the token (and revokes nothing on the server).
    virtual QCoro::Task<Result<void>> signOut() = 0;
    /// On a machine that serves its own cloud: creates the server's first account through its
    /// loopback-only first-run call and signs in to it. Refused once the server has an account.
    virtual QCoro::Task<Result<void>> createFirstAccount(QUrl server, QString accountName) = 0;
    /// Asks the server for a pairing code; fails when signed out.
    virtual QCoro::Task<Result<PairingInvitation>> invite() = 0;

Q_SIGNALS:
    void stateChanged();
    /// Signed in with another computer's invitation: its user is at the screen, and the
    /// verification that brings the account's key is what comes next.
    void joinedWithInvitation();
};

} // namespace sonavert
