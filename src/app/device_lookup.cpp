#include "src/app/device_lookup.h"

namespace sonavert {

namespace {

bool sameText(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

DeviceLookup found(const AppDevice& device) {
    DeviceLookup lookup;
    lookup.outcome = DeviceLookup::Outcome::Found;
    lookup.device = device;
    return lookup;
}

DeviceLookup withOutcome(DeviceLookup::Outcome outcome) {
    DeviceLookup lookup;
    lookup.outcome = outcome;
    return lookup;
}

} // namespace

DeviceLookup lookUpDevice(const DeviceList& devices, const AppDevice& thisDevice,
                          const QString& query) {
    const QString wanted = query.trimmed();
    if (wanted.isEmpty())
        return withOutcome(DeviceLookup::Outcome::Unknown);
    for (const AppDevice& device : devices)
        if (sameText(device.id, wanted))
            return found(device);
    if (sameText(thisDevice.id, wanted))
        return withOutcome(DeviceLookup::Outcome::ThisDevice);

    DeviceList named;
    for (const AppDevice& device : devices)
        if (sameText(device.name, wanted))
            named.append(device);
    if (named.size() == 1)
        return found(named.first());
    if (named.size() > 1) {
        DeviceLookup lookup = withOutcome(DeviceLookup::Outcome::Ambiguous);
        for (const AppDevice& device : named)
            lookup.candidates << QStringLiteral("%1 (%2)").arg(device.name, device.id);
        return lookup;
    }
    if (sameText(thisDevice.name, wanted))
        return withOutcome(DeviceLookup::Outcome::ThisDevice);
    return withOutcome(DeviceLookup::Outcome::Unknown);
}

} // namespace sonavert
