// The server over TLS: an identity that cannot serve is refused naming its file; the handshake
// is timed like a header, plain HTTP is turned away, and the limits hold for decrypted bytes.
#include "server/http/tls_identity.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"
#include "tests/support/self_signed_certificate.h"

#include <QtTest>

using namespace sonavert::cloud::testing;
using sonavert::cloud::ServerConfig;
using namespace std::chrono_literals;

class TlsTest : public ServerTestCase {
    Q_OBJECT

private:
    sonavert::test::SelfSignedCertificate m_certificate;
    sonavert::test::SelfSignedCertificate m_otherCertificate;

    void start(bool isOnVirtualTime = false) {
        ServerConfig config;
        config.transport.tls = sonavert::cloud::loadTlsIdentity(m_certificate.certificateFile(),
                                                                m_certificate.keyFile())
                                   .value();
        CHECKED(ServerTestCase::start(config, isOnVirtualTime));
        QCOMPARE(m_server->url().scheme(), QStringLiteral("https"));
    }
    // Connections the server still holds: one it dropped must not count against its address.
    int heldConnections() { return m_server->server().connectionCount(); }
    int tlsCallStatus() {
        RawConnection client(m_server->url(), {}, m_certificate.trustingClient());
        client.send(RawConnection::databaseCall(m_token, "users/current"));
        return client.awaitStatus();
    }

private Q_SLOTS:
    void initTestCase() {
        if (!m_certificate.isMade() || !m_otherCertificate.isMade())
            QSKIP("the openssl tool could not make a certificate");
    }

    void anIdentityThatCannotServeStopsTheStartNamingItsFile_data() {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("named");
        const QString missing = m_certificate.certificateFile() + QStringLiteral(".missing");
        QTest::newRow("missing certificate") << missing << m_certificate.keyFile() << missing;
        QTest::newRow("a key given as the certificate")
            << m_certificate.keyFile() << m_certificate.keyFile() << m_certificate.keyFile();
        QTest::newRow("a certificate given as the key")
            << m_certificate.certificateFile() << m_certificate.certificateFile()
            << m_certificate.certificateFile();
        QTest::newRow("another certificate's key")
            << m_certificate.certificateFile() << m_otherCertificate.keyFile()
            << m_otherCertificate.keyFile();
    }

    void anIdentityThatCannotServeStopsTheStartNamingItsFile() {
        QFETCH(QString, certificate);
        QFETCH(QString, key);
        QFETCH(QString, named);
        const auto identity = sonavert::cloud::loadTlsIdentity(certificate, key);
        QVERIFY(!identity);
        QVERIFY2(identity.error().description.contains(named),
                 qPrintable(identity.error().description));
    }

    void plainHttpIsTurnedAwayAndOthersServed() {
        CHECKED(start());
        RawConnection plain(m_server->url());
        plain.send(RawConnection::databaseCall(m_token, "users/current"));
        QVERIFY(plain.waitForClose());
        QVERIFY2(!plain.received().startsWith("HTTP/"), plain.received().constData());
        QTRY_COMPARE(heldConnections(), 0);
        QCOMPARE(tlsCallStatus(), 200);
    }

    void stalledHandshakeClosesAtTheHeaderTimeout_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("says nothing") << QByteArray();
        // A TLS record header announcing a hello that never comes.
        QTest::newRow("half a hello") << QByteArray("\x16\x03\x01\x02\x00\x01\x00", 7);
    }

    void stalledHandshakeClosesAtTheHeaderTimeout() {
        QFETCH(QByteArray, sent);
        CHECKED(start(true));
        RawConnection client(m_server->url());
        QVERIFY(client.isConnected());
        if (!sent.isEmpty())
            client.send(sent);
        m_clock->advance(ServerConfig().http.headerTimeout - 600ms);
        QVERIFY(client.isConnected());
        m_clock->advance(1s);
        QVERIFY(client.waitForClose());
        QTRY_COMPARE(heldConnections(), 0);
    }

    void limitsHoldForDecryptedBytes() {
        CHECKED(start());
        RawConnection oversized(m_server->url(), {}, m_certificate.trustingClient());
        oversized.send(RawConnection::databaseCall(
            m_token, "users/current", "X-Big: " + QByteArray(40 * 1024, 'a') + "\r\n"));
        QCOMPARE(oversized.awaitStatus(), 431);

        // Records keep coming for an endless header: cut off early, not buffered.
        const qint64 before = residentBytes();
        RawConnection flood(m_server->url(), {}, m_certificate.trustingClient());
        QVERIFY(flood.isCutOffWhileFlooding(
            "POST /database HTTP/1.1\r\nX-Endless: ", QByteArray(16 * 1024, 'a'), 16 * kMiB));
        QCOMPARE(flood.awaitStatus(), 431);
        QVERIFY(grewLessThan(before, 32 * kMiB));
        QCOMPARE(tlsCallStatus(), 200);
    }
};

QTEST_GUILESS_MAIN(TlsTest)
#include "tls_test.moc"
