#pragma once

#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>

namespace sonavert {

class DeviceHandoffViewModel;

/// Turns remote notifications into background passes over the coordinator: take a handoff,
/// answer a pull request and refresh presence, side by side. A notification that arrives
/// while a pass runs makes the pass go exactly once more, however many arrive.
class MacBackgroundCoordinator {
public:
    /// `coordinator` outlives this object (the app makes it first and ends it last).
    explicit MacBackgroundCoordinator(DeviceHandoffViewModel& coordinator);

    /// One pass (and its repeats); ends when no notification came in meanwhile, or when this
    /// object goes.
    QCoro::Task<> processRemoteNotification();

private:
    DeviceHandoffViewModel& m_coordinator;
    TaskHandle m_tasks; ///< the pass under way; last, so it ends first
};

} // namespace sonavert
