#include "src/app/mac_background_coordinator.h"

#include "src/coordinator/device_handoff_view_model.h"

namespace sonavert {

QCoro::Task<> MacBackgroundCoordinator::processRemoteNotification() {
    QPointer<DeviceHandoffViewModel> coordinator = viewModel;
    if (!coordinator)
        co_return;
    if (coordinator->isReceiving) {
        coordinator->receptionRequested = true;
        co_return;
    }
    coordinator->isReceiving = true;
    do {
        coordinator->receptionRequested = false;
        auto handoff = coordinator->consumePendingHandoff();
        auto pullRequest = coordinator->respondToPendingPull();
        auto presence = coordinator->syncPresence();
        (void)co_await std::move(handoff);
        (void)co_await std::move(pullRequest);
        co_await std::move(presence);
        if (!coordinator)
            co_return;
    } while (coordinator->receptionRequested);
    coordinator->isReceiving = false;
}

} // namespace sonavert
