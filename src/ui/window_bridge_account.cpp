// The window's account entries: who it is signed in as, "Add Another Computer…", signing out
// after a confirmation, and pairing links handed over by the desktop.

#include "src/account/account_session.h"
#include "src/runtime/log_channel.h"
#include "src/ui/window_bridge.h"
#include "src/ui/window_texts.h"

namespace sonavert {

QString WindowBridge::accountLine() const {
    const auto* session = m_services.account;
    const auto account = session ? session->account() : std::nullopt;
    if (!account || session->state() != AccountSession::State::SignedIn)
        return QString();
    return window_texts::accountLine(account->accountName, account->server);
}

QString WindowBridge::signOutQuestion() const {
    const auto* session = m_services.account;
    const auto account = session ? session->account() : std::nullopt;
    return window_texts::signOutQuestion(account ? account->accountName : QString());
}

void WindowBridge::addAnotherComputer() {
    if (canAddAnotherComputer())
        m_invite->open();
}

void WindowBridge::askToSignOut() {
    if (hasAccount() && m_services.account->state() == AccountSession::State::SignedIn)
        setConfirmingSignOut(true);
}

void WindowBridge::cancelSignOut() {
    setConfirmingSignOut(false);
}

void WindowBridge::confirmSignOut() {
    // A second click while the first sign-out runs is not a second sign-out.
    if (!m_isConfirmingSignOut || m_isSigningOut)
        return;
    m_invite->close();
    runSignOut();
}

QCoro::Task<> WindowBridge::runSignOut() {
    const std::stop_token stop = m_tasks.token();
    m_isSigningOut = true;
    const Result<void> result = co_await m_services.account->signOut();
    if (stop.stop_requested())
        co_return;
    m_isSigningOut = false;
    // A sign-out that failed leaves the question open with the reason, so it can be tried
    // again; it never reads as done.
    if (!result) {
        developerLog(QStringLiteral("account: sign-out failed: ") + result.error().description);
        setConfirmingSignOut(true, result.error().description);
        co_return;
    }
    setConfirmingSignOut(false);
}

void WindowBridge::setConfirmingSignOut(bool value, QString error) {
    if (m_isConfirmingSignOut == value && m_signOutError == error)
        return;
    m_isConfirmingSignOut = value;
    m_signOutError = std::move(error);
    Q_EMIT accountChanged();
}

bool WindowBridge::showPairingLink(const QUrl& link) {
    if (screen() == Screen::Main || !hasAccount())
        return false;
    return m_signIn->showPairingLink(link);
}

void WindowBridge::onAccountStateChanged() {
    // Signed out (by the user, the command line or a revoked token): nothing offered for the
    // account stays open.
    if (m_services.account->state() != AccountSession::State::SignedIn) {
        m_invite->close();
        m_isConfirmingSignOut = false;
        m_signOutError.clear();
    }
    Q_EMIT accountChanged();
    Q_EMIT screenChanged();
    updateMainContentInView();
}

} // namespace sonavert
