// Two devices' cloud services against the real sonavert-cloud in-process on loopback, woken
// only by push notifications: no polling loop runs here. Once over HTTP and WS, once over HTTPS
// and WSS with a self-signed certificate the devices are given as their CA file.

#include "server/http/self_made_identity.h"
#include "server/http/tls_identity.h"
#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/web_socket_push_channel.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/app_identity.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/await_task.h"
#include "tests/support/self_signed_certificate.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace Qt::StringLiterals;

namespace {

/// One device: its service, its push channel, and a pass (fetch, publish, list) run at start
/// and after every notification, one at a time.
class Device : public QObject {
public:
    Device(const QString& id, const QString& name, const CloudEndpoint& endpoint,
           std::shared_ptr<Clock> clock)
        : id(id)
        , name(name)
        , service(std::make_shared<HttpCloudDatabase>(endpoint, clock),
                  std::make_shared<InMemoryUserDefaults>(), clock)
        , channel(endpoint, clock) {
        connect(&channel, &PushChannel::notificationReceived, this, [this] { requestPass(); });
    }

    void start() {
        channel.open();
        m_isPreparing = true;
        QCoro::connect(prepare(), this, [this] {
            m_isPreparing = false;
            requestPass();
        });
    }
    /// No new pass starts, and none is under way: the device may go (a pass still awaiting
    /// the server would resume into a device that is gone).
    bool stopAndSettle() {
        disconnect(&channel, nullptr, this, nullptr);
        m_isStopping = true;
        return QTest::qWaitFor([this] { return !m_isRunning && !m_isPreparing; }, 20000);
    }
    DevicePresence presenceOf(const QString& peerID) const {
        for (const auto& d : listed)
            if (d.id == peerID)
                return d.presence;
        return DevicePresence::Offline;
    }

    const QString id;
    const QString name;
    CloudKitHandoffService service;
    WebSocketPushChannel channel;
    DeviceList listed;
    int passes = 0;

private:
    QCoro::Task<> prepare() {
        (void)co_await service.ensureHandoffSubscription(id);
        (void)co_await service.ensurePullSubscription(id);
    }
    void requestPass() {
        if (m_isStopping)
            return;
        if (m_isRunning) {
            m_isRequested = true;
            return;
        }
        m_isRunning = true;
        QCoro::connect(runPasses(), this, [this] { m_isRunning = false; });
    }
    QCoro::Task<> runPasses() {
        do {
            m_isRequested = false;
            (void)co_await service.fetchPresence(id);
            const auto database = co_await service.ensureAccountAvailable();
            if (database) {
                const PresenceOperation publish = publishOperation();
                (void)co_await service.withPresenceZoneRecovery(database.value(), publish);
            }
            listed = co_await service.peerDevices(id);
            ++passes;
        } while (m_isRequested);
    }

    // A named operation: a lambda converted inside a co_await expression is destroyed twice
    // by g++ 12.
    PresenceOperation publishOperation() {
        auto* svc = &service;
        return [svc, deviceID = id, deviceName = name] {
            return svc->publishPresence(deviceID, deviceName, std::nullopt);
        };
    }

    bool m_isRunning = false;
    bool m_isRequested = false;
    bool m_isPreparing = false;
    bool m_isStopping = false;
};

PlaybackState song() {
    return {u"9"_s, 12.0, u"Title"_s, u"Artist"_s, {}, {}, {}};
}

} // namespace

class CloudServiceServerTest : public QObject {
    Q_OBJECT

public:
    /// Plain HTTP; TLS with a certificate from an authority the devices were given; TLS with
    /// a certificate the server made, which the devices trust by its key alone.
    enum class Transport { Plain, AuthorityFile, PinnedKey };

