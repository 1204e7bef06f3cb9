#include "src/model/device_roster_store.h"

#include "src/desktop/user_defaults.h"
#include "src/model/record_json.h"

#include <algorithm>
#include <map>

namespace sonavert {

bool rosterNameLess(const QString& a, const QString& b) {
    // Code points, not UTF-16 units: characters beyond the BMP must sort after U+FFFF.
    const auto left = a.normalized(QString::NormalizationForm_C).toUcs4();
    const auto right = b.normalized(QString::NormalizationForm_C).toUcs4();
    return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
}

void sortByRosterOrder(DeviceList& devices) {
    std::stable_sort(devices.begin(), devices.end(), [](const AppDevice& a, const AppDevice& b) {
        if (a.isFavorite != b.isFavorite)
            return a.isFavorite;
        return rosterNameLess(a.name, b.name);
    });
}

DeviceRosterStore::DeviceRosterStore(std::shared_ptr<UserDefaults> defaults)
    : m_defaults(std::move(defaults)) {}

DeviceList DeviceRosterStore::loadRoster() const {
    const auto data = m_defaults->data(rosterKey);
    if (!data)
        return {};
    auto devices = decodeDeviceList(*data);
    if (!devices)
        return {};
    const auto favorite = favoriteDeviceID();
    for (auto& device : *devices) {
        device.presence = DevicePresence::Offline;
        device.nowPlaying.reset();
        device.isFavorite = favorite && device.id == *favorite;
    }
    sortByRosterOrder(*devices);
    return *devices;
}

void DeviceRosterStore::saveRoster(DeviceList devices) {
    sortByRosterOrder(devices);
    if (const auto data = encodeJson(devices))
        m_defaults->setData(rosterKey, *data);
}

void DeviceRosterStore::mergeRoster(const DeviceList& devices) {
    const auto favorite = favoriteDeviceID();
    std::map<QString, AppDevice> byID;
    for (const auto& stored : loadRoster())
        byID.insert_or_assign(stored.id, stored);
    for (auto device : devices) {
        device.isFavorite = favorite && device.id == *favorite;
        byID.insert_or_assign(device.id, device);
    }
    DeviceList merged;
    for (auto& [id, device] : byID)
        merged.append(device);
    saveRoster(std::move(merged));
}

void DeviceRosterStore::forgetDevice(const QString& id, const std::optional<QString>& sessionID) {
    DeviceList kept = loadRoster();
    kept.removeIf([&](const AppDevice& device) { return device.id == id; });
    saveRoster(kept);
    auto forgotten = forgottenSessions();
    forgotten.insert(id, sessionID.value_or(QString()));
    m_defaults->setStringDictionary(forgottenKey, forgotten);
    if (favoriteDeviceID() == id)
        m_defaults->removeObject(favoriteKey);
}

QMap<QString, QString> DeviceRosterStore::forgottenSessions() const {
    return m_defaults->stringDictionary(forgottenKey).value_or(QMap<QString, QString>());
}

std::optional<QString> DeviceRosterStore::favoriteDeviceID() const {
    if (auto favorite = m_defaults->string(favoriteKey))
        return favorite;
    const auto legacy = m_defaults->stringArray(legacyFavoritesKey);
    if (!legacy || legacy->isEmpty())
        return std::nullopt;
    const QString first = legacy->first();
    m_defaults->setString(favoriteKey, first);
    m_defaults->removeObject(legacyFavoritesKey);
    return first;
}

bool DeviceRosterStore::toggleFavorite(const QString& id) {
    if (favoriteDeviceID() == id) {
        m_defaults->removeObject(favoriteKey);
        m_defaults->setBool(favoriteClearedKey, true);
        return false;
    }
    m_defaults->setString(favoriteKey, id);
    m_defaults->removeObject(favoriteClearedKey);
    return true;
}

void DeviceRosterStore::seedDefaultFavorite(const DeviceList& devices) {
    if (favoriteDeviceID() || m_defaults->isTrue(favoriteClearedKey))
        return;
    const AppDevice* best = nullptr;
    for (const auto& device : devices) {
        if (device.presence != DevicePresence::Online)
            continue;
        if (!best || rosterNameLess(device.name, best->name))
            best = &device;
    }
    if (best)
        m_defaults->setString(favoriteKey, best->id);
}

} // namespace sonavert
