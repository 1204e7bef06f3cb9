#pragma once

// Computers of one account with their account keys, on an in-memory cloud and a virtual
// clock; each one's view of the server can be rewritten, as a server in the middle would.

#include "src/account/account_keys.h"
#include "src/clouddb/in_memory_cloud.h"
#include "src/desktop/secret_store.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"
#include "tests/support/rewriting_cloud_database.h"

#include <QTest>

namespace sonavert::test {

inline const QString kAccount = QStringLiteral("https://cloud.example|family");
inline const QString kKitchenID = QStringLiteral("AAAAAAAA-1111-4111-8111-111111111111");
inline const QString kStudyID = QStringLiteral("BBBBBBBB-2222-4222-8222-222222222222");

struct KeysDevice {
    KeysDevice(const std::shared_ptr<clouddb::CloudDatabase>& database,
               std::shared_ptr<VirtualClock> clock, const QString& id, const QString& name,
               std::shared_ptr<InMemorySecretStore> kept = {})
        : secrets(kept ? kept : std::make_shared<InMemorySecretStore>())
        , keys({database, std::make_shared<AccountKeyStore>(secrets), std::move(clock)}, id, name) {
    }

    std::shared_ptr<InMemorySecretStore> secrets;
    AccountKeys keys;
};

/// Two computers of one account; Study's or Kitchen's view of the server may be rewritten.
struct KeysRig {
    KeysRig()
        : clock(std::make_shared<VirtualClock>())
        , cloud(clouddb::InMemoryCloud::create(clock))
        , kitchenLine(
              std::make_shared<RewritingCloudDatabase>(cloud->connect(QStringLiteral("user"))))
        , studyLine(
              std::make_shared<RewritingCloudDatabase>(cloud->connect(QStringLiteral("user"))))
        , kitchen(std::make_unique<KeysDevice>(kitchenLine, clock, kKitchenID,
                                               QStringLiteral("Kitchen")))
        , study(std::make_unique<KeysDevice>(studyLine, clock, kStudyID, QStringLiteral("Study"))) {
    }

    ~KeysRig() {
        kitchen.reset();
        study.reset();
        VirtualClock::drainEvents();
    }

    template <typename T> T run(QCoro::Task<T> task) {
        clock->runUntil([&] { return task.isReady(); }, 300s);
        if (!task.isReady())
            qFatal("task did not finish within the virtual time limit");
        return awaitTask(std::move(task));
    }
    bool runUntil(const std::function<bool()>& condition, Duration limit = 60s) {
        clock->runUntil(condition, limit);
        return condition();
    }
    /// Kitchen holds the key, Study waits for it.
    void start() {
        kitchen->keys.setAccount(kAccount);
        runUntil([&] { return kitchen->keys.state() == AccountKeys::State::Verified; });
        study->keys.setAccount(kAccount);
        runUntil([&] { return study->keys.state() == AccountKeys::State::Unverified; });
    }
    std::optional<clouddb::CloudRecord> verificationOf(const QString& id) const {
        return cloud->record(QStringLiteral("user"), AccountKeys::kZone,
                             QStringLiteral("verification-") + id);
    }

    std::shared_ptr<VirtualClock> clock;
    std::shared_ptr<clouddb::InMemoryCloud> cloud;
    std::shared_ptr<RewritingCloudDatabase> kitchenLine;
    std::shared_ptr<RewritingCloudDatabase> studyLine;
    std::unique_ptr<KeysDevice> kitchen;
    std::unique_ptr<KeysDevice> study;
};

} // namespace sonavert::test
