#pragma once

#include "src/account/account_session.h"
#include "src/runtime/clock.h"

#include <QStringList>
#include <deque>
#include <memory>

namespace sonavert {

/// A scriptable sign-in: answers from its fields, records every call in `calls`, and holds
/// each call for `latency` on the test's clock so a test sees the window while it runs.
/// Queued results are used first, one per call; an empty queue succeeds.
class FakeAccountSession final : public AccountSession {
public:
    explicit FakeAccountSession(std::shared_ptr<Clock> clock);

    State state() const override { return m_state; }
    std::optional<AccountInfo> account() const override { return m_account; }
    QString lastError() const override { return m_lastError; }

    QCoro::Task<Result<void>> signIn(QUrl server, QString code, QByteArray serverKey) override;
    QCoro::Task<Result<void>> signOut() override;
    QCoro::Task<Result<void>> createFirstAccount(QUrl server, QString accountName) override;
    QCoro::Task<Result<PairingInvitation>> invite() override;

    /// Signed in to `accountName` at `server`, as a remembered sign-in is at start.
    void setSignedIn(const QUrl& server, const QString& accountName = QStringLiteral("home"));
    /// The server revoked this device's token: signed out, with `reason` as the last error.
    void revoke(const QString& reason);

    QStringList calls; ///< "signIn SERVER CODE[ KEY]", "signOut", "createFirstAccount SERVER NAME",
                       ///< "invite"
    Duration latency = Duration::zero();
    std::deque<Status> signInResults;
    std::deque<Result<PairingInvitation>> inviteResults;
    /// How long a made-up invitation lasts, from the clock's now.
    Duration invitationLifetime = std::chrono::minutes(10);

private:
    QCoro::Task<bool> enter(QString call);
    void setState(State state, std::optional<AccountInfo> account, QString error);
    Result<void> finishSignIn(const QUrl& server, const QString& accountName);

    std::shared_ptr<Clock> m_clock;
    State m_state = State::SignedOut;
    std::optional<AccountInfo> m_account;
    QString m_lastError;
    int m_invitations = 0;
};

} // namespace sonavert
