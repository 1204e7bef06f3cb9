#pragma once

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
    AccountDirectory(CloudStorage& storage, Clock& clock);

    Result<IssuedToken> addAccount(const QString& name);
    /// A token named after the device it is for; BAD_REQUEST when the account has a token of
    /// that name already. An empty name is allowed, for tokens not tied to one device.
    Result<IssuedToken> issueToken(const QString& accountName, const QString& deviceName = {});
    Result<IssuedToken> issueTokenFor(const AccountInfo& account, const QString& deviceName);
    /// Fails with NOT_FOUND when the token is not one of the account's.
    Status revokeToken(const QString& accountName, const QString& token);
    /// Revokes the token named after the device; NOT_FOUND when there is none.
    Status revokeDevice(const QString& accountName, const QString& deviceName);
    Result<QList<DeviceToken>> tokens(const QString& accountName);
    /// Tokens revoked after the revocation `afterId`, by any process sharing the storage.
    Result<QList<TokenRevocation>> revocationsSince(qint64 afterId);
    /// The account a bearer token belongs to; AUTHENTICATION_REQUIRED otherwise.
    Result<AccountInfo> authenticate(const QString& token);
    /// The named account, or NOT_FOUND.
    Result<AccountInfo> account(const QString& name);

private:
    Status revokeHash(const AccountInfo& account, const QString& tokenHash);

    CloudStorage& m_storage;
    Clock& m_clock;
};

} // namespace sonavert::cloud
