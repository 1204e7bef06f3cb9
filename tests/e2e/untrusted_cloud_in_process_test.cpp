// A device whose cloud server shows a certificate it does not trust: it says so once, in words
// that say what to do, and keeps its usual pace meanwhile (a presence pass every 2 s, the push
// channel's reconnections 1 s apart and doubling), never a storm of handshakes.
#include "server/http/tls_identity.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/web_socket_push_channel.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"
#include "tests/e2e/in_process_device.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/self_signed_certificate.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

namespace {

const QString kRefusal = QStringLiteral(
    "the certificate of 127.0.0.1 is not trusted (self-signed); pass --cloud-ca FILE");

} // namespace

class UntrustedCloudTest : public QObject {
    Q_OBJECT

    SelfSignedCertificate m_certificate;

private Q_SLOTS:
    void aRefusedCertificateIsSaidOnceAndRetriedAtTheUsualPace() {
        if (!m_certificate.isMade())
            QSKIP("the openssl tool could not make a certificate");
        cloud::ServerConfig config;
        config.transport.tls =
            cloud::loadTlsIdentity(m_certificate.certificateFile(), m_certificate.keyFile())
                .value();
        cloud::testing::TestCloudServer server(config, nullptr);
        QVERIFY(server.isRunning());
        const quint64 acceptedBefore = server.server().acceptedConnectionCount();

        CapturingLogSink log;
        auto clock = std::make_shared<VirtualClock>();
        InProcessDevice device(QStringLiteral("AAAAAAAA-0000-4000-8000-00000000000A"),
                               QStringLiteral("Kitchen"), clock,
                               clouddb::InMemoryCloud::create(clock), kLibrary);
        clouddb::CloudEndpoint endpoint; // the system's store alone: no --cloud-ca
        endpoint.server = server.url();
        endpoint.token = server.addAccount(QStringLiteral("me"));
        endpoint.container = QString::fromLatin1(app_identity::kContainerIdentifier);
        device.startOn(std::make_shared<clouddb::HttpCloudDatabase>(endpoint, clock),
                       std::make_unique<clouddb::WebSocketPushChannel>(endpoint, clock));

        // Virtual time moves on only once the pass under way has failed over the network, as
        // it would in real time, where a refused handshake takes milliseconds.
        QSignalSpy passes(device.coordinator.get(), &DeviceHandoffViewModel::presencePassCompleted);
        qsizetype counted = 0;
        while (clock->monotonicNow() < 60s) {
            QVERIFY(passes.count() > counted || passes.wait(20000));
            counted = passes.count();
            clock->advance(2s);
        }
        QVERIFY(passes.count() > counted || passes.wait(20000));

        QCOMPARE(log.count(QStringLiteral("event=cloud_certificate_refused server=127.0.0.1 "
                                          "problem=") +
                           kRefusal),
                 1);
        QVERIFY(device.coordinator->syncError());
        QVERIFY2(device.coordinator->syncError()->contains(kRefusal),
                 qPrintable(*device.coordinator->syncError()));
        QVERIFY(!device.channel->isConnected());
        const auto handshakes =
            static_cast<qsizetype>(server.server().acceptedConnectionCount() - acceptedBefore);
        qInfo("%lld presence passes and %lld handshakes in a virtual minute", passes.count(),
              handshakes);
        // No more than a device whose server answers: four calls a pass, and the push channel's
        // attempts at 0, 1, 3, 7, 15, 31 (and 63) s.
        QVERIFY(handshakes >= passes.count());
        QVERIFY2(handshakes <= 4 * passes.count() + 7, qPrintable(QString::number(handshakes)));
        device.stop();
    }
};

QTEST_GUILESS_MAIN(UntrustedCloudTest)
#include "untrusted_cloud_in_process_test.moc"
