#pragma once

#include "src/model/app_device.h"

#include <QSet>
#include <QString>

namespace sonavert {

class DeviceRosterStore;

/// Applies an incoming device list (from a presence fetch or the service's peer knowledge) to
/// the roster and gives the list to show: forgotten sessions left out, a default favourite
/// seeded, the roster updated, devices the fetch no longer returns kept from the roster,
/// this device never listed, queued and unverified marks set, favourite first then by name.
DeviceList mergeIncomingDevices(const DeviceList& incoming, DeviceRosterStore& roster,
                                const QString& thisDeviceID, const QSet<QString>& queuedPushTargets,
                                const QSet<QString>& unverifiedDevices = {});

/// Sets every device's marks from the two sets, as the merge does.
void markDevices(DeviceList& devices, const QSet<QString>& queuedPushTargets,
                 const QSet<QString>& unverifiedDevices);

} // namespace sonavert
