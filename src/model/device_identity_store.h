#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <memory>
#include <optional>

namespace sonavert {

class SecretStore;
class UserDefaults;

/// Keeps this installation's identifier. Reads and writes are awaited: the desktop keyring
/// answers over D-Bus and must never block the event loop.
class DeviceIdentityStore {
public:
    virtual ~DeviceIdentityStore() = default;
    /// The stored identifier, or nothing when there is none or it cannot be read.
    virtual QCoro::Task<std::optional<QString>> readIdentifier() = 0;
    /// Stores the identifier; false on any failure.
    virtual QCoro::Task<bool> writeIdentifier(QString identifier) = 0;
};

/// The identifier as one keyring item: service = lower-case bundle identifier +
/// ".device-identity", account "installation-uuid". Any keyring failure reads as "no item"
/// or "not written", so the fallback key in the user defaults takes over.
class KeychainDeviceIdentityStore final : public DeviceIdentityStore {
public:
    explicit KeychainDeviceIdentityStore(std::shared_ptr<SecretStore> secrets);

    QCoro::Task<std::optional<QString>> readIdentifier() override;
    QCoro::Task<bool> writeIdentifier(QString identifier) override;

    const QString service;
    const QString account;

private:
    std::shared_ptr<SecretStore> m_secrets;
};

/// User-defaults key holding the identifier while the keyring cannot.
inline const QString kDeviceUUIDFallbackKey = QStringLiteral("Tessary.deviceUUID");

/// This installation's identifier, resolved once at start-up: the keyring's, else the fallback
/// key's, else a new upper-case UUID; then written to the keyring, and kept in the fallback key
/// only while the keyring refuses it.
QCoro::Task<QString> resolveDeviceID(std::shared_ptr<DeviceIdentityStore> store,
                                     std::shared_ptr<UserDefaults> defaults);

/// This machine's human-readable name: the pretty host name when one is set, else the host name.
QString resolveDeviceName();

/// A new random UUID in canonical upper-case text form.
QString makeUpperCaseUUID();

} // namespace sonavert