    explicit CloudServiceServerTest(Transport transport)
        : m_transport(transport) {}

private:
    const Transport m_transport;
    std::optional<test::SelfSignedCertificate> m_certificate;
    QTemporaryDir m_identityFolder;
    std::unique_ptr<cloud::testing::TestCloudServer> m_server;
    std::shared_ptr<SystemClock> m_clock = std::make_shared<SystemClock>();
    std::unique_ptr<Device> m_a, m_b;

private Q_SLOTS:
    void initTestCase() {
        cloud::ServerConfig config;
        CloudEndpoint endpoint;
        if (m_transport == Transport::PinnedKey) {
            qInfo("over TLS, the server's own certificate pinned by its key");
            const auto identity = cloud::loadOrMakeIdentity(m_identityFolder.path(), u"den"_s,
                                                            QDateTime::currentDateTimeUtc());
            QVERIFY(identity.ok());
            config.transport.tls = identity.value().configuration;
            endpoint.trust = CloudTrust().pinning(identity.value().keyFingerprint);
        }
        if (m_transport == Transport::AuthorityFile) {
            qInfo("over TLS");
            m_certificate.emplace();
            if (!m_certificate->isMade())
                QSKIP("the openssl tool could not make a certificate");
            config.transport.tls =
                cloud::loadTlsIdentity(m_certificate->certificateFile(), m_certificate->keyFile())
                    .value();
            endpoint.trust =
                CloudTrust::withAuthorityFile(m_certificate->certificateFile()).value();
        }
        m_server = std::make_unique<cloud::testing::TestCloudServer>(config, nullptr);
        QVERIFY(m_server->isRunning());
        QCOMPARE(m_server->url().scheme(),
                 m_transport == Transport::Plain ? u"http"_s : u"https"_s);
        endpoint.server = m_server->url();
        endpoint.token = m_server->addAccount(u"me"_s);
        endpoint.container = QString::fromLatin1(app_identity::kContainerIdentifier);
        m_a = std::make_unique<Device>(u"AAAAAAAA-0000-4000-8000-00000000000A"_s, u"a"_s, endpoint,
                                       m_clock);
        m_b = std::make_unique<Device>(u"BBBBBBBB-0000-4000-8000-00000000000B"_s, u"b"_s, endpoint,
                                       m_clock);
    }

    void pushWakesCarryTheHandshakeToOnlineOnBothSides() {
        m_a->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->passes >= 1 && m_a->channel.isConnected(), 20000);
        m_b->start();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->presenceOf(m_b->id) == DevicePresence::Online &&
                                     m_b->presenceOf(m_a->id) == DevicePresence::Online,
                                 20000);
    }

    void handoffTravelsAndIsConsumed() {
        QSignalSpy woken(&m_b->channel, &PushChannel::notificationReceived);
        QVERIFY(awaitTaskOk(m_a->service.sendHandoff(song(), m_b->id)));
        QVERIFY(woken.count() > 0 || woken.wait(20000));
        const auto received = test::awaitTask(m_b->service.fetchHandoff(m_b->id));
        QVERIFY(received.ok() && received.value());
        QCOMPARE(received.value()->songTitle, u"Title"_s);
        QCOMPARE(received.value()->playbackTime, 12.0);
        QCOMPARE(test::awaitTask(m_a->service.fetchQueuedPushTargets()), QSet<QString>());
    }

    void pullRequestTravelsAndIsConsumed() {
        QSignalSpy woken(&m_a->channel, &PushChannel::notificationReceived);
        QVERIFY(awaitTaskOk(m_b->service.sendPullRequest(m_a->id, m_b->id)));
        QTRY_VERIFY_WITH_TIMEOUT(
            std::any_of(woken.begin(), woken.end(),
                        [](const QList<QVariant>& args) {
                            return args.first().value<PushNotification>().subscriptionID.startsWith(
                                u"pull-sub-"_s);
                        }),
            20000);
        QCOMPARE(test::awaitTask(m_a->service.fetchPullRequest(m_a->id)).value(),
                 std::optional(m_b->id));
        QCOMPARE(test::awaitTask(m_a->service.fetchPullRequest(m_a->id)).value(), std::nullopt);
    }

    void cleanupTestCase() {
        for (const auto* device : {&m_a, &m_b})
            if (*device)
                QVERIFY((*device)->stopAndSettle());
        m_a.reset();
        m_b.reset();
        m_server.reset();
    }

private:
    static bool awaitTaskOk(QCoro::Task<Status> task) {
        return test::awaitTask(std::move(task)).ok();
    }
};

// The server in this process shares the event loop with the devices. Every case runs over
// plain HTTP and again over TLS.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using Transport = CloudServiceServerTest::Transport;
    int failures = 0;
    for (const Transport transport :
         {Transport::Plain, Transport::AuthorityFile, Transport::PinnedKey}) {
        CloudServiceServerTest test(transport);
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures;
}

#include "cloud_service_server_test.moc"
