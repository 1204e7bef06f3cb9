#pragma once

#include "src/account/account_session.h"
#include "src/app/device_lookup.h"
#include "src/runtime/result.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QSet>
#include <functional>
#include <optional>
#include <stop_token>

namespace sonavert {

class AccountKeys;
class AccountSession;
class DeviceHandoffViewModel;
class SparkleUpdater;
struct UpdateCheckResult;

inline const QString kControlErrorDomain = QStringLiteral("SonavertControl");

/// The one code of the domain "SonavertControl" (the interface's other refusals travel as
/// D-Bus error names).
enum class ControlErrorCode { Stopped = 1 };
inline QString errorDomain(ControlErrorCode) {
    return kControlErrorDomain;
}

/// The running app's control interface on the session bus (io.sonavert.Sonavert.Control,
/// described in io.sonavert.Sonavert.Control.xml): publishes the coordinator's state as JSON
/// and runs its operations for `sonavertctl`. Operations answer when the coordinator's work
/// is over, through delayed replies, so the event loop never waits for a caller.
class ControlInterface : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.sonavert.Sonavert.Control")

public:
    /// What the interface works with. Each part outlives it: its owner ends the interface
    /// first.
    struct Parts {
        DeviceHandoffViewModel& coordinator;
        /// The sign-in that `SignIn`, `SignOut` and `Invite` change and the state reports.
        AccountSession& session;
        /// The account key that `Keys` and `Verify` work with and the state reports.
        AccountKeys& keys;
        /// What `CheckForUpdates` asks.
        SparkleUpdater& updater;
    };

    explicit ControlInterface(Parts parts, QObject* parent = nullptr);
    /// Answers calls still waiting with an error: nobody else will.
    ~ControlInterface() override;

    /// Puts the object on `bus` at the control path; no bus call. False when the path is taken.
    bool exportOn(QDBusConnection bus);
    /// What ShowWindow does: the window comes after the interface, and a device without one
    /// (headless) fails the call with NoWindow.
    void setWindowShower(std::function<void()> show) { m_showWindow = std::move(show); }

public Q_SLOTS:
    Q_SCRIPTABLE QString GetState();
    Q_SCRIPTABLE bool Push(const QString& device);
    Q_SCRIPTABLE void Pull(const QString& device);
    Q_SCRIPTABLE void SetFavorite(const QString& device, bool favorite);
    Q_SCRIPTABLE void Forget(const QString& device);
    /// Shows and raises the window; an error when this app runs without one.
    Q_SCRIPTABLE void ShowWindow();
    Q_SCRIPTABLE QString CheckForUpdates();
    Q_SCRIPTABLE void SignIn(const QString& server, const QString& code);
    Q_SCRIPTABLE void SignInWithLink(const QString& link);
    Q_SCRIPTABLE void SignOut();
    Q_SCRIPTABLE QString Invite();
    /// After Invite: waits for the computer that signs in with that code, until the code
    /// expires or the caller leaves the bus, and answers its name.
    Q_SCRIPTABLE QString WaitForNewComputer();
    /// The account's computers and which of them hold the key, as a JSON array.
    Q_SCRIPTABLE QString Keys();
    /// With no code, starts verifying `device` and answers the code to compare; with the code
    /// the other computer shows, confirms (and shares the key, or accepts it) or refuses.
    Q_SCRIPTABLE QString Verify(const QString& device, const QString& code);
    /// On a computer waiting for the key that no running computer holds any more: makes a
    /// new one here (see AccountKeys::startOver).
    Q_SCRIPTABLE void NewKey();
    /// Takes a computer out of the account's key (a new key for all the others); answers how
    /// many computers the new key was sent to.
    Q_SCRIPTABLE int RemoveComputer(const QString& device);
    /// What RemoveComputer would do: the computers the new key goes to, and those left out.
    Q_SCRIPTABLE QString RemovalPlan(const QString& device);

Q_SIGNALS:
    Q_SCRIPTABLE void StateChanged(const QString& state);

private:
    /// The device a call names, or nothing after answering the call with the error;
    /// `thisDeviceText` is the error when the call names this device.
    std::optional<AppDevice> targetOf(const QString& query, const QString& thisDeviceText);
    bool replyBusyIf(bool isBusy, const QString& text);
    /// Holds the current call's answer until `finishCall`.
    int delayCall();
    /// Answers a held call: the coordinator's transfer error if there is one, else `success`.
    void finishCall(int ticket, const QVariant& success);
    void finishPull();
    /// Holds the current call until `task` ends, then answers its error as a Failed error, or
    /// `reply` (of the value, if any) as the reply.
    template <typename T, typename Reply>
    void answerWhenDone(QCoro::Task<Result<T>> task, Reply reply);
    /// Answers a held call with `error` as a Failed error, or with `success` without one.
    void answerHeld(int ticket, const std::optional<QString>& error, const QVariant& success);
    /// Notes the account's computers, then asks for a code: the computer that signs in with
    /// it is one not among them.
    QCoro::Task<Result<PairingInvitation>> inviteNoting();
    QCoro::Task<Result<QString>> verifyHere(QString device);
    QCoro::Task<Result<void>> confirmHere(QString device, QString code);
    void closeOpenedHere();
    void answerUpdateChecks(const UpdateCheckResult& result);
    void scheduleSettle();
    void settle();
    QString stateJson() const;

    DeviceHandoffViewModel& m_coordinator;
    AccountSession& m_session;
    AccountKeys& m_keys;
    SparkleUpdater& m_updater;
    QDBusConnection m_bus;
    QHash<int, QDBusMessage> m_heldCalls;
    int m_nextTicket = 1;
    std::optional<int> m_waitingPull;
    QList<int> m_waitingUpdateChecks;
    int m_openedHere = 0; ///< verifications opened by 'verify' calls and not confirmed yet
    bool m_isSettleScheduled = false;
    QString m_lastState;
    std::function<void()> m_showWindow;
    /// The last invitation made here: the computers there before it, and when it ends.
    struct MadeInvitation {
        std::optional<QSet<QString>> known; ///< none when the keys could not be read
        QDateTime expires;
    };
    std::optional<MadeInvitation> m_invitation;
    std::stop_source m_joinWatch; ///< a new invitation, or the caller leaving, ends a wait
    TaskHandle m_tasks;           ///< what this object started; last, so it ends them first
};

/// The names the control interface asks for, in order: `chosen` alone, else the shared name
/// (the first instance on the bus gets it) and this instance's own, made from the device name.
QStringList controlBusNames(const std::optional<QString>& chosen, const QString& deviceName);

/// Asks the bus for `name` without queueing behind another owner; true when `bus` owns it
/// now. Awaited, never blocking: the bus may be slow to answer.
QCoro::Task<bool> requestBusName(QDBusConnection bus, QString name);

} // namespace sonavert
