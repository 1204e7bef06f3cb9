#pragma once

#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/model/device_roster_store.h"
#include "src/runtime/virtual_clock.h"
#include "tests/fakes/fake_account_keys.h"
#include "tests/fakes/fake_handoff_service.h"
#include "tests/fakes/fake_music_service.h"

#include <memory>

namespace sonavert::test {

inline const QString kThisID = "11111111-1111-4111-8111-111111111111";

inline AppDevice device(const QString& id, const QString& name,
                        DevicePresence presence = DevicePresence::Online,
                        std::optional<QString> session = std::nullopt) {
    AppDevice d;
    d.id = id;
    d.name = name;
    d.lastSeen = Timestamp{1000.0};
    d.presence = presence;
    d.sessionID = std::move(session);
    return d;
}

inline QStringList names(const DeviceList& devices) {
    QStringList out;
    for (const auto& d : devices)
        out << d.name;
    return out;
}

inline PlaybackState playing(double at = 30.0) {
    return {"song-1", at, "Song", "Artist", {}, {}, {}};
}

/// What the fake's fetchHandoff answers.
inline Result<std::optional<PlaybackState>> handoff(std::optional<PlaybackState> state) {
    return Result<std::optional<PlaybackState>>(std::move(state));
}

/// What the fake's pull fetches answer: the requester's or source's id, or nothing.
inline Result<std::optional<QString>> id(std::optional<QString> value) {
    return Result<std::optional<QString>>(std::move(value));
}

/// A coordinator over fakes, an in-memory roster and a virtual clock.
struct CoordinatorRig {
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<DeviceRosterStore> roster = std::make_shared<DeviceRosterStore>(defaults);
    std::shared_ptr<FakeHandoffService> cloud = std::make_shared<FakeHandoffService>(clock);
    std::shared_ptr<FakeMusicService> music = std::make_shared<FakeMusicService>();
    /// Null unless a test sets it: every computer then counts as holding the account's key.
    std::shared_ptr<FakeAccountKeys> accountKeys;
    FakeNearbyDiscovery* nearby = nullptr;
    std::unique_ptr<DeviceHandoffViewModel> coordinator;

    /// The cloud lists `devices` as present and as peers.
    void listPeers(const DeviceList& devices) {
        cloud->fetchDefault = devices;
        cloud->peers = devices;
    }
    /// The account's keys are known, held by whom `holding` says.
    void holdKeys(const KeyHolding& holding) {
        accountKeys = std::make_shared<FakeAccountKeys>();
        accountKeys->holding = holding;
    }

    DeviceHandoffViewModel& make(bool startImmediately = false) {
        DeviceHandoffViewModel::Dependencies deps{
            music,
            cloud,
            roster,
            clock,
            [this](const QString& id, const QString& name, const QString& session) {
                auto made = std::make_unique<FakeNearbyDiscovery>();
                made->deviceID = id;
                made->deviceName = name;
                made->sessionID = session;
                nearby = made.get();
                return made;
            },
            defaults,
            accountKeys};
        coordinator = std::make_unique<DeviceHandoffViewModel>(
            deps, DeviceHandoffViewModel::makeThisDevice(kThisID, "This Mac", clock->now()),
            startImmediately);
        return *coordinator;
    }

    /// Makes the coordinator, started, and lets its first presence pass end.
    DeviceHandoffViewModel& started() {
        make(true);
        finishFirstPass();
        return *coordinator;
    }

    /// Runs until the first presence pass is over.
    void finishFirstPass() {
        clock->runUntil([this] { return !coordinator->isDiscovering(); }, 10s);
    }

    ~CoordinatorRig() {
        coordinator.reset();
        // Let calls still held on the clock finish, so no coroutine frame outlives the test.
        for (int i = 0; i < 1000 && clock->advanceToNextTimer(); ++i) {
        }
        VirtualClock::drainEvents();
    }
};

} // namespace sonavert::test
