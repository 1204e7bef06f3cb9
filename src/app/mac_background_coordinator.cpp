#include "src/app/mac_background_coordinator.h"

#include "src/coordinator/device_handoff_view_model.h"

namespace sonavert {

MacBackgroundCoordinator::MacBackgroundCoordinator(DeviceHandoffViewModel& coordinator)
    : m_coordinator(coordinator) {}

QCoro::Task<> MacBackgroundCoordinator::processRemoteNotification() {
    const std::stop_token stop = m_tasks.token();
    DeviceHandoffViewModel& coordinator = m_coordinator;
    if (coordinator.isReceiving) {
        coordinator.receptionRequested = true;
        co_return;
    }
    coordinator.isReceiving = true;
    do {
        coordinator.receptionRequested = false;
        auto handoff = coordinator.consumePendingHandoff();
        auto pullRequest = coordinator.respondToPendingPull();
        auto presence = coordinator.syncPresence();
        (void)co_await std::move(handoff);
        (void)co_await std::move(pullRequest);
        co_await std::move(presence);
        if (stop.stop_requested())
            co_return;
    } while (coordinator.receptionRequested);
    coordinator.isReceiving = false;
}

} // namespace sonavert
