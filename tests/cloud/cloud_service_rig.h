#pragma once

#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/clouddb/in_memory_cloud.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/log_channel.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"

#include <QTest>

namespace sonavert::test {

inline const QString kDeviceA = "AAAAAAAA-1111-4111-8111-111111111111";
inline const QString kDeviceB = "BBBBBBBB-2222-4222-8222-222222222222";
inline const QString kDeviceC = "CCCCCCCC-3333-4333-8333-333333333333";

/// One device's cloud service over a shared in-memory cloud, on a virtual clock.
struct ServiceRig {
    explicit ServiceRig(std::shared_ptr<clouddb::InMemoryCloud> sharedCloud = {},
                        std::shared_ptr<VirtualClock> sharedClock = {})
        : clock(sharedClock ? sharedClock : std::make_shared<VirtualClock>())
        , cloud(sharedCloud ? sharedCloud : clouddb::InMemoryCloud::create(clock))
        , database(cloud->connect("user"))
        , service(std::make_unique<CloudKitHandoffService>(database, defaults, clock)) {}

    ~ServiceRig() {
        service.reset();
        VirtualClock::drainEvents();
    }

    /// Drives the clock until the task is done (at most `limit` of virtual time).
    template <typename T> T run(QCoro::Task<T> task, Duration limit = 120s) {
        clock->runUntil([&] { return task.isReady(); }, limit);
        if (!task.isReady())
            qFatal("task did not finish within the virtual time limit");
        return awaitTask(std::move(task));
    }
    void run(QCoro::Task<> task, Duration limit = 120s) {
        clock->runUntil([&] { return task.isReady(); }, limit);
        if (!task.isReady())
            qFatal("task did not finish within the virtual time limit");
    }

    /// Publishes as the coordinator does: account check, then inside the zone recovery.
    Status publish(const QString& deviceID, const QString& name,
                   std::optional<PlaybackState> nowPlaying = std::nullopt) {
        auto database = run(service->ensureAccountAvailable());
        if (!database)
            return database.error();
        auto* svc = service.get();
        return run(
            service->withPresenceZoneRecovery(database.value(), [svc, deviceID, name, nowPlaying] {
                return svc->publishPresence(deviceID, name, nowPlaying);
            }));
    }

    /// The record as the cloud holds it for this account.
    std::optional<clouddb::CloudRecord> stored(const QString& zone, const QString& name) const {
        return cloud->record("user", zone, name);
    }
    /// Writes records straight into the cloud, as another device would.
    bool save(const QString& zone, const QList<clouddb::CloudRecord>& records) {
        QList<clouddb::RecordSave> saves;
        for (const auto& record : records)
            saves << clouddb::RecordSave{record, {}};
        return run(database->modifyRecords(zone, saves, {}, clouddb::SavePolicy::AllKeys, {}))
            .overall.ok();
    }
    /// Makes the next `operation` request fail with `code`.
    void failNext(const QString& operation, clouddb::CloudErrorCode code) {
        database->addFault(operation,
                           {clouddb::RequestFault::Kind::Fail, clouddb::cloudError(code), {}});
    }

    std::shared_ptr<VirtualClock> clock;
    std::shared_ptr<clouddb::InMemoryCloud> cloud;
    std::shared_ptr<clouddb::InMemoryCloudDatabase> database;
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::unique_ptr<CloudKitHandoffService> service;
};

} // namespace sonavert::test
