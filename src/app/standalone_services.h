#pragma once

#include "src/model/device_identity_store.h"

namespace sonavert {

/// The identity of a device run with its own profile folder: kept in the profile's user
/// defaults (the fallback key), never in the desktop keyring, so several devices on one
/// machine keep separate identities and throwaway profiles leave nothing behind.
class ProfileOnlyIdentityStore final : public DeviceIdentityStore {
public:
    QCoro::Task<std::optional<QString>> readIdentifier() override;
    QCoro::Task<bool> writeIdentifier(QString identifier) override;
};

} // namespace sonavert
