#pragma once

#include "src/model/app_device.h"

#include <QMap>
#include <QString>
#include <memory>
#include <optional>

namespace sonavert {

class UserDefaults;

/// The order devices are listed in: the favourite first, then by name (Unicode scalar values
/// after canonical composition, case-sensitive, not locale-aware). Stable.
bool rosterNameLess(const QString& a, const QString& b);
void sortByRosterOrder(DeviceList& devices);

/// Remembers, in the user defaults, the devices seen before, the one favourite device and the
/// devices the user removed. Used on the main thread only.
class DeviceRosterStore {
public:
    explicit DeviceRosterStore(std::shared_ptr<UserDefaults> defaults);

    const QString rosterKey = QStringLiteral("Tessary.deviceRoster");
    const QString forgottenKey = QStringLiteral("Tessary.forgottenDevices");
    const QString favoriteKey = QStringLiteral("Tessary.favoriteDevice");
    const QString legacyFavoritesKey = QStringLiteral("Tessary.favoriteDevices");
    const QString favoriteClearedKey = QStringLiteral("Tessary.favoriteCleared");

    /// Stored devices, all offline without now-playing, favourite flag from the favourite id.
    DeviceList loadRoster() const;
    void saveRoster(DeviceList devices);
    /// Adds or replaces devices by id; never drops one.
    void mergeRoster(const DeviceList& devices);
    void forgetDevice(const QString& id, const std::optional<QString>& sessionID);
    /// Forgotten device id → the session it had when forgotten ("" when none).
    QMap<QString, QString> forgottenSessions() const;
    /// The favourite id, migrating the older list-of-favourites form on first read.
    std::optional<QString> favoriteDeviceID() const;
    /// Gives the device's new favourite state.
    bool toggleFavorite(const QString& id);
    /// Picks the online device with the smallest name as favourite, unless one is set or the
    /// user cleared it.
    void seedDefaultFavorite(const DeviceList& devices);

private:
    std::shared_ptr<UserDefaults> m_defaults;
};

} // namespace sonavert
