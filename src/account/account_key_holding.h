#pragma once

#include "src/coordinator/account_key_protocol.h"

#include <QPointer>

namespace sonavert {

class AccountKeys;

/// The coordinator's view of the account key, read from AccountKeys: whether this computer
/// waits for it, and which of the account's computers hold it.
class AccountKeyHolding : public AccountKeyProtocol {
public:
    /// `keys` may go before this: nothing is then known about anyone.
    explicit AccountKeyHolding(AccountKeys* keys);

    bool isThisDeviceUnverified() const override;
    QCoro::Task<Result<KeyHolding>> keyHolding() override;

private:
    /// Owned by the app; the coordinator that asks may outlive it while the app ends.
    QPointer<AccountKeys> m_keys;
};

} // namespace sonavert
