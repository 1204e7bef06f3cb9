#include "src/app/desktop_session.h"

#include "src/account/avahi_cloud_server_browser.h"
#include "src/account/home_server.h"
#include "src/account/pairing_link_inbox.h"
#include "src/account/remembered_account_session.h"
#include "src/app/control_interface.h"
#include "src/app/desktop_platform_actions.h"
#include "src/app/music_setup.h"
#include "src/app/pairing_link_handover.h"
#include "src/app/sparkle_updater.h"
#include "src/app/tessary_app.h"
#include "src/desktop/journald_log_sink.h"
#include "src/desktop/unix_signal_watcher.h"
#include "src/music/player_music_stack.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/control_bus_name.h"
#include "src/runtime/log_channel.h"
#include "src/shell/app_icon.h"
#include "src/shell/desktop_notifier.h"
#include "src/shell/desktop_settings.h"
#include "src/shell/login_item.h"
#include "src/ui/main_window.h"
#include "src/ui/window_bridge.h"

#include <QApplication>
#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QNetworkAccessManager>
#include <QQuickWindow>
#include <cstdio>

namespace sonavert {

namespace {

// The answers of a running instance that has the profile but no control interface yet.
bool isStillLaunching(const QString& errorName) {
    for (const char* name :
         {"org.freedesktop.DBus.Error.UnknownObject", "org.freedesktop.DBus.Error.UnknownMethod",
          "org.freedesktop.DBus.Error.UnknownInterface"}) {
        if (errorName == QLatin1String(name))
            return true;
    }
    return false;
}

} // namespace

DesktopSession::DesktopSession(TessaryApp* app, AppOptions options, std::shared_ptr<Clock> clock,
                               QObject* parent)
    : QObject(parent)
    , m_app(app)
    , m_options(std::move(options))
    , m_clock(std::move(clock)) {
    connect(m_app, &TessaryApp::launched, this, &DesktopSession::onLaunched);
}

DesktopSession::~DesktopSession() {
    // The popup holds the window; the window's views read the actions.
    m_popup.reset();
    m_window.reset();
}

QCoro::Task<> DesktopSession::start() {
    const std::stop_token stop = m_tasks.token();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        const QString name = controlBusNameForProfile(m_options.profileDirectory);
        const bool isOwned = co_await requestBusName(bus, name);
        if (stop.stop_requested())
            co_return;
        if (!isOwned) {
            // A link the desktop opened goes to the running instance, whose window then shows.
            int exitCode = 0;
            if (!m_options.pairingLink.isEmpty())
                exitCode = co_await handOverPairingLink(bus, name, m_options.pairingLink);
            if (!stop.stop_requested() && exitCode == 0)
                exitCode = co_await showRunningInstance(bus, name);
            if (!stop.stop_requested())
                Q_EMIT finished(exitCode);
            co_return;
        }
        developerLog(QStringLiteral("profile: on the session bus as %1").arg(name));
    }
    m_app->acceptPairingLinks(bus);
    m_app->launch();
}

QCoro::Task<int> DesktopSession::showRunningInstance(QDBusConnection bus, QString name) {
    const std::stop_token stop = m_tasks.token();
    auto clock = m_clock;
    for (int attempt = 0; attempt < kShowAttempts; ++attempt) {
        const QDBusMessage call = QDBusMessage::createMethodCall(
            name, QString::fromLatin1(app_identity::kControlObjectPath),
            QString::fromLatin1(app_identity::kControlInterface), QStringLiteral("ShowWindow"));
        const QDBusPendingCall pending = bus.asyncCall(call);
        const QDBusMessage reply = co_await pending;
        if (stop.stop_requested())
            co_return 1;
        if (reply.type() == QDBusMessage::ReplyMessage) {
            sayOnTerminal(QStringLiteral("already running on this profile; its window is shown."));
            co_return 0;
        }
        if (!isStillLaunching(reply.errorName())) {
            sayOnTerminal(
                QStringLiteral("already running on this profile, but it does not answer: %1")
                    .arg(reply.errorMessage()));
            co_return 1;
        }
        co_await clock->sleep(kShowRetryDelay);
        if (stop.stop_requested())
            co_return 1;
    }
    sayOnTerminal(
        QStringLiteral("already running on this profile, but it never finished starting."));
    co_return 1;
}

void DesktopSession::onLaunched() {
    createWindow();
    m_loginItem =
        std::make_unique<LoginItem>(LoginItem::locateTemplate(), LoginItem::userAutostartFolder());
    m_popup =
        std::make_unique<TrayPopup>([this] { return m_window->window(); }, trayCommands(), m_clock);
    connect(m_popup.get(), &TrayPopup::windowShown, this, &DesktopSession::onWindowShown);
    connect(m_popup.get(), &TrayPopup::windowHidden, this,
            [] { developerLog(QStringLiteral("window: hidden")); });
    connect(m_popup.get(), &TrayPopup::closedWithoutTray, this, [this] {
        m_notifier->notify(QStringLiteral("Sonavert is still running"),
                           QStringLiteral("This device stays available to your other devices. "
                                          "Start Sonavert again to reopen its window."));
    });
    if (ControlInterface* control = m_app->control())
        control->setWindowShower([popup = m_popup.get()] { popup->showWindow(); });
    m_popup->start();
    developerLog(m_popup->hasTrayIcon()
                     ? QStringLiteral("window: in the tray")
                     : QStringLiteral("window: no tray host, shown as an ordinary window"));
    connect(m_app->pairingLinks(), &PairingLinkInbox::pendingPairingLinkChanged, this,
            &DesktopSession::offerPairingLink);
    offerPairingLink();
}

