// Two sonavert-cloud instances over one PostgreSQL database: a notification stored through
// either reaches the push channels held by both, once and in order, also across a restart of
// the PostgreSQL server.
#include "tests/server/push_test_client.h"
#include "tests/server/server_test_case.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using sonavert::cloud::ServerConfig;
using namespace Qt::StringLiterals;

namespace {
constexpr auto kListenerCheck = std::chrono::seconds(10);
} // namespace

// Skips the calling test where the PostgreSQL server cannot be restarted from here.
#define REQUIRE_PG_RESTART()                                                                       \
    if (qEnvironmentVariableIsEmpty("SONAVERT_CLOUD_TEST_PG_RESTART"))                             \
    QSKIP("SONAVERT_CLOUD_TEST_PG_RESTART does not say how to restart PostgreSQL "                 \
          "(scripts/test-cloud-postgres.sh sets it)")

class FanOutTest : public ServerTestCase {
    Q_OBJECT

    // A second instance over the first one's database, which the first drops: goes before it.
    std::unique_ptr<TestCloudServer> m_second;
    std::unique_ptr<CloudTestClient> m_viaSecond;

    void start(sonavert::cloud::ServiceOptions options = {}) {
        ServerConfig config;
        config.service = options;
        CHECKED(ServerTestCase::start(config, true));
        m_second = std::make_unique<TestCloudServer>(options, m_clock.get(), m_server.get());
        QVERIFY(m_second->isRunning());
        m_viaSecond = std::make_unique<CloudTestClient>(m_second->url(), m_token);
        QCOMPARE(
            m_client->modifySubscriptions("create", wire::subscription("handoffs", "Handoff", {}))
                .status,
            200);
    }
    static void save(CloudTestClient& client, const QString& name) {
        QCOMPARE(client.modifyRecords({wire::replace(name, "Handoff", {})}).status, 200);
    }
    void saveDirectly(TestCloudServer& instance, const QString& name) {
        auto& service = instance.server().service();
        const auto account = service.accounts().authenticate(m_token);
        QVERIFY(account.ok());
        const auto scope = sonavert::cloud::CloudService::scopeFor(
            account.value(), "iCloud.test.container", "production");
        const auto saved =
            service.call(account.value(), scope.value(), "records/modify",
                         {{"operations", QJsonArray{wire::replace(name, "Handoff", {})}}});
        QVERIFY(saved.ok());
    }
    static void expect(PushTestClient& device, int id, const QString& recordName) {
        const QJsonObject message = device.next();
        QCOMPARE(message.value("id").toInt(), id);
        QCOMPARE(message.value("recordName").toString(), recordName);
    }
    static void restartPostgres() {
        QVERIFY(runPostgresControl(qEnvironmentVariable("SONAVERT_CLOUD_TEST_PG_RESTART")));
    }
    /// Lets the instances find out that their listening connections are gone.
    void runListenerChecks() { m_clock->advance(kListenerCheck); }

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("SONAVERT_CLOUD_TEST_POSTGRES"))
            QSKIP("several instances need a shared PostgreSQL: set SONAVERT_CLOUD_TEST_POSTGRES "
                  "or run scripts/test-cloud-postgres.sh");
    }

    void cleanup() {
        m_viaSecond.reset();
        m_second.reset();
        ServerTestCase::cleanup();
    }

    void aSaveThroughOneInstanceReachesChannelsHeldByTheOther() {
        CHECKED(start());
        PushTestClient onSecond(m_second->url());
        QCOMPARE(onSecond.open(m_token).value("ready").toBool(), true);
        CHECKED(save(*m_client, "h1"));
        CHECKED(expect(onSecond, 1, "h1"));
        // Its own save reaches it too, and the first one does not come again.
        CHECKED(save(*m_viaSecond, "h2"));
        CHECKED(expect(onSecond, 2, "h2"));
    }

    void interleavedSavesReachEveryChannelOnceInIdOrder() {
        CHECKED(start());
        PushTestClient onFirst(m_server->url());
        PushTestClient onSecond(m_second->url());
        onFirst.open(m_token);
        onSecond.open(m_token);
        // Saved back to back, without the event loop in between: each instance stores its own
        // notification before it has heard the other's announcement of the one before.
        for (int i = 1; i <= 6; i += 2) {
            CHECKED(saveDirectly(*m_server, u"h%1"_s.arg(i)));
            CHECKED(saveDirectly(*m_second, u"h%1"_s.arg(i + 1)));
        }
        for (PushTestClient* device : {&onFirst, &onSecond}) {
            for (int i = 1; i <= 6; ++i)
                CHECKED(expect(*device, i, u"h%1"_s.arg(i)));
        }
    }

    void aChannelJoiningLaterGetsOnlyWhatFollowsItsGreeting() {
        CHECKED(start());
        PushTestClient early(m_second->url());
        early.open(m_token);
        CHECKED(save(*m_client, "h1"));
        CHECKED(expect(early, 1, "h1"));
        PushTestClient late(m_second->url());
        QCOMPARE(late.open(m_token).value("last").toInt(), 1);
        CHECKED(save(*m_client, "h2"));
        CHECKED(expect(late, 2, "h2"));
        CHECKED(expect(early, 2, "h2"));
    }

    void notificationsFlowBothWaysAfterPostgresRestarts() {
        REQUIRE_PG_RESTART();
        CHECKED(start());
        PushTestClient onFirst(m_server->url());
        PushTestClient onSecond(m_second->url());
        onFirst.open(m_token);
        onSecond.open(m_token);
        CHECKED(restartPostgres());
        runListenerChecks();
        CHECKED(save(*m_viaSecond, "from-second"));
        CHECKED(expect(onFirst, 1, "from-second"));
        CHECKED(expect(onSecond, 1, "from-second"));
        CHECKED(save(*m_client, "from-first"));
        CHECKED(expect(onSecond, 2, "from-first"));
        CHECKED(expect(onFirst, 2, "from-first"));
    }

    void aNotificationStoredWhileListeningWasDownArrivesOnceAfterRenewal() {
        REQUIRE_PG_RESTART();
        CHECKED(start());
        PushTestClient onSecond(m_second->url());
        onSecond.open(m_token);
        CHECKED(restartPostgres());
        // The second instance's listening connection is dead and nobody has noticed: the save
        // is stored and announced, but it hears nothing.
        CHECKED(save(*m_client, "while-down"));
        runListenerChecks();
        CHECKED(expect(onSecond, 1, "while-down"));
        // Renewed: the announcement of the next one is heard, and the caught-up one not again.
        CHECKED(save(*m_client, "after"));
        CHECKED(expect(onSecond, 2, "after"));
    }

    void aChannelThatMissedMoreThanIsKeptIsToldToReset() {
        REQUIRE_PG_RESTART();
        sonavert::cloud::ServiceOptions options;
        options.notificationsKept = 2;
        CHECKED(start(options));
        PushTestClient onSecond(m_second->url());
        onSecond.open(m_token);
        CHECKED(restartPostgres());
        for (const char* name : {"h1", "h2", "h3"})
            CHECKED(save(*m_client, name));
        runListenerChecks();
        QCOMPARE(onSecond.next(), (QJsonObject{{"reset", true}}));
        CHECKED(save(*m_client, "h4"));
        CHECKED(expect(onSecond, 4, "h4"));
    }
};

QTEST_GUILESS_MAIN(FanOutTest)
#include "fanout_test.moc"
