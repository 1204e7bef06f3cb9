#pragma once

#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

namespace sonavert {

class AccountKeys;

/// The account key in the window: the banner of a computer that cannot read playback yet,
/// and the verification dialog, from either side. On a computer that holds the key the user
/// picks one that lacks it, waits for its answer, compares the two codes and says whether
/// they match; on the computer being verified the dialog opens by itself with the code and
/// the same question. "They match" confirms with the code shown, which is what typing it
/// would do; "They differ" ends the exchange and shares nothing.
class KeysBridge : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by WindowBridge over the account keys")
    Q_PROPERTY(bool lacksKey READ lacksKey NOTIFY changed)
    Q_PROPERTY(bool canVerifyOthers READ canVerifyOthers NOTIFY changed)
    Q_PROPERTY(bool isOpen READ isOpen NOTIFY changed)
    Q_PROPERTY(Phase phase READ phase NOTIFY changed)
    Q_PROPERTY(bool isIncoming READ isIncoming NOTIFY changed)
    Q_PROPERTY(bool isJoining READ isJoining NOTIFY changed)
    Q_PROPERTY(QStringList candidates READ candidates NOTIFY changed)
    Q_PROPERTY(QString otherName READ otherName NOTIFY changed)
    Q_PROPERTY(QString code READ code NOTIFY changed)
    Q_PROPERTY(QString message READ message NOTIFY changed)
    Q_PROPERTY(QString bannerText READ bannerText NOTIFY changed)

public:
    /// Choosing: the computers that lack the key (verifier only). Waiting: for the other
    /// computer's answer or code. Comparing: both codes known, the user's turn. Sharing: the
    /// confirmation under way. Done / Failed: how it ended, with `message`.
    enum class Phase { Choosing, Waiting, Comparing, Sharing, Done, Failed };
    Q_ENUM(Phase)

    /// `keys` may be null: nothing to show, nothing opens.
    explicit KeysBridge(AccountKeys* keys, QObject* parent = nullptr);
    ~KeysBridge() override;

    bool lacksKey() const;
    bool canVerifyOthers() const;
    bool isOpen() const { return m_isOpen; }
    Phase phase() const { return m_phase; }
    bool isIncoming() const { return m_isIncoming; }
    /// The other computer has just signed in with this computer's invitation.
    bool isJoining() const { return m_isJoining; }
    QStringList candidates() const { return m_candidates; }
    QString otherName() const { return m_otherName; }
    /// "123 456": grouped to be read across the room.
    QString code() const;
    QString message() const { return m_message; }
    /// What the banner of a computer without the key says: how it gets the key, who asks to
    /// verify it, and whether another computer made the key first.
    QString bannerText() const;

    /// "Verify Another Computer…": lists the computers that lack the key.
    Q_INVOKABLE void open();
    Q_INVOKABLE void choose(const QString& name);
    /// Verifies the computer called `name` at once: from its row, or when it has just signed
    /// in with this computer's invitation (`isJoining`). Nothing while this computer cannot
    /// verify others, or while a verification is under way.
    void verify(const QString& name, bool isJoining);
    Q_INVOKABLE void confirmMatch();
    Q_INVOKABLE void reportMismatch();
    /// "Verify This Computer…", on a computer without the key: opens its verification, which
    /// answers the one verification another computer starts while it is open.
    Q_INVOKABLE void openIncoming();
    Q_INVOKABLE void close();

Q_SIGNALS:
    void changed();

private:
    void onIncomingChanged();
    void setPhase(Phase phase, QString message = {});
    QCoro::Task<> listCandidates(int request);
    QCoro::Task<> begin(int request, QString name);
    QCoro::Task<> confirm(int request, QString code);

    /// The app's, not the window's: at exit the app may end first, and the bridge then
    /// has no keys.
    QPointer<AccountKeys> m_keys;
    bool m_isOpen = false;
    bool m_isIncoming = false;
    bool m_isJoining = false;
    Phase m_phase = Phase::Choosing;
    QStringList m_candidates;
    QString m_otherName;
    QString m_code; ///< six digits
    QString m_message;
    /// Counts what the user started: an answer to something closed meanwhile is dropped.
    int m_request = 0;
    bool m_holdsOpening = false; ///< this dialog keeps the verification open
    TaskHandle m_tasks;          ///< what this object started; last, so it ends them first
};

} // namespace sonavert
