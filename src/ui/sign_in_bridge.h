#pragma once

#include "src/runtime/result.h"
#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QUrl>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>
#include <memory>
#include <optional>

namespace sonavert {

class AccountSession;
class CloudServerBrowser;
class HomeServer;
class UserDefaults;

inline const QString kSignInErrorDomain = QStringLiteral("SignIn");

/// The one code of the domain "SignIn"; the account session's own errors keep theirs.
enum class SignInErrorCode { Stopped = 1 };
inline QString errorDomain(SignInErrorCode) {
    return kSignInErrorDomain;
}

/// The sign-in screen's state: the servers found on the network, the address and the code
/// as typed, what can be done with them, the claim in progress and its outcome. The screen
/// shows while the account session is not signed in.
class SignInBridge : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by WindowBridge over the account session")
    Q_PROPERTY(Step step READ step NOTIFY changed)
    Q_PROPERTY(QVariantList foundServers READ foundServers NOTIFY changed)
    Q_PROPERTY(QString serverAddress READ serverAddress WRITE setServerAddress NOTIFY changed)
    Q_PROPERTY(QString code READ code WRITE setCode NOTIFY changed)
    Q_PROPERTY(QString accountName READ accountName WRITE setAccountName NOTIFY changed)
    Q_PROPERTY(bool canSignIn READ canSignIn NOTIFY changed)
    Q_PROPERTY(bool canCreateAccount READ canCreateAccount NOTIFY changed)
    Q_PROPERTY(bool offersServerSetUp READ offersServerSetUp NOTIFY changed)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)
    Q_PROPERTY(QString hintText READ hintText NOTIFY changed)

public:
    /// Signing in with a code, or naming the first account of this computer's own server.
    enum class Step { EnterCode, NameAccount };
    Q_ENUM(Step)

    /// The address of the last sign-in, offered again after signing out.
    inline static const QString kLastServerKey = QStringLiteral("Sonavert.signIn.lastServer");

    /// `session` and `browser` may be null (a window without accounts; no servers to list).
    /// `homeServer` may be null: only a server already running here can be set up.
    SignInBridge(AccountSession* session, CloudServerBrowser* browser,
                 std::shared_ptr<UserDefaults> defaults, HomeServer* homeServer = nullptr,
                 QObject* parent = nullptr);
    ~SignInBridge() override;

    Step step() const { return m_step; }
    /// One entry a server: "name", "address" and "picked" (the address field names it).
    QVariantList foundServers() const;
    QString serverAddress() const { return m_serverAddress; }
    QString code() const { return m_code; }
    QString accountName() const { return m_accountName; }
    bool canSignIn() const;
    bool canCreateAccount() const;
    bool offersServerSetUp() const;
    /// A claim runs, ours or one the command line started.
    bool isBusy() const;
    /// Why the last attempt failed, or why this computer was signed out.
    QString errorText() const;
    /// Guidance on what is typed (a symbol codes never use, an address that is none), or that
    /// a pairing link filled the fields.
    QString hintText() const;

    void setServerAddress(const QString& address);
    /// Keeps the code grouped as it is typed ("kq74" → "KQ7-4").
    void setCode(const QString& typed);
    void setAccountName(const QString& name);
    /// The screen shows or not: the browser runs only while it does.
    void setActive(bool active);

    Q_INVOKABLE void pickServer(int index);
    Q_INVOKABLE void signIn();
    Q_INVOKABLE void setUpThisComputer();
    Q_INVOKABLE void createAccount();
    Q_INVOKABLE void back();
    /// Fills the server and the code from a `sonavert://pair` link for the user to confirm;
    /// never signs in by itself. False for a link that is not a pairing link.
    bool showPairingLink(const QUrl& link);

Q_SIGNALS:
    void changed();

private:
    void onSessionChanged();
    void onServersChanged();
    void offerSingleServer();
    void clearOutcome();
    QCoro::Task<> claim(QCoro::Task<Result<void>> call);
    /// Starts this computer's server for the home when it is not running, then creates its
    /// first account there.
    QCoro::Task<Result<void>> setUpHomeServer(QString accountName);

    AccountSession* m_session;
    CloudServerBrowser* m_browser;
    std::shared_ptr<UserDefaults> m_defaults;
    HomeServer* m_homeServer;
    Step m_step = Step::EnterCode;
    QString m_serverAddress;
    QString m_code;
    QString m_accountName;
    QString m_error;
    bool m_isClaiming = false;
    bool m_isFromLink = false;
    /// The server a pairing link named, and its certificate key when the link carried one.
    std::optional<QUrl> m_linkServer;
    QByteArray m_linkServerKey;
    bool m_isActive = false;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
