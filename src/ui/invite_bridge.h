#pragma once

#include "src/account/account_session.h"
#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QtQml/qqmlregistration.h>
#include <memory>
#include <optional>
#include <stop_token>

namespace sonavert {

class AccountKeys;
class PlatformActions;

/// The "Add Another Computer" dialog's state: asks the account session for a pairing code and
/// shows it with its server, its link and the time it has left, counted on the window's clock.
/// With the account's keys, it then watches for the computer that signs in with the code and
/// says so (`computerJoined`), so that the window can go on to verifying it.
class InviteBridge : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by WindowBridge over the account session")
    Q_PROPERTY(bool isOpen READ isOpen NOTIFY changed)
    Q_PROPERTY(Phase phase READ phase NOTIFY changed)
    Q_PROPERTY(QString code READ code NOTIFY changed)
    Q_PROPERTY(QString serverAddress READ serverAddress NOTIFY changed)
    Q_PROPERTY(QString link READ link NOTIFY changed)
    Q_PROPERTY(QString timeLeftText READ timeLeftText NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)
    Q_PROPERTY(bool isLinkCopied READ isLinkCopied NOTIFY changed)

public:
    enum class Phase { Asking, Showing, Expired, Failed };
    Q_ENUM(Phase)

    /// `session` may be null: the dialog then never opens.
    InviteBridge(AccountSession* session, std::shared_ptr<Clock> clock, PlatformActions* actions,
                 QObject* parent = nullptr);
    ~InviteBridge() override;

    /// The account's keys the dialog watches for the computer its code brings; may be null.
    void setAccountKeys(AccountKeys* keys);

    bool isOpen() const { return m_isOpen; }
    Phase phase() const { return m_phase; }
    QString code() const;
    QString serverAddress() const;
    QString link() const;
    QString timeLeftText() const;
    QString errorText() const { return m_error; }
    bool isLinkCopied() const { return m_isLinkCopied; }

    /// Opens the dialog and asks for a code; an open dialog keeps the code it shows.
    Q_INVOKABLE void open();
    /// Asks again: after the code expired, or after asking failed.
    Q_INVOKABLE void newCode();
    Q_INVOKABLE void copyLink();
    Q_INVOKABLE void close();

Q_SIGNALS:
    void changed();
    /// The computer called `name` signed in with the code shown, and waits for the key.
    void computerJoined(const QString& name);

private:
    qint64 millisecondsLeft() const;
    void request();
    void setPhase(Phase phase);
    void scheduleTick();
    void cancelTick();
    void onTick();
    QCoro::Task<> ask(int request);
    QCoro::Task<> watchForJoining(int request, QSet<QString> known);
    void stopWatching();

    AccountSession* m_session;
    std::shared_ptr<Clock> m_clock;
    PlatformActions* m_actions;
    bool m_isOpen = false;
    Phase m_phase = Phase::Asking;
    std::optional<PairingInvitation> m_invitation;
    QString m_error;
    bool m_isLinkCopied = false;
    /// Counts the requests: an answer to one the user has moved on from is dropped.
    int m_request = 0;
    std::optional<Clock::TimerId> m_tick;
    /// The app's, not the window's: at exit the app may end first, and the bridge then
    /// has no keys.
    QPointer<AccountKeys> m_keys;
    std::stop_source m_watch; ///< ends the watch for the computer the code brings
    TaskHandle m_tasks;       ///< what this object started; last, so it ends them first
};

} // namespace sonavert
