#include "src/ui/window_bridge.h"

#include "src/account/account_session.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/music/player_adapters.h"
#include "src/music/receiver_shortcut.h"
#include "src/music/tessary_receiver_installer.h"
#include "src/runtime/log_channel.h"
#include "src/ui/window_texts.h"

#include <algorithm>
#include <cmath>

namespace sonavert {

namespace {

QList<qreal> stillWaveform() {
    return {device_rows::kStillWaveformHeights.begin(), device_rows::kStillWaveformHeights.end()};
}

} // namespace

WindowBridge::WindowBridge(WindowServices services, Snapshotter snapshot, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_snapshot(std::move(snapshot))
    , m_devices(new DeviceListModel(listActions(), this))
    // Read once, when the window's state is made: a restart reads them again.
    , m_showWelcome(!m_services.defaults->isTrue(kHideWelcomeKey))
    , m_isDiscontinuedBannerDismissed(m_services.defaults->isTrue(kDiscontinuedBannerDismissedKey))
    , m_showReceiverOnboarding(m_services.installer &&
                               !m_services.defaults->isTrue(receiver_shortcut::kDonatedKey))
    , m_showMusicConsent(!m_services.defaults->contains(ConsentingMusicCatalog::kAllowedKey))
    , m_signIn(new SignInBridge(m_services.account, m_services.serverBrowser, m_services.defaults,
                                m_services.homeServer, this))
    , m_invite(new InviteBridge(m_services.account, m_services.clock, m_services.actions, this))
    , m_keys(new KeysBridge(m_services.keys, this)) {
    connect(m_keys, &KeysBridge::changed, this, &WindowBridge::bannersChanged);
    // Whether the rows offer a verification follows whether this computer can give one.
    connect(m_keys, &KeysBridge::changed, this, &WindowBridge::refreshDevices);
    // The computer the invitation brought goes straight into its verification: the
    // invitation's dialog gives way to the verification's.
    m_invite->setAccountKeys(m_services.keys);
    connect(m_invite, &InviteBridge::computerJoined, this, [this](const QString& name) {
        m_invite->close();
        m_keys->verify(name, true);
    });
    // Whoever offered the receiver (a button here, or the check at launch), the banner
    // follows the user's answer.
    if (m_services.installer)
        connect(m_services.installer, &TessaryReceiverInstaller::offered, this,
                &WindowBridge::startReceiverRechecks);
    m_devices->setWaveformHeights(stillWaveform());
    connectCoordinator();
    if (m_services.account)
        connect(m_services.account, &AccountSession::stateChanged, this,
                &WindowBridge::onAccountStateChanged);
    refreshDevices();
}

DeviceListModel::Actions WindowBridge::listActions() {
    return {[this](const QString& id) { transfer(id); }, [this](const QString& id) { pull(id); },
            [this](const QString& id) { toggleFavorite(id); },
            [this](const QString& id) { forget(id); }, [this](const QString& id) { verify(id); }};
}

WindowBridge::~WindowBridge() {
    m_inViewWork.request_stop();
    m_recheckWork.request_stop();
    if (m_offlineRefresh)
        m_services.clock->cancelScheduled(*m_offlineRefresh);
    if (m_waveformFrame)
        m_services.clock->cancelScheduled(*m_waveformFrame);
}

void WindowBridge::connectCoordinator() {
    auto* coordinator = m_services.coordinator;
    using C = DeviceHandoffViewModel;
    for (auto signal : {&C::devicesChanged, &C::isTransferringChanged, &C::isPullingChanged,
                        &C::isDiscoveringChanged, &C::currentStateChanged})
        connect(coordinator, signal, this, &WindowBridge::refreshDevices);
    connect(coordinator, &C::currentStateChanged, this, &WindowBridge::nowPlayingChanged);
    connect(coordinator, &C::currentStateChanged, this, &WindowBridge::bannersChanged);
    for (auto signal : {&C::activityLabelChanged, &C::transferErrorChanged, &C::syncErrorChanged})
        connect(coordinator, signal, this, &WindowBridge::bannersChanged);
    connect(coordinator, &C::shouldRequestReviewChanged, this,
            &WindowBridge::onReviewRequestChanged);
}

WindowBridge::Screen WindowBridge::screen() const {
    if (m_showWelcome)
        return Screen::Welcome;
    const auto* account = m_services.account;
    if (account && account->state() != AccountSession::State::SignedIn)
        return Screen::SignIn;
    return Screen::Main;
}

WindowBridge::Sheet WindowBridge::sheet() const {
    // Sheets cover only the main content; they open as soon as the user reaches it.
    if (screen() != Screen::Main)
        return Sheet::NoSheet;
    if (m_showMusicConsent)
        return Sheet::MusicConsent;
    if (m_showReceiverOnboarding)
        return Sheet::ReceiverOnboarding;
    return Sheet::NoSheet;
}

QStringList WindowBridge::mainSections() const {
    const auto* c = m_services.coordinator;
    // One row per section in display order, with the condition under which it shows.
    const std::pair<const char*, bool> sections[] = {
        {"title", true},
        {"receiver", m_receiverMissing},
        {"discontinued", showDiscontinuedBanner()},
        {"nowPlaying", c->currentState().has_value()},
        {"activity", c->activityLabel().has_value()},
        {"transferError", c->transferError().has_value()},
        {"sync", c->syncError().has_value()},
        {"key", m_keys->lacksKey()},
        {"devices", true},
        {"footer", true},
    };
    QStringList shown;
    for (const auto& [name, isShown] : sections) {
        if (isShown)
            shown << QString::fromLatin1(name);
    }
    return shown;
}

QString WindowBridge::activityLabel() const {
    return m_services.coordinator->activityLabel().value_or(QString());
}

QString WindowBridge::transferError() const {
    return m_services.coordinator->transferError().value_or(QString());
}

bool WindowBridge::canPush() const {
    return m_services.coordinator->currentState().has_value();
}

QString WindowBridge::nowPlayingTitle() const {
    const auto& state = m_services.coordinator->currentState();
    return state ? state->songTitle : QString();
}

QString WindowBridge::nowPlayingArtist() const {
    const auto& state = m_services.coordinator->currentState();
    return state ? state->artistName : QString();
}

QString WindowBridge::nowPlayingAlbum() const {
    const auto& state = m_services.coordinator->currentState();
    return state && state->albumTitle ? *state->albumTitle : QString();
}

bool WindowBridge::hasNowPlayingAlbum() const {
    const auto& state = m_services.coordinator->currentState();
    return state && state->albumTitle.has_value();
}

QString WindowBridge::nowPlayingElapsed() const {
    const auto& state = m_services.coordinator->currentState();
    return state ? window_texts::elapsedTimeText(state->playbackTime) : QString();
}

QString WindowBridge::nowPlayingSource() const {
    const auto& state = m_services.coordinator->currentState();
    return state && state->isRelayed ? QStringLiteral("Playing from another computer") : QString();
}

QString WindowBridge::versionLine() const {
    return window_texts::versionLine(m_services.shortVersion, m_services.build);
}

QString WindowBridge::versionAccessibilityLabel() const {
    return window_texts::versionAccessibilityLabel(m_services.shortVersion, m_services.build);
}

void WindowBridge::setDarkAppearance(bool dark) {
    if (m_darkAppearance == dark)
        return;
    m_darkAppearance = dark;
    Q_EMIT appearanceChanged();
}

void WindowBridge::setAnimationsEnabled(bool enabled) {
    if (m_animationsEnabled == enabled)
        return;
    m_animationsEnabled = enabled;
    Q_EMIT appearanceChanged();
    updateWaveform();
}

void WindowBridge::setWindowVisible(bool visible) {
    if (m_windowVisible == visible)
        return;
    m_windowVisible = visible;
    Q_EMIT appearanceChanged();
    refreshDevices();
    updateMainContentInView();
}

void WindowBridge::setDontShowWelcomeAgain(bool value) {
    if (m_dontShowWelcomeAgain == value)
        return;
    m_dontShowWelcomeAgain = value;
    Q_EMIT dontShowWelcomeAgainChanged();
}

void WindowBridge::setShowWelcome(bool value) {
    if (m_showWelcome == value)
        return;
    m_showWelcome = value;
    Q_EMIT screenChanged();
    updateMainContentInView();
}

void WindowBridge::setReceiverMissing(bool value) {
    if (m_receiverMissing == value)
        return;
    m_receiverMissing = value;
    developerLog(value ? QStringLiteral("window: the receiver Shortcut is missing")
                       : QStringLiteral("window: the receiver Shortcut is there"));
    Q_EMIT bannersChanged();
}

void WindowBridge::refreshDevices() {
    const auto* c = m_services.coordinator;
    DeviceRowContext context;
    context.canPush = c->currentState().has_value();
    context.isTransferring = c->isTransferring();
    context.isPulling = c->isPulling();
    context.isDiscovering = c->isDiscovering();
    context.canVerify = m_keys && m_keys->canVerifyOthers();
    context.now = m_services.clock->now();
    m_devices->update(c->devices(), context);
    scheduleOfflineRefresh();
    updateWaveform();
}

void WindowBridge::scheduleOfflineRefresh() {
    if (m_offlineRefresh)
        m_services.clock->cancelScheduled(*m_offlineRefresh);
    m_offlineRefresh.reset();
    if (!m_windowVisible)
        return;
    // Wake exactly when the first "· Nm ago" text would turn stale, and not before.
    const Timestamp now = m_services.clock->now();
    std::optional<double> soonest;
    for (const AppDevice& device : m_services.coordinator->devices()) {
        if (device.presence != DevicePresence::Offline)
            continue;
        const double wait =
            device_rows::secondsUntilOfflineTextChanges(now.secondsSince(device.lastSeen));
        soonest = std::min(soonest.value_or(wait), wait);
    }
    if (!soonest)
        return;
    const auto delay = std::chrono::duration_cast<Duration>(
        std::chrono::duration<double>(*soonest) + std::chrono::milliseconds(1));
    m_offlineRefresh = m_services.clock->schedule(delay, [this] {
        m_offlineRefresh.reset();
        refreshDevices();
    });
}

void WindowBridge::updateWaveform() {
    const bool anyPlaying = m_devices->hasPlayingRow();
    if (!m_animationsEnabled)
        m_devices->setWaveformHeights(stillWaveform());
    if (animationsRunning() && anyPlaying)
        scheduleWaveformFrame();
    else if (m_waveformFrame) {
        m_services.clock->cancelScheduled(*m_waveformFrame);
        m_waveformFrame.reset();
    }
}

void WindowBridge::scheduleWaveformFrame() {
    if (m_waveformFrame)
        return;
    m_waveformFrame = m_services.clock->schedule(kWaveformFrameInterval, [this] {
        m_waveformFrame.reset();
        const double t = m_services.clock->now().secondsSinceReferenceDate;
        QList<qreal> heights;
        for (double phase : device_rows::kWaveformPhases)
            heights << device_rows::waveformBarHeight(t, phase);
        m_devices->setWaveformHeights(heights);
        updateWaveform();
    });
}

} // namespace sonavert
