#pragma once

#include <QCoro/QCoroTask>
#include <QPointer>

namespace sonavert {

class DeviceHandoffViewModel;

/// Turns remote notifications into background passes over the coordinator: take a handoff,
/// answer a pull request and refresh presence, side by side. A notification that arrives
/// while a pass runs makes the pass go exactly once more, however many arrive.
class MacBackgroundCoordinator {
public:
    /// Holds the coordinator weakly: a pass after it is gone does nothing.
    QPointer<DeviceHandoffViewModel> viewModel;

    /// One pass (and its repeats); ends when no notification came in meanwhile.
    QCoro::Task<> processRemoteNotification();
};

} // namespace sonavert
