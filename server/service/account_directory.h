#pragma once

#include "server/service/token_cache.h"
#include "server/storage/cloud_storage.h"

namespace sonavert {
class Clock;
}

namespace sonavert::cloud {

struct IssuedToken {
    AccountInfo account;
    /// Shown once; only its hash is kept.
    QString token;
};

/// Accounts and their bearer tokens: creation, issue, revocation and authentication.
class AccountDirectory {
public:
    /// Tokens that authenticate are remembered in `tokens`, shared with the instance's other
    /// directories.
    AccountDirectory(CloudStorage& storage, Clock& clock, TokenCache& tokens);

    Result<IssuedToken> addAccount(const QString& name);
    /// A token named after the device it is for; BAD_REQUEST when the account has a token of
    /// that name already. An empty name is allowed, for tokens not tied to one device.
    Result<IssuedToken> issueToken(const QString& accountName, const QString& deviceName = {});
    /// `mintedBy`: the hash of the token whose pairing code the new one is claimed with; the
    /// new token is revoked with it.
    Result<IssuedToken> issueTokenFor(const AccountInfo& account, const QString& deviceName,
                                      const QString& mintedBy = {});
    /// Revokes the token and every token minted through its pairing codes, recursively; gives
    /// how many were revoked. Fails with NOT_FOUND when the token is not one of the account's.
    Result<int> revokeToken(const QString& accountName, const QString& token);
    /// Revokes the token named after the device, as revokeToken; NOT_FOUND when there is none.
    Result<int> revokeDevice(const QString& accountName, const QString& deviceName);
    Result<QList<DeviceToken>> tokens(const QString& accountName);
    /// Tokens revoked since the last call, by any process sharing the storage; they no longer
    /// authenticate from the moment this returns.
    Result<QList<TokenRevocation>> takeRevocations();
    /// Whether a revocation by another process could concern a token in use here.
    bool hasCachedTokens() const { return m_tokens.size() > 0; }
    /// The account a bearer token belongs to; AUTHENTICATION_REQUIRED otherwise.
    Result<AccountInfo> authenticate(const QString& token);
    /// The named account, or NOT_FOUND.
    Result<AccountInfo> account(const QString& name);

private:
    Result<int> revokeHash(const AccountInfo& account, const QString& tokenHash);

    CloudStorage& m_storage;
    Clock& m_clock;
    TokenCache& m_tokens;
    qint64 m_lastRevocationId = 0;
};

} // namespace sonavert::cloud
