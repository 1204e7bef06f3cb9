#include "src/account/account_key_holding.h"

#include "src/account/account_keys.h"

namespace sonavert {

AccountKeyHolding::AccountKeyHolding(AccountKeys* keys)
    : m_keys(keys) {}

bool AccountKeyHolding::isThisDeviceUnverified() const {
    return m_keys && m_keys->state() == AccountKeys::State::Unverified;
}

QCoro::Task<Result<KeyHolding>> AccountKeyHolding::keyHolding() {
    // Signed out there are no keys to read, and nobody to tell apart.
    if (!m_keys || m_keys->state() == AccountKeys::State::SignedOut)
        co_return KeyHolding();
    const Result<QList<KeyedDevice>> devices = co_await m_keys->devices();
    SONAVERT_CO_TRY(devices);
    KeyHolding holding;
    for (const KeyedDevice& device : devices.value())
        holding.insert(device.deviceID, device.hasKey);
    co_return holding;
}

} // namespace sonavert
