#include "src/ui/invite_bridge.h"

#include "src/account/account_keys.h"
#include "src/ui/platform_actions.h"
#include "src/ui/window_texts.h"

namespace sonavert {

InviteBridge::InviteBridge(AccountSession* session, std::shared_ptr<Clock> clock,
                           PlatformActions* actions, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_clock(std::move(clock))
    , m_actions(actions) {}

void InviteBridge::setAccountKeys(AccountKeys* keys) {
    m_keys = keys;
}

InviteBridge::~InviteBridge() {
    cancelTick();
    stopWatching();
}

QString InviteBridge::code() const {
    return m_invitation ? m_invitation->code : QString();
}

QString InviteBridge::serverAddress() const {
    return m_invitation ? window_texts::serverText(m_invitation->server) : QString();
}

QString InviteBridge::link() const {
    return m_invitation ? m_invitation->link.toString(QUrl::FullyEncoded) : QString();
}

QString InviteBridge::timeLeftText() const {
    return m_invitation ? window_texts::invitationTimeLeft(double(millisecondsLeft()) / 1000.0)
                        : QString();
}

qint64 InviteBridge::millisecondsLeft() const {
    // Whole milliseconds, as the server gives the expiry: the ticks land exactly on the
    // change of the shown second, with no rounding to drift them past it.
    if (!m_invitation)
        return 0;
    return m_invitation->expires.toMSecsSinceEpoch() - m_clock->now().unixMilliseconds();
}

void InviteBridge::open() {
    if (!m_session || m_isOpen)
        return;
    m_isOpen = true;
    request();
}

void InviteBridge::newCode() {
    // A live code stays: a second one would only confuse who reads it out.
    if (m_isOpen && (m_phase == Phase::Expired || m_phase == Phase::Failed))
        request();
}

void InviteBridge::request() {
    cancelTick();
    stopWatching();
    m_invitation.reset();
    m_error.clear();
    m_isLinkCopied = false;
    m_phase = Phase::Asking;
    Q_EMIT changed();
    ask(++m_request);
}

void InviteBridge::copyLink() {
    if (!m_invitation || m_phase != Phase::Showing)
        return;
    m_actions->copyToClipboard(link());
    m_isLinkCopied = true;
    Q_EMIT changed();
}

void InviteBridge::close() {
    if (!m_isOpen)
        return;
    ++m_request;
    cancelTick();
    stopWatching();
    m_isOpen = false;
    m_invitation.reset();
    m_error.clear();
    m_isLinkCopied = false;
    m_phase = Phase::Asking;
    Q_EMIT changed();
}

QCoro::Task<> InviteBridge::ask(int request) {
    const std::stop_token stop = m_tasks.token();
    // The computers there before the code exists: the one that signs in with it is the one
    // not among them. Only a computer holding the key can go on to verify it.
    std::optional<QSet<QString>> known;
    if (m_keys && m_keys->state() == AccountKeys::State::Verified) {
        const Result<QSet<QString>> ids = co_await m_keys->deviceIDs();
        if (stop.stop_requested() || request != m_request)
            co_return;
        if (ids)
            known = ids.value();
    }
    const Result<PairingInvitation> answer = co_await m_session->invite();
    if (stop.stop_requested() || request != m_request)
        co_return;
    if (!answer) {
        m_error = answer.error().description;
        setPhase(Phase::Failed);
        co_return;
    }
    m_invitation = answer.value();
    setPhase(Phase::Showing);
    onTick();
    if (known)
        watchForJoining(request, *known);
}

QCoro::Task<> InviteBridge::watchForJoining(int request, QSet<QString> known) {
    if (!m_keys)
        co_return;
    const std::stop_token stop = m_tasks.token();
    const Result<KeyedDevice> joined =
        co_await m_keys->awaitJoiningComputer(known, m_invitation->expires, m_watch.get_token());
    if (stop.stop_requested() || request != m_request || !joined)
        co_return;
    Q_EMIT computerJoined(joined.value().name);
}

void InviteBridge::stopWatching() {
    m_watch.request_stop();
    m_watch = std::stop_source();
}

void InviteBridge::setPhase(Phase phase) {
    m_phase = phase;
    Q_EMIT changed();
}

void InviteBridge::onTick() {
    m_tick.reset();
    if (millisecondsLeft() <= 0) {
        // An expired code is gone from the dialog: nobody should read it out any more.
        stopWatching();
        const QUrl server = m_invitation->server;
        m_invitation->code.clear();
        m_invitation->link.clear();
        m_invitation->server = server;
        m_isLinkCopied = false;
        setPhase(Phase::Expired);
        return;
    }
    Q_EMIT changed();
    scheduleTick();
}

void InviteBridge::scheduleTick() {
    // Wake when the shown whole second changes (it is rounded up), not on a free-running
    // beat that drifts.
    const qint64 left = millisecondsLeft();
    const qint64 shownSeconds = (left + 999) / 1000;
    const auto delay = std::chrono::duration_cast<Duration>(
        std::chrono::milliseconds(left - (shownSeconds - 1) * 1000));
    m_tick = m_clock->schedule(delay, [this] { onTick(); });
}

void InviteBridge::cancelTick() {
    if (m_tick)
        m_clock->cancelScheduled(*m_tick);
    m_tick.reset();
}

} // namespace sonavert
