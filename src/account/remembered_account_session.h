#pragma once

#include "src/account/account_session.h"
#include "src/clouddb/cloud_endpoint.h"
#include "src/runtime/clock.h"
#include "src/runtime/task_handle.h"

#include <memory>

class QNetworkAccessManager;
class QJsonObject;

namespace sonavert {

class SecretStore;
class UserDefaults;

inline const QString kAccountSessionErrorDomain = QStringLiteral("AccountSession");

/// Codes of the domain "AccountSession": why a sign-in or an invitation did not happen.
enum class AccountSessionErrorCode {
    SignInUnderWay = 1,
    NotAServerAddress = 2,
    Stopped = 3,
    NotOurServer = 4, ///< the server answered, without what a sonavert-cloud answers
    NotSignedIn = 5,
    CallFailed = 6,        ///< a call to the server failed; the text says why, for people
    NeedsHttps = 7,        ///< a code that checks the server's own certificate, for http://
    ServerKeyMismatch = 8, ///< the server shows another key than the code commits to
    InClear = 9,           ///< plain http:// to another computer, not allowed on this run
};
inline QString errorDomain(AccountSessionErrorCode) {
    return kAccountSessionErrorDomain;
}

/// The device's sign-in as it is kept between runs: the server's address, the account's name
/// and this device's name in the profile's defaults, the token in the secret store (the
/// keyring, or the profile's own file), filed under the server's address. The cloud clients
/// follow `endpoints()`, so signing in or out takes effect at once, and a token the server
/// refuses signs the device out.
class RememberedAccountSession final : public AccountSession {
    Q_OBJECT
public:
    static inline const QString kServerKey = QStringLiteral("Sonavert.account.server");
    static inline const QString kAccountNameKey = QStringLiteral("Sonavert.account.name");
    static inline const QString kDeviceNameKey = QStringLiteral("Sonavert.account.deviceName");
    /// The fingerprint of the server's own certificate key (base64), when the invitation
    /// named one: that server is trusted by it, kept like its address.
    static inline const QString kServerKeyKey = QStringLiteral("Sonavert.account.serverKey");

    /// `deviceName` is what this device's token is called on the server when it signs in;
    /// calls to the server are given up on `clock` (the system's when none is given).
    RememberedAccountSession(std::shared_ptr<UserDefaults> defaults,
                             std::shared_ptr<SecretStore> secrets, QString deviceName,
                             std::shared_ptr<Clock> clock = std::make_shared<SystemClock>(),
                             QObject* parent = nullptr);
    ~RememberedAccountSession() override;

    /// Signs in with what was remembered. With `tokenForThisRun` (a token given on the command
    /// line or in the environment) that token and `server` are used for this run instead and
    /// nothing is remembered. With neither, a token an older version kept in the store for
    /// `server` is taken over.
    QCoro::Task<> restore(QUrl server, std::optional<QString> tokenForThisRun);

    std::shared_ptr<clouddb::CloudEndpointSource> endpoints() const { return m_endpoints; }
    /// Whom the servers' certificates must come from (the system's store unless set), for
    /// every account signed in to from now on.
    void setTrust(std::shared_ptr<clouddb::CloudTrust> trust) { m_trust = std::move(trust); }
    /// Whether a server beyond loopback may be signed in to over plain http://, where the
    /// code and the token would cross the network in clear (refused unless the user said so).
    void setAllowsPlainHttp(bool allows) { m_allowsPlainHttp = allows; }

    State state() const override { return m_state; }
    std::optional<AccountInfo> account() const override;
    QString lastError() const override { return m_lastError; }
    QCoro::Task<Result<void>> signIn(QUrl server, QString code, QByteArray serverKey) override;
    QCoro::Task<Result<void>> signOut() override;
    QCoro::Task<Result<void>> createFirstAccount(QUrl server, QString accountName) override;
    QCoro::Task<Result<PairingInvitation>> invite() override;

private:
    enum class Call { Claim, FirstAccount, Invite };
    /// Runs a call that gives this device a token (claim, first account) and adopts it.
    /// `keyCheck`: the symbols of a typed code that commit to the server's key, which the
    /// server must show before anything is sent (and is then trusted by).
    QCoro::Task<Result<void>> obtainToken(Call call, QUrl server, QJsonObject body,
                                          QByteArray serverKey = {}, QString keyCheck = {});
    /// The key the server shows when it matches `keyCheck` for `code`; else why not, in the
    /// user's words.
    QCoro::Task<Result<QByteArray>> checkedServerKey(QUrl server, QString code, QString keyCheck,
                                                     QByteArray serverKey);
    /// Remembers the account of a successful answer and switches the clients to it.
    QCoro::Task<Result<void>> adopt(QUrl server, QJsonObject answer, QByteArray serverKey);
    void setSignedIn(const QUrl& server, const QString& token, const QByteArray& serverKey);
    /// Whom `server` is trusted as: the device's trust, with `serverKey` pinned when given.
    std::shared_ptr<clouddb::CloudTrust> trustFor(const QByteArray& serverKey) const;
    QByteArray rememberedServerKey() const;
    /// Forgets the account (defaults, token, endpoint); `reason` becomes the last error.
    QCoro::Task<> forget(QString reason);
    Error failed(Call call, const Error& error, const QUrl& server);
    void setState(State state);

    std::shared_ptr<UserDefaults> m_defaults;
    std::shared_ptr<SecretStore> m_secrets;
    QString m_deviceName;
    std::shared_ptr<clouddb::CloudEndpointSource> m_endpoints;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::shared_ptr<clouddb::CloudTrust> m_trust = std::make_shared<clouddb::CloudTrust>();
    bool m_allowsPlainHttp = false;
    State m_state = State::SignedOut;
    QString m_lastError;
    QString m_accountName; ///< of this run's account; empty when the server did not say
    QString m_tokenName;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
