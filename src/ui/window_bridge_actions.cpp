// What the window's buttons do, and the few timed tasks behind them: the receiver check, its
// re-check after "Add Shortcut", and the delayed review request. Every task checks the
// bridge's cancellation after each suspension: the bridge may be gone by then.

#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/music/player_adapters.h"
#include "src/music/tessary_receiver_installer.h"
#include "src/runtime/app_identity.h"
#include "src/stream/following_music_service.h"
#include "src/ui/platform_actions.h"
#include "src/ui/window_bridge.h"
#include "src/ui/window_texts.h"

namespace sonavert {

std::optional<AppDevice> WindowBridge::deviceWithID(const QString& id) const {
    for (const AppDevice& device : m_services.coordinator->devices()) {
        if (device.id == id)
            return device;
    }
    return std::nullopt;
}

void WindowBridge::transfer(const QString& deviceID) {
    auto* c = m_services.coordinator;
    const auto device = deviceWithID(deviceID);
    // The buttons are disabled while either runs; a late click must not overlap them either.
    if (!device || !canPush() || c->isTransferring() || c->isPulling())
        return;
    c->transfer(*device);
}

void WindowBridge::pull(const QString& deviceID) {
    auto* c = m_services.coordinator;
    const auto device = deviceWithID(deviceID);
    if (!device || !device->isPullable() || c->isTransferring() || c->isPulling())
        return;
    c->pull(*device);
}

void WindowBridge::verify(const QString& deviceID) {
    if (const auto device = deviceWithID(deviceID); device && device->isUnverified)
        m_keys->verify(device->name, false);
}

void WindowBridge::toggleFavorite(const QString& deviceID) {
    if (const auto device = deviceWithID(deviceID))
        m_services.coordinator->toggleFavorite(*device);
}

void WindowBridge::forget(const QString& deviceID) {
    if (const auto device = deviceWithID(deviceID))
        m_services.coordinator->forget(*device);
}

void WindowBridge::closeDiscontinuedBanner() {
    m_services.defaults->setBool(kDiscontinuedBannerDismissedKey, true);
    if (m_isDiscontinuedBannerDismissed)
        return;
    const bool wasShown = showDiscontinuedBanner();
    m_isDiscontinuedBannerDismissed = true;
    if (wasShown)
        Q_EMIT bannersChanged();
}

void WindowBridge::setSuccessorChannel(const std::optional<QString>& channel) {
    if (channel == m_successorChannel)
        return;
    m_successorChannel = channel;
    Q_EMIT bannersChanged();
}

QString WindowBridge::discontinuedText() const {
    return m_successorChannel ? window_texts::discontinuedVersionText(*m_successorChannel)
                              : QString();
}

void WindowBridge::closeTransferError() {
    m_services.coordinator->setTransferError(std::nullopt);
}

void WindowBridge::addShortcut() {
    if (!m_services.installer)
        return;
    // The installer's offer starts the rechecks.
    m_services.installer->install();
}

void WindowBridge::notNow() {
    m_services.defaults->setBool(receiver_shortcut::kDonatedKey, true);
    closeReceiverOnboarding();
}

void WindowBridge::installShortcut() {
    // The installer stores the offered flag itself.
    if (m_services.installer)
        m_services.installer->install();
    closeReceiverOnboarding();
}

void WindowBridge::closeReceiverOnboarding() {
    if (!m_showReceiverOnboarding)
        return;
    m_showReceiverOnboarding = false;
    Q_EMIT screenChanged();
}

bool WindowBridge::shareMusic() const {
    return m_services.defaults->boolValue(stream::FollowingMusicService::kSharingKey)
        .value_or(true);
}

void WindowBridge::setShareMusic(bool value) {
    if (shareMusic() == value)
        return;
    m_services.defaults->setBool(stream::FollowingMusicService::kSharingKey, value);
    Q_EMIT shareMusicChanged();
}

void WindowBridge::answerMusicConsent(bool allowed) {
    m_services.defaults->setBool(ConsentingMusicCatalog::kAllowedKey, allowed);
    if (!m_showMusicConsent)
        return;
    m_showMusicConsent = false;
    Q_EMIT screenChanged();
}

void WindowBridge::closeSheet() {
    switch (sheet()) {
    case Sheet::MusicConsent:
        m_showMusicConsent = false;
        Q_EMIT screenChanged();
        break;
    case Sheet::ReceiverOnboarding:
        closeReceiverOnboarding();
        break;
    case Sheet::NoSheet:
        break;
    }
}

void WindowBridge::getStarted() {
    // The switch alone writes nothing; only leaving with it on does.
    if (m_dontShowWelcomeAgain)
        m_services.defaults->setBool(kHideWelcomeKey, true);
    setShowWelcome(false);
}

void WindowBridge::getDownloadLink() {
    const auto link =
        window_texts::downloadLinkRequest(QString::fromLatin1(app_identity::kSupportAddress));
    if (link)
        m_services.actions->openUrl(*link);
}

void WindowBridge::contactSupport() {
    // The picture is taken first, while the window still shows what the user asks about.
    const QImage snapshot = m_snapshot ? m_snapshot() : QImage();
    const QString footer = window_texts::supportMailFooter(
        m_services.shortVersion, m_services.build, m_services.actions->operatingSystemVersion(),
        m_services.actions->hardwareModel());
    m_services.actions->composeSupportMail(QString::fromLatin1(app_identity::kSupportAddress),
                                           window_texts::kSupportSubject, footer, snapshot);
}

void WindowBridge::checkForUpdates() {
    m_services.actions->checkForUpdates();
}

void WindowBridge::quit() {
    m_services.actions->quit();
}

void WindowBridge::showHelp() {
    if (m_isShowingHelp)
        return;
    m_isShowingHelp = true;
    Q_EMIT isShowingHelpChanged();
}

void WindowBridge::closeHelp() {
    if (!m_isShowingHelp)
        return;
    m_isShowingHelp = false;
    Q_EMIT isShowingHelpChanged();
}

void WindowBridge::updateMainContentInView() {
    m_signIn->setActive(m_windowVisible && screen() == Screen::SignIn);
    const bool inView = m_windowVisible && screen() == Screen::Main;
    if (inView == m_isMainContentInView)
        return;
    m_isMainContentInView = inView;
    if (!inView) {
        // Work attached to the main content ends when it leaves the window.
        m_inViewWork.request_stop();
        return;
    }
    m_inViewWork = std::stop_source();
    // The coordinator ignores a second start while its loops run.
    m_services.coordinator->start();
    runReceiverCheck(m_inViewWork.get_token());
    Q_EMIT mainContentShown();
}

QCoro::Task<> WindowBridge::runReceiverCheck(std::stop_token token) {
    if (!m_services.installer)
        co_return;
    const std::stop_token stop = m_tasks.token();
    const ShortcutInstallStatus status = co_await m_services.installer->isShortcutInstalled();
    if (stop.stop_requested() || token.stop_requested())
        co_return;
    // Only a definite "not installed" shows the banner: a check that could not run says nothing.
    setReceiverMissing(status == ShortcutInstallStatus::NotInstalled);
}

void WindowBridge::startReceiverRechecks() {
    m_recheckWork.request_stop();
    m_recheckWork = std::stop_source();
    runReceiverRechecks(m_recheckWork.get_token());
}

QCoro::Task<> WindowBridge::runReceiverRechecks(std::stop_token token) {
    const std::stop_token stop = m_tasks.token();
    const std::shared_ptr<Clock> clock = m_services.clock;
    TessaryReceiverInstaller* installer = m_services.installer;
    for (int attempt = 0; attempt < kReceiverRecheckCount; ++attempt) {
        if (!co_await clock->sleep(kReceiverRecheckDelay, token) || stop.stop_requested())
            co_return;
        const ShortcutInstallStatus status = co_await installer->isShortcutInstalled();
        if (stop.stop_requested() || token.stop_requested())
            co_return;
        setReceiverMissing(status == ShortcutInstallStatus::NotInstalled);
        // Added, or a check that cannot tell: looking again would not change what shows.
        if (status != ShortcutInstallStatus::NotInstalled)
            co_return;
    }
}

void WindowBridge::onReviewRequestChanged() {
    if (!m_services.coordinator->shouldRequestReview())
        return;
    // Taken at once, so a second request right after is seen as a change again.
    m_services.coordinator->setShouldRequestReview(false);
    runReviewRequest();
}

QCoro::Task<> WindowBridge::runReviewRequest() {
    const std::stop_token stop = m_tasks.token();
    const std::shared_ptr<Clock> clock = m_services.clock;
    co_await clock->sleep(kReviewRequestDelay);
    // A sleep cut short still asks; only a window that is gone does not.
    if (!stop.stop_requested())
        m_services.actions->requestReview();
}

} // namespace sonavert
