#include "tests/fakes/fake_account_session.h"

#include "src/account/pairing_link.h"

#include <QPointer>

namespace sonavert {

FakeAccountSession::FakeAccountSession(std::shared_ptr<Clock> clock)
    : m_clock(std::move(clock)) {}

QCoro::Task<bool> FakeAccountSession::enter(QString call) {
    calls << call;
    if (latency <= Duration::zero())
        co_return true;
    // A rig torn down while a call waits fires the remaining timers after this fake is gone.
    QPointer<FakeAccountSession> self(this);
    auto clock = m_clock;
    co_await clock->sleep(latency);
    co_return !self.isNull();
}

namespace {

Error stopped() {
    return makeError(QStringLiteral("Account"), 3, stoppedText());
}

} // namespace

void FakeAccountSession::setState(State state, std::optional<AccountInfo> account, QString error) {
    m_state = state;
    m_account = std::move(account);
    m_lastError = std::move(error);
    Q_EMIT stateChanged();
}

void FakeAccountSession::setSignedIn(const QUrl& server, const QString& accountName) {
    setState(State::SignedIn, AccountInfo{server, accountName, QStringLiteral("this-computer")},
             QString());
}

void FakeAccountSession::revoke(const QString& reason) {
    setState(State::SignedOut, std::nullopt, reason);
}

Result<void> FakeAccountSession::finishSignIn(const QUrl& server, const QString& accountName) {
    Status result;
    if (!signInResults.empty()) {
        result = signInResults.front();
        signInResults.pop_front();
    }
    if (result)
        setSignedIn(server, accountName);
    else
        setState(State::SignedOut, std::nullopt, result.error().description);
    return result;
}

QCoro::Task<Result<void>> FakeAccountSession::signIn(QUrl server, QString code,
                                                     QByteArray serverKey) {
    setState(State::SigningIn, std::nullopt, QString());
    const QString key =
        serverKey.isEmpty() ? QString() : QLatin1Char(' ') + QString::fromLatin1(serverKey.toHex());
    const bool isAlive = co_await enter(QStringLiteral("signIn ") + server.toString() +
                                        QLatin1Char(' ') + code + key);
    if (!isAlive)
        co_return stopped();
    co_return finishSignIn(server, QStringLiteral("home"));
}

QCoro::Task<Result<void>> FakeAccountSession::createFirstAccount(QUrl server, QString name) {
    setState(State::SigningIn, std::nullopt, QString());
    const bool isAlive = co_await enter(QStringLiteral("createFirstAccount ") + server.toString() +
                                        QLatin1Char(' ') + name);
    if (!isAlive)
        co_return stopped();
    co_return finishSignIn(server, name);
}

QCoro::Task<Result<void>> FakeAccountSession::signOut() {
    const bool isAlive = co_await enter(QStringLiteral("signOut"));
    if (!isAlive)
        co_return stopped();
    setState(State::SignedOut, std::nullopt, QString());
    co_return Result<void>();
}

QCoro::Task<Result<PairingInvitation>> FakeAccountSession::invite() {
    const bool isAlive = co_await enter(QStringLiteral("invite"));
    if (!isAlive)
        co_return stopped();
    if (!inviteResults.empty()) {
        Result<PairingInvitation> next = inviteResults.front();
        inviteResults.pop_front();
        co_return next;
    }
    if (m_state != State::SignedIn)
        co_return makeError(QStringLiteral("Account"), 1, QStringLiteral("Not signed in."));
    // A different code each time, so a test sees that "New Code" asked again.
    PairingInvitation made;
    // Four groups, as a server of its own certificate gives: the last checks its key.
    made.code = QStringLiteral("KQ7-4FD-9%1X-M3P").arg(++m_invitations % 8 + 2);
    made.server = m_account->server;
    made.expires = m_clock->now().toDateTime().addMSecs(
        std::chrono::duration_cast<std::chrono::milliseconds>(invitationLifetime).count());
    made.link = makePairingLink(made.server, made.code);
    co_return made;
}

} // namespace sonavert
