#pragma once

#include <QObject>

namespace sonavert {

class DeviceHandoffViewModel;

/// Prints what the coordinator's published state does as developer lines ("[Tessary] ..."):
/// the device list, errors, what plays here and, when verbose, every presence pass. This is
/// what a headless run shows of its loops.
class StateReporter : public QObject {
    Q_OBJECT
public:
    StateReporter(DeviceHandoffViewModel* coordinator, bool isVerbose, QObject* parent = nullptr);

private:
    void reportDevices();
    void reportSyncError();
    void reportNowPlaying();
    void reportDiscovery();
    void reportPass();

    DeviceHandoffViewModel* m_coordinator;
    int m_passes = 0;
};

} // namespace sonavert
