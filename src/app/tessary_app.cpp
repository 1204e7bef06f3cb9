#include "src/app/tessary_app.h"

#include "src/account/account_key_holding.h"
#include "src/account/account_keys.h"
#include "src/account/pairing_link_inbox.h"
#include "src/account/remembered_account_session.h"
#include "src/app/control_interface.h"
#include "src/app/desktop_session.h"
#include "src/app/mac_app_delegate.h"
#include "src/app/mac_background_coordinator.h"
#include "src/app/music_setup.h"
#include "src/app/pairing_link_handover.h"
#include "src/app/sparkle_updater.h"
#include "src/app/standalone_services.h"
#include "src/app/state_reporter.h"
#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/cloud/service_error.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/web_socket_push_channel.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/crypto/encrypting_cloud_database.h"
#include "src/desktop/file_secret_store.h"
#include "src/desktop/journald_log_sink.h"
#include "src/desktop/profile.h"
#include "src/desktop/secret_store.h"
#include "src/desktop/unix_signal_watcher.h"
#include "src/desktop/user_defaults.h"
#include "src/model/device_identity_store.h"
#include "src/model/device_roster_store.h"
#include "src/nearby/avahi_nearby_transport.h"
#include "src/nearby/nearby_launch_discovery_service.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/command_line_text.h"
#include "src/runtime/control_bus_name.h"
#include "src/runtime/log_channel.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QPointer>
#include <QTimer>
#include <QUrl>

namespace sonavert {

namespace {

// Nearby discovery goes through the system's avahi-daemon; without one it logs its failure
// and the cloud path carries on alone.
NearbyDiscoveryFactory avahiNearbyDiscovery(std::shared_ptr<Clock> clock) {
    return [clock](const QString& id, const QString& name, const QString& session) {
        return std::make_unique<NearbyLaunchDiscoveryService>(
            id, name, session, nullptr, clock, AvahiNearbyTransport::systemBusFactory());
    };
}

/// The update checker of this build: the feed of app_identity.h (or SONAVERT_UPDATE_FEED_URL),
/// checked at once in the background and then daily.
SparkleUpdater::Configuration updaterConfiguration() {
    SparkleUpdater::Configuration configuration;
    configuration.currentVersion = QStringLiteral(SONAVERT_VERSION);
    return configuration;
}

} // namespace

/// What a launched device runs, made in one go once its identity, its sign-in and its stored
/// key are known. Each member is made from those before it, so they end in the reverse order.
struct TessaryApp::Running {
    Running(const TessaryApp& app, const AppDevice& thisDevice,
            const std::shared_ptr<clouddb::HttpCloudDatabase>& database)
        : music(app.m_options, app.m_profile, app.m_clock, app.m_defaults)
        , sealing(
              std::make_shared<crypto::EncryptingCloudDatabase>(database, app.m_keys->keyRing()))
        , cloudService(
              std::make_shared<CloudKitHandoffService>(sealing, app.m_defaults, app.m_clock))
        , coordinator(
              DeviceHandoffViewModel::Dependencies{
                  music.following(), cloudService,
                  std::make_shared<DeviceRosterStore>(app.m_defaults), app.m_clock,
                  avahiNearbyDiscovery(app.m_clock), app.m_defaults,
                  std::make_shared<AccountKeyHolding>(app.m_keys.get())},
              thisDevice, false)
        , reporter(&coordinator, app.m_options.isVerbose)
        , background(coordinator)
        , updater(updaterConfiguration(), app.m_clock)
        , pushChannel(app.m_account->endpoints(), app.m_clock)
        , appDelegate(&pushChannel, &background, app.m_clock) {
        music.loadLibrary();
        music.passThroughServer(database, app.m_keys.get());
        // The sealing database is shared, and may outlive the keys.
        sealing->setUnknownKeyHandler([keys = QPointer<AccountKeys>(app.m_keys.get())] {
            if (keys)
                keys->checkForNewKeyNow();
        });
    }

