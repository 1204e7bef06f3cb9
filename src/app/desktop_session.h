#pragma once

#include "src/app/command_line.h"
#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"
#include "src/shell/tray_popup.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QObject>
#include <memory>

class QNetworkAccessManager;

namespace sonavert {

class CloudServerBrowser;
class HomeServer;
class DesktopNotifier;
class DesktopPlatformActions;
class DesktopSettings;
class LoginItem;
class MainWindow;
class TessaryApp;

/// `sonavert` with a window: one instance per profile, the tray icon and its popup window
/// over the running device, the desktop's appearance followed live.
class DesktopSession : public QObject {
    Q_OBJECT
public:
    /// How many times, and how often, a second start asks the first to show its window
    /// while that one is still launching and has no control interface yet.
    static constexpr int kShowAttempts = 50;
    static constexpr Duration kShowRetryDelay = 200ms;

    DesktopSession(TessaryApp* app, AppOptions options, std::shared_ptr<Clock> clock,
                   QObject* parent = nullptr);
    ~DesktopSession() override;

    /// Claims this profile on the session bus and launches the device; when another instance
    /// runs on the profile, asks it to show its window instead and ends with `finished`.
    QCoro::Task<> start();

    MainWindow* mainWindow() const { return m_window.get(); }
    TrayPopup* popup() const { return m_popup.get(); }

Q_SIGNALS:
    /// Another instance had the profile: it was asked to show its window (exit code 0), or it
    /// could not be reached (1).
    void finished(int exitCode);

private:
    void onLaunched();
    /// Hands the pending pairing link (if any) to the sign-in screen.
    void offerPairingLink();
    void createWindow();
    void followDesktopSettings();
    void onWindowShown();
    TrayPopup::Commands trayCommands();
    void setStartsAtLogin(bool enabled);
    void quit();
    QCoro::Task<int> showRunningInstance(QDBusConnection bus, QString name);

    TessaryApp* m_app;
    AppOptions m_options;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<DesktopPlatformActions> m_actions;
    std::unique_ptr<DesktopSettings> m_settings;
    /// The servers announced on the local network, for the sign-in screen; declared before
    /// the window, whose bridge uses it until it goes.
    std::unique_ptr<CloudServerBrowser> m_serverBrowser;
    std::unique_ptr<QNetworkAccessManager> m_homeServerNetwork;
    std::unique_ptr<HomeServer> m_homeServer;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<TrayPopup> m_popup;
    std::unique_ptr<LoginItem> m_loginItem;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

/// The GUI path of `sonavert`: a QApplication, the device, its window and tray; exits when
/// the user quits (after the offline mark) or on SIGINT/SIGTERM.
int runDesktopApplication(int argc, char** argv, const AppOptions& options);

} // namespace sonavert
