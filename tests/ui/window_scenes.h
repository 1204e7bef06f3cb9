#pragma once

#include "tests/ui/window_rig.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace sonavert::test {

/// The window's states, built through the real coordinator on fakes: devices come from the
/// fake cloud, now-playing from the fake player, errors from failing calls. Shared by the
/// view tests and the screenshot tool.
class WindowScenes {
public:
    /// Every scene by name, in the order the screenshots show them.
    static QStringList names();

    explicit WindowScenes(WindowRig& rig)
        : m_rig(rig) {}

    /// Sets up `name`; false for an unknown one. Call before the bridge is made, then
    /// `finish` after.
    bool prepare(const QString& name);
    /// Runs the coordinator into the scene's state once `bridge` exists.
    void finish(const QString& name, WindowBridge& bridge);

    /// The sample devices, last seen relative to the rig's clock.
    static DeviceList sampleDevices(Timestamp now);
    static PlaybackState sampleState();
    /// Two cloud servers announced on the network.
    static QList<FoundCloudServer> sampleServers();

private:
    void startWithDevices(const DeviceList& devices);
    void prepareAccount(const QString& name);
    void finishAccount(const QString& name, WindowBridge& bridge);

    WindowRig& m_rig;
};

} // namespace sonavert::test
