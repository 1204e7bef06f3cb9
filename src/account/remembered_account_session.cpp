#include "src/account/remembered_account_session.h"

#include "src/account/pairing_link.h"
#include "src/clouddb/server_call.h"
#include "src/clouddb/server_exchange.h"
#include "src/desktop/secret_store.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <cmath>

namespace sonavert {

namespace {

using server_call::Failure;
using SessionError = AccountSessionErrorCode;

const QString kRemovedText =
    QStringLiteral("This computer was removed from its account. Sign in again with a new code.");
const QString kNotSignedInText = QStringLiteral("This computer is not signed in.");

QString tokenService() {
    return QString::fromLatin1(app_identity::kCloudTokenKeychainService);
}

QString path(const QUrl& server, const QString& path) {
    QUrl url = server;
    url.setPath(path);
    return url.toString();
}

/// What each failure of a call means to the person who asked for it (%1: the server).
QString failureText(bool isClaim, const Error& error) {
    if (server_call::is(error, Failure::Unreachable))
        return QStringLiteral("Cannot reach %1. Check the address and that the server runs.");
    if (server_call::is(error, Failure::Untrusted))
        return QStringLiteral("Cannot sign in to %1: ") + error.description + QLatin1Char('.');
    if (server_call::is(error, Failure::NotOurProtocol))
        return QStringLiteral("%1 is not a Sonavert server.");
    if (server_call::is(error, Failure::Unauthorized))
        return kRemovedText;
    if (server_call::is(error, Failure::Denied) && isClaim)
        return QStringLiteral("This code is wrong or has expired. Ask for a new one on a "
                              "computer that is signed in.");
    // The server refuses its first-run call for more than one reason (an account exists, its
    // first-run window closed, it trusts a proxy): its own words say which.
    if (server_call::is(error, Failure::Denied))
        return QStringLiteral("%1 did not create an account") +
               (error.description.isEmpty()
                    ? QString()
                    : QStringLiteral(" (") + error.description + QLatin1Char(')')) +
               QStringLiteral(". If it has one already, sign in with a code from one of its "
                              "computers.");
    if (server_call::is(error, Failure::Throttled)) {
        const int minutes =
            std::max(1, static_cast<int>(std::ceil(error.retryAfterSeconds.value_or(60) / 60)));
        return QStringLiteral("Too many wrong codes. Try again in %1 minute%2.")
            .arg(minutes)
            .arg(minutes == 1 ? QString() : QStringLiteral("s"));
    }
    return QStringLiteral("%1 refused: ") + error.description;
}

// Built outside the coroutine: g++ 12 cannot compile a braced list of Qt values in one.
// The link carries the key this computer trusts the server by, so that the invited one trusts
// the same server and no other.
PairingInvitation invitationOf(const QUrl& server, const QString& code, qint64 expiresMs,
                               const QByteArray& serverKey) {
    const QString shown = pairing_code::shown(code, serverKey);
    return PairingInvitation{shown, server, QDateTime::fromMSecsSinceEpoch(expiresMs, Qt::UTC),
                             makePairingLink(server, shown, serverKey)};
}

bool isLoopbackServer(const QUrl& server) {
    const QHostAddress address(server.host());
    return server.host() == QLatin1String("localhost") ||
           (!address.isNull() && address.isLoopback());
}

constexpr qsizetype kServerKeySize = 32;

/// Where a server reached on loopback sends the home's other computers, and its key; nothing
/// when it serves loopback only or names no https:// address.
std::optional<std::pair<QUrl, QByteArray>> networkEntranceOf(const QJsonObject& answer) {
    const QJsonObject network = answer.value(QStringLiteral("network")).toObject();
    const QUrl server(network.value(QStringLiteral("server")).toString(), QUrl::StrictMode);
    if (!server.isValid() || server.scheme() != QLatin1String("https") || server.host().isEmpty())
        return std::nullopt;
    const auto key = QByteArray::fromBase64Encoding(
        network.value(QStringLiteral("key")).toString().toLatin1(),
        QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals |
            QByteArray::AbortOnBase64DecodingErrors);
    if (!key || (!key.decoded.isEmpty() && key.decoded.size() != kServerKeySize))
        return std::nullopt;
    return std::pair{server, key.decoded};
}

constexpr int kMaximumNameNumber = 9;

bool isNameTaken(const Result<QJsonObject>& answer) {
    return !answer && server_call::is(answer.error(), Failure::NameTaken);
}

bool isServerAddress(const QUrl& server) {
    return server.isValid() && !server.host().isEmpty() &&
           (server.scheme() == QLatin1String("http") || server.scheme() == QLatin1String("https"));
}

// A plain http:// server that is not this computer: what travels to it, anyone between reads.
bool isInClearBeyondLoopback(const QUrl& server) {
    if (server.scheme() != QLatin1String("http"))
        return false;
    const QString host = server.host();
    if (host == QLatin1String("localhost"))
        return false;
    const QHostAddress address(host);
    return address.isNull() || !address.isLoopback();
}

} // namespace

RememberedAccountSession::RememberedAccountSession(std::shared_ptr<UserDefaults> defaults,
                                                   std::shared_ptr<SecretStore> secrets,
                                                   QString deviceName, std::shared_ptr<Clock> clock,
                                                   QObject* parent)
    : AccountSession(parent)
    , m_defaults(std::move(defaults))
    , m_secrets(std::move(secrets))
    , m_deviceName(std::move(deviceName))
    , m_endpoints(std::make_shared<clouddb::CloudEndpointSource>())
    , m_clock(std::move(clock))
    , m_network(std::make_unique<QNetworkAccessManager>()) {
    // A revoked token: the server will not take this device back without a new code.
    connect(m_endpoints.get(), &clouddb::CloudEndpointSource::rejected, this, [this] {
        logEvent(LogCategory::CloudKit, LogLevel::Error,
                 "event=account_token_rejected server=%{public}s",
                 m_endpoints->current() ? m_endpoints->current()->server.toString() : QString());
        forget(kRemovedText);
    });
}

RememberedAccountSession::~RememberedAccountSession() = default;

std::optional<AccountInfo> RememberedAccountSession::account() const {
    if (m_state != State::SignedIn || !m_endpoints->current())
        return std::nullopt;
    return AccountInfo{m_endpoints->current()->server, m_accountName, m_tokenName};
}

QCoro::Task<> RememberedAccountSession::restore(QUrl server,
                                                std::optional<QString> tokenForThisRun) {
    const std::stop_token stop = m_tasks.token();
    const auto remembered = m_defaults->string(kServerKey);
    if (tokenForThisRun) {
        if (remembered && QUrl(*remembered) == server) {
            m_accountName = m_defaults->string(kAccountNameKey).value_or(QString());
            m_tokenName = m_defaults->string(kDeviceNameKey).value_or(QString());
        }
        setSignedIn(server, *tokenForThisRun,
                    remembered && QUrl(*remembered) == server ? rememberedServerKey()
                                                              : QByteArray());
        co_return;
    }
    auto secrets = m_secrets;
    const QUrl stored = remembered ? QUrl(*remembered) : server;
    const auto token = co_await secrets->read(tokenService(), stored.toString());
    if (stop.stop_requested() || m_state != State::SignedOut)
        co_return;
    if (!token || !token.value() || token.value()->isEmpty()) {
        if (!token)
            developerLog(QStringLiteral("account: cannot read the token: %1")
                             .arg(token.error().description));
        co_return;
    }
    if (!remembered) // an older version's token: remember where it belongs from now on
        m_defaults->setString(kServerKey, stored.toString());
    m_accountName = m_defaults->string(kAccountNameKey).value_or(QString());
    m_tokenName = m_defaults->string(kDeviceNameKey).value_or(QString());
    setSignedIn(stored, QString::fromUtf8(*token.value()), rememberedServerKey());
}

QByteArray RememberedAccountSession::rememberedServerKey() const {
    return QByteArray::fromBase64(m_defaults->string(kServerKeyKey).value_or(QString()).toLatin1());
}

std::shared_ptr<clouddb::CloudTrust>
RememberedAccountSession::trustFor(const QByteArray& serverKey) const {
    return serverKey.isEmpty() ? m_trust : m_trust->pinning(serverKey);
}

QCoro::Task<Result<void>> RememberedAccountSession::signIn(QUrl server, QString code,
                                                           QByteArray serverKey) {
    // g++ 12 destroys a temporary made in a co_await's arguments twice: named values only.
    const auto parts = pairing_code::split(code);
    QString keyCheck;
    if (parts) {
        code = parts->code;
        keyCheck = parts->check;
    }
    QJsonObject body;
    body.insert(QStringLiteral("code"), code);
    body.insert(QStringLiteral("deviceName"), m_deviceName);
    co_return co_await obtainToken(Call::Claim, std::move(server), body, std::move(serverKey),
                                   keyCheck);
}

QCoro::Task<Result<QByteArray>> RememberedAccountSession::checkedServerKey(QUrl server,
                                                                           QString code,
                                                                           QString keyCheck,
                                                                           QByteArray serverKey) {
    if (server.scheme() != QLatin1String("https"))
        co_return makeError(SessionError::NeedsHttps,
                            QStringLiteral("This code is for a server with a certificate of its "
                                           "own, so nothing was sent to %1: type its https:// "
                                           "address.")
                                .arg(server.toString()));
    if (serverKey.isEmpty()) {
        auto shown = co_await server_call::certificateKey(*m_network, server);
        if (!shown)
            co_return failed(Call::Claim, shown.error(), server);
        serverKey = shown.value();
    }
    if (pairing_code::checkFor(code, serverKey) != keyCheck)
        co_return makeError(SessionError::ServerKeyMismatch,
                            QStringLiteral("The code does not match the server at %1, so it was "
                                           "not sent: a symbol of the code is mistyped, or "
                                           "another machine answers at that address. Check "
                                           "both.")
                                .arg(server.host()));
    co_return serverKey;
}

QCoro::Task<Result<void>> RememberedAccountSession::createFirstAccount(QUrl server,
                                                                       QString accountName) {
    QJsonObject body;
    body.insert(QStringLiteral("accountName"), accountName);
    body.insert(QStringLiteral("deviceName"), m_deviceName);
    co_return co_await obtainToken(Call::FirstAccount, std::move(server), body);
}

QCoro::Task<Result<void>> RememberedAccountSession::obtainToken(Call call, QUrl server,
                                                                QJsonObject body,
                                                                QByteArray serverKey,
                                                                QString keyCheck) {
    if (m_state == State::SigningIn)
        co_return makeError(SessionError::SignInUnderWay,
                            QStringLiteral("A sign-in is already under way."));
    if (!isServerAddress(server)) {
        m_lastError = QStringLiteral("'%1' is not a server address (such as "
                                     "https://192.168.1.20:8470).")
                          .arg(server.toString());
        Q_EMIT stateChanged();
        co_return makeError(SessionError::NotAServerAddress, m_lastError);
    }
    if (isInClearBeyondLoopback(server) && !m_allowsPlainHttp) {
        m_lastError =
            QStringLiteral("%1 is on another computer and not encrypted, so nothing was sent: "
                           "anyone on the network could read the code and this computer's "
                           "token. Use its https:// address (a server listening on the network "
                           "serves one), or start Sonavert with --allow-plain-http.")
                .arg(server.toString());
        Q_EMIT stateChanged();
        co_return makeError(SessionError::InClear, m_lastError);
    }
    const std::stop_token stop = m_tasks.token();
    const State before = m_state;
    m_lastError.clear();
    setState(State::SigningIn);
    if (!keyCheck.isEmpty()) {
        const QString code = body.value(QStringLiteral("code")).toString();
        auto checked = co_await checkedServerKey(server, code, keyCheck, serverKey);
        if (stop.stop_requested())
            co_return makeError(SessionError::Stopped, stoppedText());
        if (!checked) {
            m_lastError = checked.error().description;
            setState(before);
            Q_EMIT stateChanged();
            co_return checked.error();
        }
        serverKey = checked.value();
    }
    const QString callPath = call == Call::Claim ? QStringLiteral("/pairing/1/claim")
                                                 : QStringLiteral("/setup/1/first-account");
    const std::shared_ptr<clouddb::CloudTrust> trust = trustFor(serverKey);
    auto answer =
        co_await server_call::post(*m_network, m_clock, path(server, callPath), body, {}, trust);
    // A device that signed out kept its old token on the server, under this device's name; the
    // claim is refused before the code is spent, so the device takes the next free name.
    for (int number = 2; !stop.stop_requested() && call == Call::Claim && isNameTaken(answer) &&
                         number <= kMaximumNameNumber;
         ++number) {
        body.insert(QStringLiteral("deviceName"),
                    QStringLiteral("%1 (%2)").arg(m_deviceName).arg(number));
        answer = co_await server_call::post(*m_network, m_clock, path(server, callPath), body, {},
                                            trust);
    }
    if (stop.stop_requested())
        co_return makeError(SessionError::Stopped, stoppedText());
    if (!answer) {
        const Error error = failed(call, answer.error(), server);
        setState(before);
        co_return error;
    }
    Result<void> adopted = co_await adopt(server, answer.value(), serverKey);
    if (!stop.stop_requested() && adopted && call == Call::Claim)
        Q_EMIT joinedWithInvitation();
    co_return adopted;
}

QCoro::Task<Result<void>> RememberedAccountSession::adopt(QUrl server, QJsonObject answer,
                                                          QByteArray serverKey) {
    const std::stop_token stop = m_tasks.token();
    const QString token = answer.value(QStringLiteral("token")).toString();
    if (token.isEmpty()) {
        m_lastError = QStringLiteral("%1 is not a Sonavert server.").arg(server.toString());
        setState(m_endpoints->current() ? State::SignedIn : State::SignedOut);
        co_return makeError(SessionError::NotOurServer, m_lastError);
    }
    auto secrets = m_secrets;
    const Status kept = co_await secrets->write(tokenService(), server.toString(), token.toUtf8());
    if (stop.stop_requested())
        co_return makeError(SessionError::Stopped, stoppedText());
    // Without a store this run still signs in; the next start asks again.
    if (!kept)
        developerLog(
            QStringLiteral("account: cannot keep the token: %1").arg(kept.error().description));
    m_accountName = answer.value(QStringLiteral("accountName")).toString();
    m_tokenName = answer.value(QStringLiteral("deviceName")).toString();
    m_defaults->setString(kServerKey, server.toString());
    m_defaults->setString(kAccountNameKey, m_accountName);
    m_defaults->setString(kDeviceNameKey, m_tokenName);
    if (serverKey.isEmpty())
        m_defaults->removeObject(kServerKeyKey);
    else
        m_defaults->setString(kServerKeyKey, QString::fromLatin1(serverKey.toBase64()));
    m_defaults->flush();
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=account_signed_in server=%{public}s account=%{private}s device=%{public}s",
             server.toString(), m_accountName, m_tokenName);
    setSignedIn(server, token, serverKey);
    co_return Result<void>();
}

