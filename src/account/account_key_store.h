#pragma once

#include "src/crypto/key_ring.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <memory>
#include <optional>

namespace sonavert {

class SecretStore;

/// Where a device keeps the keys of its account: in the same secret store as its token (the
/// keyring, or the profile's own file), one item per account, so signing in to another
/// account never mixes keys. The item holds the current key and the earlier ones a rotation
/// replaced.
class AccountKeyStore {
public:
    explicit AccountKeyStore(std::shared_ptr<SecretStore> secrets);

    /// The ring kept for `account` (a server and account name, see accountKeyName); none when
    /// this device never held a key of it. A damaged item is an error, not an empty ring: the
    /// device must not make a second key for an account that has one.
    QCoro::Task<Result<std::optional<crypto::KeyRing>>> load(QString account);
    QCoro::Task<Status> save(QString account, crypto::KeyRing ring);

private:
    std::shared_ptr<SecretStore> m_secrets;
};

} // namespace sonavert