    DeviceMusic music;
    std::shared_ptr<crypto::EncryptingCloudDatabase> sealing;
    std::shared_ptr<CloudKitHandoffService> cloudService;
    DeviceHandoffViewModel coordinator;
    StateReporter reporter;
    MacBackgroundCoordinator background;
    SparkleUpdater updater;
    clouddb::WebSocketPushChannel pushChannel;
    MacAppDelegate appDelegate;
};

TessaryApp::~TessaryApp() = default;

DeviceHandoffViewModel* TessaryApp::coordinator() const {
    return m_running ? &m_running->coordinator : nullptr;
}

DeviceMusic* TessaryApp::music() const {
    return m_running ? &m_running->music : nullptr;
}

SparkleUpdater* TessaryApp::updater() const {
    return m_running ? &m_running->updater : nullptr;
}

TessaryApp::TessaryApp(AppOptions options, std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_clock(std::move(clock))
    , m_profile(m_options.profileDirectory ? Profile::inDirectory(*m_options.profileDirectory)
                                           : Profile::standard()) {
    m_defaults = std::make_shared<SettingsUserDefaults>(m_profile.defaultsFile());
    m_secrets = std::make_shared<SystemSecretStore>();
    m_pairingLinks = std::make_unique<PairingLinkInbox>();
    // With a window, the sign-in screen shows the link; without one, the log says what to do.
    if (m_options.isHeadless)
        connect(m_pairingLinks.get(), &PairingLinkInbox::pendingPairingLinkChanged, this,
                [this] { logPendingPairingLink(*m_pairingLinks); });
}

void TessaryApp::acceptPairingLinks(QDBusConnection bus) {
    if (bus.isConnected() && !offerPairingLinkInbox(bus, m_pairingLinks.get()))
        developerLog(QStringLiteral("pairing: the link inbox's path is taken on this bus "
                                    "connection"));
    if (!m_options.pairingLink.isEmpty())
        m_pairingLinks->Open(m_options.pairingLink);
}

namespace {

// Remembered with the account: a CA file given once is used on every start until another is
// given, for every server this device signs in to.
const QString kCloudCaFileKey = QStringLiteral("Sonavert.cloud.caFile");

std::shared_ptr<clouddb::CloudTrust> cloudTrust(const AppOptions& options, UserDefaults& defaults) {
    if (options.cloudCaFile)
        defaults.setString(kCloudCaFileKey, *options.cloudCaFile);
    const std::optional<QString> path = defaults.string(kCloudCaFileKey);
    if (!path)
        return std::make_shared<clouddb::CloudTrust>();
    auto trust = clouddb::CloudTrust::withAuthorityFile(*path);
    if (trust)
        return trust.value();
    developerLog(QStringLiteral("cloud: %1; the server's certificate is checked against the "
                                "system's store alone")
                     .arg(trust.error().description));
    return std::make_shared<clouddb::CloudTrust>();
}

} // namespace

QCoro::Task<> TessaryApp::restoreAccount(QString deviceName) {
    // A device with its own profile keeps its token there too, and nothing in the keyring;
    // otherwise the keyring keeps it, or that file when no keyring answers.
    auto tokenFile = std::make_shared<FileSecretStore>(m_profile.configDirectory +
                                                       QStringLiteral("/account-token.json"));
    std::shared_ptr<SecretStore> secrets = tokenFile;
    if (!m_options.profileDirectory)
        secrets = std::make_shared<FallbackSecretStore>(m_secrets, tokenFile);
    m_accountSecrets = secrets;
    m_account =
        std::make_unique<RememberedAccountSession>(m_defaults, secrets, deviceName, m_clock);
    m_account->setTrust(cloudTrust(m_options, *m_defaults));
    m_account->setAllowsPlainHttp(m_options.allowsPlainHttp);
    co_await m_account->restore(QUrl(m_options.cloudUrl), m_options.cloudToken);
    if (m_options.firstAccountName && m_account->state() == AccountSession::State::SignedOut) {
        // Refused once the server has an account: the device then waits signed out, and the
        // hint says why.
        const auto created = co_await m_account->createFirstAccount(QUrl(m_options.cloudUrl),
                                                                    *m_options.firstAccountName);
        if (created)
            developerLog(QStringLiteral("account: created %1 on %2")
                             .arg(*m_options.firstAccountName, m_options.cloudUrl));
    }
}

void TessaryApp::onAccountChanged() {
    if (m_isTerminating)
        return;
    const auto& endpoint = m_account->endpoints()->current();
    developerLog(endpoint ? QStringLiteral("cloud: %1").arg(endpoint->server.toString())
                          : QStringLiteral("cloud: not signed in"));
    m_running->cloudService->accountChanged();
    m_keys->setAccount(accountKeyNameOf(*m_account));
    if (!endpoint) {
        // Nothing to ask a server for: the loops would only fail every pass.
        pauseWithoutAccount();
        return;
    }
    DeviceHandoffViewModel& coordinator = m_running->coordinator;
    if (coordinator.isRunning())
        coordinator.syncPresence(); // online now rather than at the next pass
    else
        coordinator.start();
}

std::optional<QString> TessaryApp::accountKeyNameOf(const RememberedAccountSession& session) {
    const std::optional<AccountInfo> account = session.account();
    if (!account || !session.endpoints()->current())
        return std::nullopt;
    return accountKeyName(account->server, account->accountName);
}

void TessaryApp::onKeyRingChanged() {
    m_running->sealing->setKeyRing(m_keys->keyRing());
    // Sealed from now on: this device's own records are written again under the key, which
    // is also how an account's first upgraded device moves them out of the clear.
    if (m_keys->keyRing() && !m_isTerminating)
        m_running->coordinator.syncPresence();
}

void TessaryApp::pauseWithoutAccount() {
    // The hint first: whoever sees the sync error can already read how to sign in.
    printSignInHint();
    m_running->coordinator.pauseWithoutAccount(service_error::iCloudUnavailable().description);
}

void TessaryApp::printSignInHint() const {
    // One line, once per sign-out: nothing repeats while the device waits.
    const QString reason = m_account->lastError();
    developerLog(
        QStringLiteral("account: this computer is not signed in%1. On a computer that is, "
                       "choose \u201cAdd Another Computer\u2026\u201d or run 'sonavertctl "
                       "invite'; then %2 with the server and code it shows. Waiting for the "
                       "sign-in.")
            .arg(reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason),
                 m_options.isHeadless
                     ? QStringLiteral("here run 'sonavertctl sign-in --server URL --code CODE'")
                     : QStringLiteral("sign in here in the window, or run 'sonavertctl sign-in "
                                      "--server URL --code CODE'")));
}

QCoro::Task<> TessaryApp::launch() {
    const std::stop_token stop = m_tasks.token();
    // A device with its own profile keeps its identity there; the standard profile uses the
    // desktop keyring.
    std::shared_ptr<DeviceIdentityStore> identityStore;
    if (m_options.profileDirectory)
        identityStore = std::make_shared<ProfileOnlyIdentityStore>();
    else
        identityStore = std::make_shared<KeychainDeviceIdentityStore>(m_secrets);
    const QString deviceID = co_await resolveDeviceID(identityStore, m_defaults);
    if (stop.stop_requested() || m_isTerminating)
        co_return;

    const QString deviceName = m_options.deviceName.value_or(resolveDeviceName());
    co_await restoreAccount(deviceName);
    if (stop.stop_requested() || m_isTerminating)
        co_return;
    const auto endpoints = m_account->endpoints();
    const auto database = std::make_shared<clouddb::HttpCloudDatabase>(endpoints, m_clock);
    m_keys = std::make_unique<AccountKeys>(
        AccountKeys::Dependencies{database, std::make_shared<AccountKeyStore>(m_accountSecrets),
                                  m_clock},
        deviceID, deviceName);
    // The key is read before anything is fetched, so that a song queued for this device while
    // it was off opens at once.
    if (m_options.accountKey)
        m_keys->useForThisRun(crypto::KeyRing(
            crypto::AccountKey::fromBase64(*m_options.accountKey).value())); // checked when parsed
    else if (const auto account = accountKeyNameOf(*m_account))
        co_await m_keys->loadStored(*account);
    if (stop.stop_requested() || m_isTerminating)
        co_return;

    const AppDevice thisDevice =
        DeviceHandoffViewModel::makeThisDevice(deviceID, deviceName, m_clock->now());
    m_running = std::make_unique<Running>(*this, thisDevice, database);
    developerLog(endpoints->current()
                     ? QStringLiteral("cloud: %1").arg(endpoints->current()->server.toString())
                     : QStringLiteral("cloud: not signed in"));
    developerLog(QStringLiteral("this device: %1 (%2)").arg(thisDevice.name, deviceID.left(8)));
    // Signed out, the loops stay off until the account arrives (onAccountChanged).
    if (endpoints->current())
        m_running->coordinator.start();
    else
        pauseWithoutAccount();
    m_keys->setAccount(accountKeyNameOf(*m_account));
    publishControlInterface(thisDevice.name);
    m_running->appDelegate.registerForRemoteNotifications(
        endpoints->current() ? static_cast<int>(endpoints->current()->token.toUtf8().size()) : 0);
    followAccount();
    checkReceiverShortcut();
    Q_EMIT launched();
}

void TessaryApp::followAccount() {
    connect(m_keys.get(), &AccountKeys::keyRingChanged, this, &TessaryApp::onKeyRingChanged);
    connect(m_account->endpoints().get(), &clouddb::CloudEndpointSource::changed, this,
            &TessaryApp::onAccountChanged);
    // The endpoint changes before the session says it is signed in, and the keys follow the
    // account the session names.
    connect(m_account.get(), &AccountSession::stateChanged, this, [this] {
        if (!m_isTerminating)
            m_keys->setAccount(accountKeyNameOf(*m_account));
    });
    // Whoever just typed an invitation's code is at this computer: its verification is open
    // for the computer that invited it, for a while.
    connect(m_account.get(), &AccountSession::joinedWithInvitation, this, [this] {
        m_keys->openVerification();
        QTimer::singleShot(
            std::chrono::duration_cast<std::chrono::milliseconds>(AccountKeys::kJoinOpening),
            m_keys.get(), [keys = m_keys.get()] { keys->closeVerification(); });
    });
}

QCoro::Task<> TessaryApp::checkReceiverShortcut() {
    const std::stop_token stop = m_tasks.token();
    auto clock = m_clock;
    // An interrupted wait still leads to the check, unless the app is stopping: termination
    // interrupts it so that no wait outlives the event loop.
    co_await clock->sleep(kReceiverShortcutCheckDelay, m_receiverCheckStop.get_token());
    if (stop.stop_requested() || m_isTerminating)
        co_return;
    PlayerMusicStack& stack = m_running->music.stack();
    m_isCheckingReceiver = true;
    co_await stack.installer().offerIfNotUsable(stack.shortcutsTool());
    if (stop.stop_requested())
        co_return;
    m_isCheckingReceiver = false;
    if (m_isTerminating && m_isMarkedOffline)
        finishTermination();
}

QCoro::Task<> TessaryApp::publishControlInterface(QString deviceName) {
    const std::stop_token stop = m_tasks.token();
    // Connecting is the one step QtDBus only offers blocking; it is local and quick, and
    // everything after it is awaited.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        developerLog(QStringLiteral("control: no session bus (%1); sonavertctl cannot reach "
                                    "this device")
                         .arg(bus.lastError().message()));
        co_return;
    }
    m_control = std::make_unique<ControlInterface>(
        ControlInterface::Parts{m_running->coordinator, *m_account, *m_keys, m_running->updater});
    if (!m_control->exportOn(bus)) {
        developerLog(QStringLiteral("control: the control object path is taken on this bus "
                                    "connection"));
        co_return;
    }
    const QStringList names = controlBusNames(m_options.controlBusName, deviceName);
    for (const QString& name : names) {
        const bool isOwned = co_await requestBusName(bus, name);
        if (stop.stop_requested())
            co_return;
        developerLog(isOwned ? QStringLiteral("control: on the session bus as %1").arg(name)
                             : QStringLiteral("control: %1 is taken").arg(name));
    }
}

