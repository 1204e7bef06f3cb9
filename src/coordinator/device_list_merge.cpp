#include "src/coordinator/device_list_merge.h"

#include "src/model/device_roster_store.h"

#include <map>

namespace sonavert {

namespace {

DeviceList withoutForgottenSessions(const DeviceList& incoming,
                                    const QMap<QString, QString>& forgotten) {
    DeviceList kept;
    for (const auto& device : incoming) {
        const auto entry = forgotten.constFind(device.id);
        // A device without a session is never left out: it cannot be told apart from a
        // device that has started again since it was forgotten.
        const bool isForgotten =
            device.sessionID && entry != forgotten.constEnd() && *entry == *device.sessionID;
        if (!isForgotten)
            kept.append(device);
    }
    return kept;
}

DeviceList withoutDevice(DeviceList devices, const QString& id) {
    devices.removeIf([&](const AppDevice& device) { return device.id == id; });
    return devices;
}

} // namespace

DeviceList mergeIncomingDevices(const DeviceList& incoming, DeviceRosterStore& roster,
                                const QString& thisDeviceID, const QSet<QString>& queuedPushTargets,
                                const QSet<QString>& unverifiedDevices) {
    // This device is kept out of the roster as well as out of the list: a roster that held it
    // would list it at the next start, before the first merge filters it again.
    const DeviceList kept =
        withoutDevice(withoutForgottenSessions(incoming, roster.forgottenSessions()), thisDeviceID);
    roster.seedDefaultFavorite(kept);
    roster.mergeRoster(kept);

    std::map<QString, AppDevice> byID;
    for (const auto& stored : roster.loadRoster())
        byID.insert_or_assign(stored.id, stored);
    for (auto device : kept) {
        const auto stored = byID.find(device.id);
        device.isFavorite = stored != byID.end() && stored->second.isFavorite;
        byID.insert_or_assign(device.id, device);
    }
    byID.erase(thisDeviceID);

    DeviceList merged;
    for (auto& [id, device] : byID)
        merged.append(device);
    markDevices(merged, queuedPushTargets, unverifiedDevices);
    sortByRosterOrder(merged);
    return merged;
}

void markDevices(DeviceList& devices, const QSet<QString>& queuedPushTargets,
                 const QSet<QString>& unverifiedDevices) {
    for (AppDevice& device : devices) {
        device.hasQueuedPush = queuedPushTargets.contains(device.id);
        device.isUnverified = unverifiedDevices.contains(device.id);
    }
}

} // namespace sonavert
