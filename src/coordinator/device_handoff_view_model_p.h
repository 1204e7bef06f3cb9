#pragma once

// Internals shared by the files of DeviceHandoffViewModel.

#include "src/coordinator/device_handoff_view_model.h"

namespace sonavert::detail {

// The operation is built by a plain function and handed over as a named value: g++ 12
// destroys a temporary (a lambda converted on the way in) inside a co_await expression twice.
inline PresenceOperation publishOperation(std::shared_ptr<HandoffServiceProtocol> service,
                                          QString id, QString name,
                                          std::optional<PlaybackState> nowPlaying) {
    return
        [service, id, name, nowPlaying] { return service->publishPresence(id, name, nowPlaying); };
}

/// Publishes this device's presence as every caller must: account check, then the publish
/// inside the zone recovery.
inline QCoro::Task<Status> publishInZone(std::shared_ptr<HandoffServiceProtocol> service,
                                         QString id, QString name,
                                         std::optional<PlaybackState> nowPlaying) {
    auto database = co_await service->ensureAccountAvailable();
    SONAVERT_CO_TRY(database);
    const PresenceOperation operation = publishOperation(service, id, name, std::move(nowPlaying));
    co_return co_await service->withPresenceZoneRecovery(database.value(), operation);
}

/// The state as this device plays it: where a handoff came from and why it came back belong
/// to that one handoff, never to what this device later publishes or sends on.
inline PlaybackState withoutReturnRoute(PlaybackState state) {
    state.returnDeviceID.reset();
    state.returnReason.reset();
    return state;
}

} // namespace sonavert::detail