void TessaryApp::terminate() {
    if (m_isTerminating)
        return;
    m_isTerminating = true;
    m_receiverCheckStop.request_stop();
    if (!m_running) {
        finishTermination();
        return;
    }
    m_running->pushChannel.close();
    developerLog(QStringLiteral("stopping: marking this device offline"));
    QCoro::connect(m_running->coordinator.shutdown(), this, [this] {
        m_isMarkedOffline = true;
        if (!m_isCheckingReceiver)
            finishTermination();
    });
    m_clock->schedule(kOfflineMarkGrace, [this, stop = m_tasks.token()] {
        if (!stop.stop_requested())
            finishTermination();
    });
}

void TessaryApp::finishTermination() {
    if (m_hasTerminated)
        return;
    m_hasTerminated = true;
    Q_EMIT terminated();
}

void connectProcessLifecycle(TessaryApp& app, UnixSignalWatcher& watcher) {
    QObject::connect(&watcher, &UnixSignalWatcher::terminationRequested, &app,
                     [&app, received = 0](int signalNumber) mutable {
                         // A second signal means "now": do not wait for the offline mark.
                         if (++received > 1)
                             QCoreApplication::exit(128 + signalNumber);
                         app.terminate();
                     });
    QObject::connect(&app, &TessaryApp::terminated, qApp, [] { QCoreApplication::exit(0); });
    QObject::connect(&app, &TessaryApp::launchFailed, qApp, [](const QString& message) {
        sayOnTerminal(message);
        QCoreApplication::exit(2);
    });
}

