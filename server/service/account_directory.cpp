#include "server/service/account_directory.h"

#include "server/service/secret_tokens.h"
#include "server/wire/json_fields.h"
#include "server/wire/server_error.h"
#include "src/runtime/clock.h"

namespace sonavert::cloud {

AccountDirectory::AccountDirectory(CloudStorage& storage, Clock& clock, TokenCache& tokens)
    : m_storage(storage)
    , m_clock(clock)
    , m_tokens(tokens) {}

Result<IssuedToken> AccountDirectory::addAccount(const QString& name) {
    if (!json_fields::isValidName(name))
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("an account name is 1 to 255 bytes of printable UTF-8"));
    auto account = m_storage.createAccount(name, secret_tokens::newUserRecordName(),
                                           m_clock.now().unixMilliseconds());
    SONAVERT_TRY(account);
    return issueTokenFor(account.value(), {});
}

Result<IssuedToken> AccountDirectory::issueToken(const QString& accountName,
                                                 const QString& deviceName) {
    auto found = account(accountName);
    SONAVERT_TRY(found);
    return issueTokenFor(found.value(), deviceName);
}

Result<int> AccountDirectory::revokeToken(const QString& accountName, const QString& token) {
    auto found = account(accountName);
    SONAVERT_TRY(found);
    return revokeHash(found.value(), secret_tokens::hashBearerToken(token));
}

Result<int> AccountDirectory::revokeDevice(const QString& accountName, const QString& deviceName) {
    auto found = account(accountName);
    SONAVERT_TRY(found);
    auto hash = m_storage.tokenHashNamed(found.value().id, deviceName);
    SONAVERT_TRY(hash);
    if (deviceName.isEmpty() || !hash.value())
        return cloudError(ServerErrorCode::NotFound,
                          QStringLiteral("account \"%1\" has no device named \"%2\"")
                              .arg(accountName, deviceName));
    return revokeHash(found.value(), *hash.value());
}

Result<QList<DeviceToken>> AccountDirectory::tokens(const QString& accountName) {
    auto found = account(accountName);
    SONAVERT_TRY(found);
    return m_storage.tokensOf(found.value().id);
}

Result<int> AccountDirectory::revokeHash(const AccountInfo& account, const QString& tokenHash) {
    auto removed = m_storage.removeToken(account.id, tokenHash);
    // After the delete: a call that read the token before it does not cache it again.
    m_tokens.forget(tokenHash);
    SONAVERT_TRY(removed);
    if (removed.value().isEmpty())
        return cloudError(ServerErrorCode::NotFound,
                          QStringLiteral("no such token for account \"%1\"").arg(account.name));
    for (const QString& minted : removed.value())
        m_tokens.forget(minted);
    return static_cast<int>(removed.value().size());
}

Result<QList<TokenRevocation>> AccountDirectory::takeRevocations() {
    auto revoked = m_storage.tokenRevocationsSince(m_lastRevocationId);
    SONAVERT_TRY(revoked);
    for (const TokenRevocation& revocation : revoked.value()) {
        m_lastRevocationId = std::max(m_lastRevocationId, revocation.id);
        m_tokens.forget(revocation.tokenHash);
    }
    return revoked;
}

Result<AccountInfo> AccountDirectory::authenticate(const QString& token) {
    const auto unauthenticated = cloudError(ServerErrorCode::AuthenticationRequired,
                                            QStringLiteral("a valid bearer token is required"));
    if (token.isEmpty())
        return unauthenticated;
    const QString hash = secret_tokens::hashBearerToken(token);
    if (auto cached = m_tokens.find(hash))
        return *cached;
    const TokenCache::Generation generation = m_tokens.generation();
    auto found = m_storage.accountByTokenHash(hash);
    SONAVERT_TRY(found);
    if (!found.value())
        return unauthenticated;
    m_tokens.remember(hash, *found.value(), generation);
    return *found.value();
}

Result<AccountInfo> AccountDirectory::account(const QString& name) {
    auto found = m_storage.accountByName(name);
    SONAVERT_TRY(found);
    if (!found.value())
        return cloudError(ServerErrorCode::NotFound,
                          QStringLiteral("no account named \"%1\"").arg(name));
    return *found.value();
}

Result<IssuedToken> AccountDirectory::issueTokenFor(const AccountInfo& account,
                                                    const QString& deviceName,
                                                    const QString& mintedBy) {
    if (!deviceName.isEmpty()) {
        if (!json_fields::isValidName(deviceName))
            return cloudError(ServerErrorCode::BadRequest,
                              QStringLiteral("a device name is 1 to 255 bytes of printable UTF-8"));
        auto taken = m_storage.tokenHashNamed(account.id, deviceName);
        SONAVERT_TRY(taken);
        if (taken.value())
            return cloudError(
                ServerErrorReason::DeviceNameTaken,
                QStringLiteral("a device named \"%1\" is signed in already").arg(deviceName));
    }
    const QString token = secret_tokens::newBearerToken();
    SONAVERT_TRY(m_storage.addToken(account.id, secret_tokens::hashBearerToken(token), deviceName,
                                    m_clock.now().unixMilliseconds(), mintedBy));
    return IssuedToken{account, token};
}

} // namespace sonavert::cloud