QCoro::Task<Result<void>> RememberedAccountSession::signOut() {
    co_await forget(QString());
    co_return Result<void>();
}

QCoro::Task<Result<PairingInvitation>> RememberedAccountSession::invite() {
    if (m_state != State::SignedIn || !m_endpoints->current())
        co_return makeError(SessionError::NotSignedIn, kNotSignedInText);
    const std::stop_token stop = m_tasks.token();
    const clouddb::CloudEndpoint endpoint = *m_endpoints->current();
    const auto answer = co_await server_call::post(
        *m_network, m_clock, clouddb::databaseCallUrl(endpoint, QStringLiteral("pairing/create")),
        QJsonObject(), endpoint.token, endpoint.trust);
    if (stop.stop_requested())
        co_return makeError(SessionError::Stopped, stoppedText());
    if (!answer) {
        if (server_call::is(answer.error(), Failure::Unauthorized))
            m_endpoints->reportRejected(endpoint.token);
        co_return failed(Call::Invite, answer.error(), endpoint.server);
    }
    const QString code = answer.value().value(QStringLiteral("code")).toString();
    const QJsonValue expires = answer.value()
                                   .value(QStringLiteral("expires"))
                                   .toObject()
                                   .value(QStringLiteral("timestamp"));
    if (code.isEmpty() || !expires.isDouble())
        co_return makeError(
            SessionError::NotOurServer,
            QStringLiteral("%1 is not a Sonavert server.").arg(endpoint.server.toString()));
    // This computer reaches its own server on loopback, an address that means nothing to
    // another one: the invitation names where the server serves the home, and its key.
    if (isLoopbackServer(endpoint.server))
        if (const auto entrance = networkEntranceOf(answer.value()))
            co_return invitationOf(entrance->first, code, static_cast<qint64>(expires.toDouble()),
                                   entrance->second);
    co_return invitationOf(endpoint.server, code, static_cast<qint64>(expires.toDouble()),
                           endpoint.trust->pinnedKey());
}