void DesktopSession::offerPairingLink() {
    PairingLinkInbox* links = m_app->pairingLinks();
    const auto pending = links->pendingPairingLink();
    if (!pending)
        return;
    // The sign-in screen shows the link filled in and waits for the user's yes; a computer
    // that is signed in already takes no link.
    if (m_window->bridge()->showPairingLink(makePairingLink(pending->server, pending->code))) {
        developerLog(QStringLiteral("pairing: a link fills in the sign-in screen"));
        m_popup->showWindow();
    } else {
        developerLog(QStringLiteral("pairing: a link arrived while this computer is signed in "
                                    "or signing in; it is not used"));
    }
    links->clear();
}

TrayPopup::Commands DesktopSession::trayCommands() {
    TrayPopup::Commands commands;
    commands.checkForUpdates = [this] { m_actions->checkForUpdates(); };
    commands.quit = [this] { quit(); };
    commands.startsAtLogin = [this] { return m_loginItem->isEnabled(); };
    commands.setStartsAtLogin = [this](bool enabled) { setStartsAtLogin(enabled); };
    commands.canAddAnotherComputer = [this] { return m_window->bridge()->canAddAnotherComputer(); };
    commands.addAnotherComputer = [this] {
        // The dialog belongs to the views: they are made first, so they see it open.
        m_window->window();
        m_window->bridge()->addAnotherComputer();
    };
    return commands;
}

void DesktopSession::setStartsAtLogin(bool enabled) {
    const Status changed = m_loginItem->setEnabled(enabled);
    if (!changed) {
        developerLog(QStringLiteral("login: start at login could not be changed: ") +
                     changed.error().description);
        return;
    }
    developerLog(enabled ? QStringLiteral("login: starts at login")
                         : QStringLiteral("login: no longer starts at login"));
}

void DesktopSession::createWindow() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    m_notifier = std::make_unique<DesktopNotifier>(bus, applicationIconFile());
    m_actions = std::make_unique<DesktopPlatformActions>(
        DesktopPlatformActions::systemDesktop(m_notifier.get(), [this] { quit(); }),
        QCoreApplication::applicationVersion());
    m_actions->setUpdater(m_app->updater());
    MainWindow::Services services;
    services.coordinator = m_app->coordinator();
    services.installer = &m_app->music()->stack().installer();
    services.defaults = m_app->defaults();
    services.clock = m_clock;
    services.actions = m_actions.get();
    services.shortVersion = QCoreApplication::applicationVersion();
    services.build = QStringLiteral(SONAVERT_BUILD_NUMBER);
    services.account = m_app->account();
    services.keys = m_app->keys();
    m_serverBrowser = std::make_unique<AvahiCloudServerBrowser>(QDBusConnection::systemBus());
    services.serverBrowser = m_serverBrowser.get();
    m_homeServerNetwork = std::make_unique<QNetworkAccessManager>();
    m_homeServer =
        std::make_unique<HomeServer>(QDBusConnection::sessionBus(), *m_homeServerNetwork, m_clock);
    services.homeServer = m_homeServer.get();
    m_window = std::make_unique<MainWindow>(services);
    // The discontinued-version banner says what the update feed said last.
    if (SparkleUpdater* updater = m_app->updater()) {
        const auto follow = [bridge = m_window->bridge(), updater] {
            bridge->setSuccessorChannel(updater->successorChannel());
        };
        connect(updater, &SparkleUpdater::successorChannelChanged, m_window->bridge(), follow);
        follow();
    }
    followDesktopSettings();
}

void DesktopSession::followDesktopSettings() {
    m_settings = std::make_unique<DesktopSettings>(QDBusConnection::sessionBus(),
                                                   &DesktopSettings::applicationPaletteIsDark);
    const auto apply = [this] {
        m_window->setDarkAppearance(m_settings->isDark());
        m_window->setAnimationsEnabled(m_settings->animationsEnabled());
    };
    connect(m_settings.get(), &DesktopSettings::isDarkChanged, this, apply);
    connect(m_settings.get(), &DesktopSettings::animationsEnabledChanged, this, apply);
    apply();
    m_settings->start();
}

void DesktopSession::onWindowShown() {
    developerLog(QStringLiteral("window: shown"));
    // The first frame after showing is what the user sees; it is swapped on the render
    // thread, and a single-shot connection is cut before a second frame can queue behind it.
    connect(
        m_window->window(), &QQuickWindow::frameSwapped, this,
        [] { developerLog(QStringLiteral("window: presented")); }, Qt::SingleShotConnection);
}

void DesktopSession::quit() {
    if (m_popup)
        m_popup->hideWindow();
    m_app->terminate();
}

int runDesktopApplication(int argc, char** argv, const AppOptions& options) {
    QApplication application(argc, argv);
    // The tray host shows the item's title, which Qt takes from the application name; nothing
    // else here derives a path or a name from it.
    QCoreApplication::setApplicationName(TrayPopup::kTitle);
    QCoreApplication::setApplicationVersion(QStringLiteral(SONAVERT_VERSION));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(app_identity::kBundleIdentifier));
    QGuiApplication::setWindowIcon(applicationIcon());
    // Closing the window leaves the device running; only Quit ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    LogChannel::instance().setSink(makeDesktopLogSink());
    LogChannel::instance().setShowPrivate(options.showPrivateLogValues);

    auto clock = std::make_shared<SystemClock>();
    TessaryApp app(options, clock);
    DesktopSession session(&app, options, clock);
    UnixSignalWatcher watcher;
    connectProcessLifecycle(app, watcher);
    QObject::connect(&session, &DesktopSession::finished, &application,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    QMetaObject::invokeMethod(
        &session, [&session] { session.start(); }, Qt::QueuedConnection);
    const int exitCode = QCoreApplication::exec();
    runPendingEvents();
    return exitCode;
}

} // namespace sonavert
