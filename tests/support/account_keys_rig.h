#pragma once

// Computers of one account with their account keys, on an in-memory cloud and a virtual
// clock; each one's view of the server can be rewritten, as a server in the middle would.

#include "src/account/account_keys.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/in_memory_cloud.h"
#include "src/desktop/secret_store.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/virtual_clock.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/await_task.h"
#include "tests/support/rewriting_cloud_database.h"

#include <QCoreApplication>
#include <QTest>
#include <algorithm>

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

/// Two computers of one account; Study's or Kitchen's view of the server may be rewritten. On
/// an in-memory cloud, or on a real sonavert-cloud (on the rig's virtual clock, each computer
/// with a token of its own, claimed with a pairing code): there the rig moves the clock on
/// only while no call is waiting for the network.
struct KeysRig {
    enum class Backend { InMemory, Server };

    explicit KeysRig(Backend backend = Backend::InMemory)
        : clock(std::make_shared<VirtualClock>()) {
        if (backend == Backend::Server) {
            server = std::make_unique<cloud::testing::TestCloudServer>(cloud::ServiceOptions{},
                                                                       clock.get());
            firstToken = server->addAccount(QStringLiteral("family"));
        } else {
            cloud = clouddb::InMemoryCloud::create(clock);
        }
        kitchenLine = newLine(QStringLiteral("Kitchen"));
        studyLine = newLine(QStringLiteral("Study"));
        kitchen =
            std::make_unique<KeysDevice>(kitchenLine, clock, kKitchenID, QStringLiteral("Kitchen"));
        study = std::make_unique<KeysDevice>(studyLine, clock, kStudyID, QStringLiteral("Study"));
    }

    ~KeysRig() {
        kitchen.reset();
        study.reset();
        VirtualClock::drainEvents();
    }

    /// A connection of the account's own: on the server, the first one uses the account's
    /// first token and every other one a token claimed with a code made with it.
    std::shared_ptr<RewritingCloudDatabase> newLine(const QString& deviceName) {
        std::shared_ptr<clouddb::CloudDatabase> inner;
        if (server) {
            clouddb::CloudEndpoint endpoint;
            endpoint.server = server->url();
            endpoint.container = QString::fromLatin1(app_identity::kContainerIdentifier);
            endpoint.token = lines.isEmpty() ? firstToken : claimToken(firstToken, deviceName);
            tokens.append(endpoint.token);
            inner = std::make_shared<clouddb::HttpCloudDatabase>(endpoint, clock);
        } else {
            inner = cloud->connect(QStringLiteral("user"));
        }
        auto line = std::make_shared<RewritingCloudDatabase>(inner);
        lines.append(line);
        return line;
    }
    /// A token for `deviceName` claimed with a code that `parentToken` made.
    QString claimToken(const QString& parentToken, const QString& deviceName) {
        cloud::testing::CloudTestClient parent(server->url(), parentToken);
        const QString code =
            parent.call(QStringLiteral("pairing/create"), {}).body.value(u"code").toString();
        cloud::testing::CloudTestClient anyone(server->url(), QString());
        return anyone.claimPairingCode(code, deviceName).body.value(u"token").toString();
    }

    template <typename T> T run(QCoro::Task<T> task) {
        runUntil([&] { return task.isReady(); }, 300s);
        if (!task.isReady())
            qFatal("task did not finish within the virtual time limit");
        return awaitTask(std::move(task));
    }
    bool runUntil(const std::function<bool()>& condition, Duration limit = 60s) {
        if (!server) {
            clock->runUntil(condition, limit);
            return condition();
        }
        return runUntilServerAnswers(*clock, condition, limit, [&] {
            return std::any_of(lines.begin(), lines.end(),
                               [](const auto& line) { return line->callsUnderWay() > 0; });
        });
    }
    /// Kitchen holds the key, Study waits for it with its verification open.
    void start() {
        kitchen->keys.setAccount(kAccount);
        runUntil([&] { return kitchen->keys.state() == AccountKeys::State::Verified; });
        study->keys.setAccount(kAccount);
        runUntil([&] { return study->keys.state() == AccountKeys::State::Unverified; });
        study->keys.openVerification();
    }
    std::optional<clouddb::CloudRecord> recordNamed(const QString& name) {
        Result<QList<Result<clouddb::CloudRecord>>> fetched =
            run(lines.first()->fetchRecords(AccountKeys::kZone, {name}, std::nullopt, {}));
        if (!fetched || fetched.value().isEmpty() || !fetched.value().first())
            return std::nullopt;
        return fetched.value().first().value();
    }
    std::optional<clouddb::CloudRecord> verificationOf(const QString& id) {
        return recordNamed(QStringLiteral("verification-") + id);
    }

    std::shared_ptr<VirtualClock> clock;
    std::unique_ptr<cloud::testing::TestCloudServer> server;
    QString firstToken;
    QStringList tokens; ///< each line's, in the order made
    std::shared_ptr<clouddb::InMemoryCloud> cloud;
    QList<std::shared_ptr<RewritingCloudDatabase>> lines;
    std::shared_ptr<RewritingCloudDatabase> kitchenLine;
    std::shared_ptr<RewritingCloudDatabase> studyLine;
    std::unique_ptr<KeysDevice> kitchen;
    std::unique_ptr<KeysDevice> study;
};

} // namespace sonavert::test