void RememberedAccountSession::setSignedIn(const QUrl& server, const QString& token,
                                           const QByteArray& serverKey) {
    m_endpoints->setEndpoint(clouddb::CloudEndpoint{
        server, token, QString::fromLatin1(app_identity::kContainerIdentifier),
        QStringLiteral("production"), trustFor(serverKey)});
    setState(State::SignedIn);
}

QCoro::Task<> RememberedAccountSession::forget(QString reason) {
    const std::stop_token stop = m_tasks.token();
    const auto current = m_endpoints->current();
    m_defaults->removeObject(kServerKey);
    m_defaults->removeObject(kAccountNameKey);
    m_defaults->removeObject(kDeviceNameKey);
    m_defaults->removeObject(kServerKeyKey);
    m_defaults->flush();
    m_accountName.clear();
    m_tokenName.clear();
    m_lastError = reason;
    // The clients stop at once; the store is cleared after.
    m_endpoints->setEndpoint(std::nullopt);
    setState(State::SignedOut);
    Q_EMIT stateChanged(); // the reason is news even when the state was already signed out
    if (!current)
        co_return;
    auto secrets = m_secrets;
    const Status cleared = co_await secrets->write(tokenService(), current->server.toString(), {});
    if (!stop.stop_requested() && !cleared)
        developerLog(QStringLiteral("account: cannot forget the token: %1")
                         .arg(cleared.error().description));
}

Error RememberedAccountSession::failed(Call call, const Error& error, const QUrl& server) {
    QString text = failureText(call == Call::Claim, error);
    if (text.contains(QLatin1String("%1")))
        text = text.arg(server.toString());
    if (call != Call::Invite) {
        m_lastError = text;
        Q_EMIT stateChanged();
    }
    Error shown = makeError(SessionError::CallFailed, text);
    shown.retryAfterSeconds = error.retryAfterSeconds;
    return shown;
}

void RememberedAccountSession::setState(State state) {
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged();
}

} // namespace sonavert
