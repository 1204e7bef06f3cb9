#include "tessary_app.h"

#include "coordinator/device_handoff_view_model.h"
#include "model/device_identity_store.h"
#include "model/device_roster_store.h"
#include "nearby/avahi_nearby_transport.h"
#include "nearby/nearby_launch_discovery_service.h"
#include "runtime/log_channel.h"
#include "runtime/profile.h"
#include "runtime/secret_store.h"
#include "runtime/unix_signal_watcher.h"
#include "runtime/user_defaults.h"
#include "standalone_services.h"
#include "state_reporter.h"

#include <QCoreApplication>
#include <QPointer>
#include <cstdio>

namespace sonavert {

TessaryApp::TessaryApp(AppOptions options, std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_clock(std::move(clock)) {
    const Profile profile = m_options.profileDirectory
                                ? Profile::inDirectory(*m_options.profileDirectory)
                                : Profile::standard();
    m_defaults = std::make_shared<SettingsUserDefaults>(profile.defaultsFile());
}

TessaryApp::~TessaryApp() = default;

namespace {

// Nearby discovery goes through the system's avahi-daemon; without one it logs its failure
// and the cloud path carries on alone.
NearbyDiscoveryFactory avahiNearbyDiscovery(std::shared_ptr<Clock> clock) {
    return [clock](const QString& id, const QString& name, const QString& session) {
        return std::make_unique<NearbyLaunchDiscoveryService>(
            id, name, session, nullptr, clock, AvahiNearbyTransport::systemBusFactory());
    };
}

} // namespace

QCoro::Task<> TessaryApp::launch() {
    QPointer guard(this);
    // A device with its own profile keeps its identity there; the standard profile uses the
    // desktop keyring.
    std::shared_ptr<DeviceIdentityStore> identityStore;
    if (m_options.profileDirectory)
        identityStore = std::make_shared<ProfileOnlyIdentityStore>();
    else
        identityStore =
            std::make_shared<KeychainDeviceIdentityStore>(std::make_shared<SystemSecretStore>());
    const QString deviceID = co_await resolveDeviceID(identityStore, m_defaults);
    if (!guard || m_isTerminating)
        co_return;

    m_musicService = std::make_shared<SilentMusicService>();
    m_handoffService = std::make_shared<StandaloneHandoffService>();
    const AppDevice thisDevice =
        DeviceHandoffViewModel::makeThisDevice(deviceID, resolveDeviceName(), m_clock->now());
    developerLog(QStringLiteral("this device: %1 (%2)").arg(thisDevice.name, deviceID.left(8)));
    m_coordinator = std::make_unique<DeviceHandoffViewModel>(
        DeviceHandoffViewModel::Dependencies{m_musicService, m_handoffService,
                                             std::make_shared<DeviceRosterStore>(m_defaults),
                                             m_clock, avahiNearbyDiscovery(m_clock)},
        thisDevice, false);
    m_reporter = std::make_unique<StateReporter>(m_coordinator.get(), m_options.isVerbose);
    m_coordinator->start();
    Q_EMIT launched();
}

void TessaryApp::terminate() {
    if (m_isTerminating)
        return;
    m_isTerminating = true;
    if (!m_coordinator) {
        finishTermination();
        return;
    }
    developerLog(QStringLiteral("stopping: marking this device offline"));
    QCoro::connect(m_coordinator->shutdown(), this, [this] { finishTermination(); });
    m_clock->schedule(kOfflineMarkGrace, [guard = QPointer(this)] {
        if (guard)
            guard->finishTermination();
    });
}

void TessaryApp::finishTermination() {
    if (m_hasTerminated)
        return;
    m_hasTerminated = true;
    Q_EMIT terminated();
}

int runApplication(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const ParsedCommandLine parsed = parseCommandLine(arguments);
    if (!parsed.options) {
        std::fputs(parsed.message.toLocal8Bit().constData(),
                   parsed.exitCode == 0 ? stdout : stderr);
        return parsed.exitCode;
    }
    const AppOptions options = *parsed.options;
    if (!options.isHeadless && !hasDisplay()) {
        std::fputs(
            "sonavert: no display is available (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
            "Run 'sonavert --headless' to run without a window.\n",
            stderr);
        return 1;
    }
    if (!options.isHeadless)
        std::fputs("sonavert: this build has no window yet; running without one.\n", stderr);

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sonavert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SONAVERT_VERSION));
    LogChannel::instance().setShowPrivate(options.showPrivateLogValues);

    auto clock = std::make_shared<SystemClock>();
    TessaryApp app(options, clock);
    UnixSignalWatcher watcher;
    int received = 0;
    QObject::connect(&watcher, &UnixSignalWatcher::terminationRequested, &app,
                     [&](int signalNumber) {
                         // A second signal means "now": do not wait for the offline mark.
                         if (++received > 1)
                             QCoreApplication::exit(128 + signalNumber);
                         app.terminate();
                     });
    QObject::connect(&app, &TessaryApp::terminated, &application,
                     [] { QCoreApplication::exit(0); });
    app.launch();
    const int exitCode = QCoreApplication::exec();
    runPendingEvents();
    return exitCode;
}

} // namespace sonavert