QCoro::Task<> startHeadless(TessaryApp& app, AppOptions options) {
    // Not the app's own task: it ends when it finds the app gone.
    QPointer guard(&app);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        const QString name = controlBusNameForProfile(options.profileDirectory);
        const bool isOwned = co_await requestBusName(bus, name);
        if (!guard)
            co_return;
        if (!isOwned && !options.pairingLink.isEmpty()) {
            const int exitCode = co_await handOverPairingLink(bus, name, options.pairingLink);
            QCoreApplication::exit(exitCode);
            co_return;
        }
        developerLog(isOwned ? QStringLiteral("profile: on the session bus as %1").arg(name)
                             : QStringLiteral("profile: %1 is taken").arg(name));
    }
    app.acceptPairingLinks(bus);
    app.launch();
}

int runApplication(int argc, char** argv) {
    printDeveloperLines();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const ParsedCommandLine parsed = parseCommandLine(arguments);
    if (!parsed.options) {
        command_line::print(parsed.exitCode == 0 ? command_line::Stream::Output
                                                 : command_line::Stream::Error,
                            parsed.message);
        return parsed.exitCode;
    }
    const AppOptions options = *parsed.options;
    if (!options.warning.isEmpty())
        sayOnTerminal(QStringLiteral("warning: ") + options.warning);
    if (!options.isHeadless && !hasDisplay()) {
        sayOnTerminal(QStringLiteral("no display is available (neither DISPLAY nor "
                                     "WAYLAND_DISPLAY is set).\nRun 'sonavert --headless' to run "
                                     "without a window."));
        return 1;
    }
    if (!options.isHeadless)
        return runDesktopApplication(argc, argv, options);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonavert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SONAVERT_VERSION));
    LogChannel::instance().setSink(makeDesktopLogSink());
    LogChannel::instance().setShowPrivate(options.showPrivateLogValues);

    auto clock = std::make_shared<SystemClock>();
    TessaryApp app(options, clock);
    UnixSignalWatcher watcher;
    connectProcessLifecycle(app, watcher);
    // Launch from inside the event loop: a launch that fails at once must be able to end it.
    QMetaObject::invokeMethod(
        &app, [&app, &options] { startHeadless(app, options); }, Qt::QueuedConnection);
    const int exitCode = QCoreApplication::exec();
    runPendingEvents();
    return exitCode;
}

} // namespace sonavert
