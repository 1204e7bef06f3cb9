#pragma once

#include "src/model/app_device.h"

#include <QStringList>

namespace sonavert {

/// What a device argument of the control interface names.
struct DeviceLookup {
    enum class Outcome {
        Found,      ///< exactly one listed device: `device`
        ThisDevice, ///< this device itself, which no operation targets
        Unknown,    ///< nothing
        Ambiguous,  ///< several listed devices share the name: `candidates`
    };
    Outcome outcome = Outcome::Unknown;
    AppDevice device;
    QStringList candidates; ///< "Name (id)" of each device the name fits
};

/// Finds the device `query` names among `devices`: an id first, then a name, both compared
/// without regard to case (ids are typed by hand too) and after trimming white space.
DeviceLookup lookUpDevice(const DeviceList& devices, const AppDevice& thisDevice,
                          const QString& query);

} // namespace sonavert
