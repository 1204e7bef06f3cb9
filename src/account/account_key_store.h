#pragma once

#include "src/crypto/device_key_pair.h"
#include "src/crypto/key_ring.h"
#include "src/crypto/key_share.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QMap>
#include <QSet>
#include <memory>
#include <optional>

namespace sonavert {

class SecretStore;

/// What a device keeps of its account's keys: the ring, and its own long-lived key pair that
/// a rotated key is boxed to.
struct StoredKeys {
    crypto::KeyRing ring;
    std::optional<crypto::DeviceKeyPair> device; ///< none in items of the first version
    /// The other computers whose long-lived keys this one trusts, by device id; none in items
    /// of versions that trusted a key its holder vouched for under the account key.
    std::optional<QMap<QString, crypto::PinnedDevice>> pins;
    QSet<QString> removed; ///< computers taken out, never pinned again
};

/// Where a device keeps the keys of its account: in the same secret store as its token (the
/// keyring, or the profile's own file), one item per account, so signing in to another
/// account never mixes keys. The item holds the current key, the earlier ones a rotation
/// replaced, the device's own key pair, and the computers it has pinned.
class AccountKeyStore {
public:
    explicit AccountKeyStore(std::shared_ptr<SecretStore> secrets);

    /// The keys kept for `account` (a server and account name, see accountKeyName); none when
    /// this device never held a key of it. A damaged item is an error, not an empty ring: the
    /// device must not make a second key for an account that has one.
    QCoro::Task<Result<std::optional<StoredKeys>>> load(QString account);
    QCoro::Task<Status> save(QString account, StoredKeys keys);

private:
    std::shared_ptr<SecretStore> m_secrets;
};

} // namespace sonavert
