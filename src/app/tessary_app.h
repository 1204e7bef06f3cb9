#pragma once

#include "src/app/command_line.h"
#include "src/desktop/profile.h"
#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QObject>
#include <memory>
#include <stop_token>

namespace sonavert {

class AccountKeys;
class ControlInterface;
class RememberedAccountSession;
class DeviceHandoffViewModel;
class DeviceMusic;
class SecretStore;
class PairingLinkInbox;
class SparkleUpdater;
class UnixSignalWatcher;
class UserDefaults;

/// The composition root: creates the long-lived objects in order (music service, cloud
/// service, coordinator) and ends them on termination.
class TessaryApp : public QObject {
    Q_OBJECT
public:
    /// How long termination waits for the offline mark before the process exits anyway.
    static constexpr Duration kOfflineMarkGrace = 2s;

    TessaryApp(AppOptions options, std::shared_ptr<Clock> clock, QObject* parent = nullptr);
    ~TessaryApp() override;

    /// Resolves this device's identity, then creates the services and starts the coordinator.
    QCoro::Task<> launch();
    /// Stops the coordinator and marks this device offline; `terminated` follows when the
    /// mark is done or after kOfflineMarkGrace, whichever comes first.
    void terminate();

    /// What the launch made (the coordinator, the music, the update checker, whose first
    /// check runs at once); null before.
    DeviceHandoffViewModel* coordinator() const;
    DeviceMusic* music() const;
    SparkleUpdater* updater() const;
    /// The control interface once launched; null without a session bus.
    ControlInterface* control() const { return m_control.get(); }
    std::shared_ptr<UserDefaults> defaults() const { return m_defaults; }
    /// The device's sign-in, created at launch; null before.
    RememberedAccountSession* account() const { return m_account.get(); }
    AccountKeys* keys() const { return m_keys.get(); }
    /// The pairing link waiting for the user's answer (the sign-in screen shows it).
    PairingLinkInbox* pairingLinks() const { return m_pairingLinks.get(); }
    /// Called once this instance owns its profile: offers the pairing-link inbox on `bus`
    /// (when connected) for later starts to hand links to, and takes the command line's link.
    void acceptPairingLinks(QDBusConnection bus);

    /// How long after the start the receiver Shortcut is checked (and offered when missing).
    static constexpr Duration kReceiverShortcutCheckDelay = 1s;

Q_SIGNALS:
    void launched();
    /// Launching could not finish; `message` says why. (Having no account is not a failure:
    /// the device starts signed out.)
    void launchFailed(const QString& message);
    void terminated();

private:
    void finishTermination();
    /// Signs in with the token given for this run, else with the remembered account.
    QCoro::Task<> restoreAccount(QString deviceName);
    /// The cloud clients switched accounts (or to none): the service starts over, and a
    /// headless device says how to sign in when it is signed out.
    void onAccountChanged();
    void onKeyRingChanged();
    /// The secret store's name for the keys of the account the session is signed in to.
    static std::optional<QString> accountKeyNameOf(const RememberedAccountSession& session);
    /// Signed out: the loops stop, and the log says once how to sign in.
    void pauseWithoutAccount();
    void printSignInHint() const;
    /// Waits a moment after the start, then offers the receiver Shortcut if it is not usable.
    QCoro::Task<> checkReceiverShortcut();
    /// Offers the control interface on the session bus; without a bus, or with its names
    /// taken, the app runs on and says so in a developer line.
    QCoro::Task<> publishControlInterface(QString deviceName);
    /// Once launched, the sign-in's changes reach the service, the keys and the loops.
    void followAccount();

    struct Running;

    AppOptions m_options;
    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<UserDefaults> m_defaults;
    Profile m_profile;
    std::shared_ptr<SecretStore> m_secrets;
    std::unique_ptr<PairingLinkInbox> m_pairingLinks;
    // Made at launch, each from those before it, and so ended in the reverse order.
    std::unique_ptr<RememberedAccountSession> m_account;
    std::shared_ptr<SecretStore> m_accountSecrets; ///< the token's store, and the keys'
    std::unique_ptr<AccountKeys> m_keys;
    std::unique_ptr<Running> m_running;
    std::unique_ptr<ControlInterface> m_control;
    std::stop_source m_receiverCheckStop;
    bool m_isTerminating = false;
    bool m_hasTerminated = false;
    /// The receiver check asks the Shortcuts tool; termination waits for its answer (within
    /// the same grace as the offline mark) so that no call outlives the event loop.
    bool m_isCheckingReceiver = false;
    bool m_isMarkedOffline = false;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

/// How a device process ends: SIGINT or SIGTERM stops `app` (a second signal exits at once),
/// its termination exits 0, and a launch that fails exits 2 with the reason on standard error.
void connectProcessLifecycle(TessaryApp& app, UnixSignalWatcher& watcher);

/// Starts a device without a window: claims its profile on the session bus (when there is
/// one) and launches it, or, given a pairing link while another instance has the profile,
/// hands the link over and ends the process (0 when taken).
QCoro::Task<> startHeadless(TessaryApp& app, AppOptions options);

/// `sonavert`'s main: parses the command line, refuses to start a window without a display,
/// runs until SIGINT or SIGTERM.
int runApplication(int argc, char** argv);

} // namespace sonavert
