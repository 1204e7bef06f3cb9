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
    Result<IssuedToken> issueToken(const QString& accountName);
    /// Fails with NOT_FOUND when the token is not one of the account's.
    Status revokeToken(const QString& accountName, const QString& token);
    /// Tokens revoked after the revocation `afterId`, by any process sharing the storage.
    Result<QList<TokenRevocation>> revocationsSince(qint64 afterId);
    /// The account a bearer token belongs to; AUTHENTICATION_REQUIRED otherwise.
    Result<AccountInfo> authenticate(const QString& token);
    /// The named account, or NOT_FOUND.
    Result<AccountInfo> account(const QString& name);

private:
    Result<IssuedToken> issueFor(const AccountInfo& account);

    CloudStorage& m_storage;
    Clock& m_clock;
};

} // namespace sonavert::cloud
