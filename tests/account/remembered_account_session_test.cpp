// The device's sign-in against a real sonavert-cloud in this process: a claimed code is kept
// across runs and forgotten when the server revokes the token; every way a sign-in fails has
// its own plain text and leaves nothing behind; the first-run call against a double of the
// server's loopback-only call.
#include "server/http/self_made_identity.h"
#include "src/account/pairing_link.h"
#include "src/account/remembered_account_session.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/desktop/secret_store.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/virtual_clock.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/await_task.h"
#include "tests/support/local_http_feed.h"

#include <QtTest>

using namespace sonavert;
using sonavert::cloud::testing::CloudTestClient;
using sonavert::cloud::testing::TestCloudServer;
using test::awaitTask;
using State = AccountSession::State;
using namespace Qt::StringLiterals;

class RememberedAccountSessionTest : public QObject {
    Q_OBJECT

private:
    // Declared first, destroyed last: the server schedules on it.
    std::shared_ptr<VirtualClock> m_clock;
    std::unique_ptr<TestCloudServer> m_server;
    QString m_token;
    std::shared_ptr<InMemoryUserDefaults> m_defaults;
    std::shared_ptr<InMemorySecretStore> m_secrets;

    std::unique_ptr<RememberedAccountSession> newSession() {
        return std::make_unique<RememberedAccountSession>(m_defaults, m_secrets, u"Study"_s);
    }
    /// The inviting computer, on a token given for this run: nothing of it is kept.
    static std::unique_ptr<RememberedAccountSession> kitchenOn(
        const QUrl& server, const QString& token,
        std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>()) {
        auto kitchen = std::make_unique<RememberedAccountSession>(
            std::move(defaults), std::make_shared<InMemorySecretStore>(), u"Kitchen"_s);
        QCoro::waitFor(kitchen->restore(server, token));
        return kitchen;
    }
    /// A certificate made for the server in `folder`, as the server does for itself.
    Result<cloud::SelfMadeIdentity> identityIn(const QTemporaryDir& folder) const {
        return cloud::loadOrMakeIdentity(folder.filePath(u"tls"_s), u"den"_s,
                                         m_clock->now().toDateTime());
    }
    QByteArray storedToken(const QUrl& server) const {
        return m_secrets->items.value(
            QString::fromLatin1(app_identity::kCloudTokenKeychainService) + QLatin1Char('\n') +
            server.toString());
    }

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_server = std::make_unique<TestCloudServer>(cloud::ServiceOptions{}, m_clock.get());
        QVERIFY(m_server->isRunning());
        m_token = m_server->addAccount(u"alice"_s);
        m_defaults = std::make_shared<InMemoryUserDefaults>();
        m_secrets = std::make_shared<InMemorySecretStore>();
    }
    void cleanup() { m_server.reset(); }

    void aClaimedCodeIsRememberedUntilTheServerRevokesIt() {
        // The inviting device runs on a token given for this run: nothing of it is kept.
        const auto kitchen = kitchenOn(m_server->url(), m_token);
        const auto invitation = awaitTask(kitchen->invite());
        QVERIFY(invitation);
        QCOMPARE(invitation.value().expires, m_clock->now().toDateTime().addSecs(600));
        const auto link = parsePairingLink(invitation.value().link);
        QVERIFY(link && link->code == invitation.value().code && link->server == m_server->url());

        auto study = newSession();
        QCoro::waitFor(study->restore(m_server->url(), std::nullopt));
        QCOMPARE(study->state(), State::SignedOut);
        QVERIFY(awaitTask(study->signIn(m_server->url(), invitation.value().code, {})));
        QCOMPARE(study->state(), State::SignedIn);
        QCOMPARE(study->account()->accountName, u"alice"_s);
        QCOMPARE(study->account()->deviceName, u"Study"_s);

        // The next run finds it without being told where: the address given is only a fallback.
        auto nextRun = newSession();
        QCoro::waitFor(nextRun->restore(QUrl(u"http://192.0.2.1:8470"_s), std::nullopt));
        QCOMPARE(nextRun->state(), State::SignedIn);
        QCOMPARE(nextRun->account()->server, m_server->url());
        clouddb::HttpCloudDatabase http(nextRun->endpoints(), m_clock);
        clouddb::CloudDatabase& database = http;
        QCOMPARE(awaitTask(database.accountStatus()).value(), clouddb::AccountStatus::Available);

        QVERIFY(m_server->server().service().accounts().revokeDevice(u"alice"_s, u"Study"_s));
        QVERIFY(!awaitTask(database.accountStatus()));
        QCOMPARE(nextRun->state(), State::SignedOut);
        QVERIFY2(nextRun->lastError().contains(u"removed"_s), qPrintable(nextRun->lastError()));
        QVERIFY(!m_defaults->contains(RememberedAccountSession::kServerKey));
        QVERIFY(storedToken(m_server->url()).isEmpty());
        // Signed out, the database answers without asking the server.
        QCOMPARE(awaitTask(database.accountStatus()).value(), clouddb::AccountStatus::NoAccount);
        QVERIFY(!awaitTask(nextRun->invite()));
    }

    // A server with a certificate it made: the inviting computer trusts it by its key, the
    // invitation's link carries that key, and the invited one trusts it by that key across
    // runs. A key that differs (another server on the address) sends nothing and says so; a
    // code typed with no key meets the certificate's plain refusal.
    void aServerOfItsOwnCertificateIsTrustedByTheInvitationsKey() {
        QTemporaryDir folder;
        const auto identity = identityIn(folder);
        QVERIFY(identity.ok());
        cloud::ServerConfig config;
        config.transport.tls = identity.value().configuration;
        TestCloudServer server(config, m_clock.get());
        QVERIFY(server.isRunning());
        QCOMPARE(server.url().scheme(), u"https"_s);
        const QByteArray key = identity.value().keyFingerprint;

        auto kitchenDefaults = std::make_shared<InMemoryUserDefaults>();
        kitchenDefaults->setString(RememberedAccountSession::kServerKey, server.url().toString());
        kitchenDefaults->setString(RememberedAccountSession::kServerKeyKey,
                                   QString::fromLatin1(key.toBase64()));
        const auto kitchen = kitchenOn(server.url(), server.addAccount(u"bob"_s), kitchenDefaults);
        const auto invitation = awaitTask(kitchen->invite());
        QVERIFY2(invitation, invitation ? "" : qPrintable(invitation.error().description));
        const auto link = parsePairingLink(invitation.value().link);
        QVERIFY(link);
        QCOMPARE(link->serverKey, key);

        // The code without its check, typed with no key: the certificate is refused as any
        // unknown one, and the code is not spent.
        const QString bareCode = pairing_code::split(link->code)->code;
        auto typed = newSession();
        const auto refused = awaitTask(typed->signIn(server.url(), bareCode, {}));
        QVERIFY(!refused);
        QVERIFY2(refused.error().description.contains(u"is not trusted"_s),
                 qPrintable(refused.error().description));

        // Another key: something else answers on the address.
        QTemporaryDir otherFolder;
        const auto other = identityIn(otherFolder);
        QVERIFY(other.ok());
        const auto impostor =
            awaitTask(typed->signIn(server.url(), bareCode, other.value().keyFingerprint));
        QVERIFY(!impostor);
        QVERIFY2(impostor.error().description.contains(QStringLiteral("not the one the invitation "
                                                                      "named")),
                 qPrintable(impostor.error().description));
        QCOMPARE(typed->state(), State::SignedOut);

        auto study = newSession();
        QVERIFY(awaitTask(study->signIn(link->server, link->code, link->serverKey)));
        QCOMPARE(study->account()->accountName, u"bob"_s);
        QCOMPARE(m_defaults->string(RememberedAccountSession::kServerKeyKey),
                 QString::fromLatin1(key.toBase64()));
        auto nextRun = newSession();
        QCoro::waitFor(nextRun->restore(QUrl(), std::nullopt));
        clouddb::HttpCloudDatabase http(nextRun->endpoints(), m_clock);
        clouddb::CloudDatabase& database = http;
        QCOMPARE(awaitTask(database.accountStatus()).value(), clouddb::AccountStatus::Available);
        QVERIFY(awaitTask(nextRun->signOut()));
        QVERIFY(!m_defaults->contains(RememberedAccountSession::kServerKeyKey));
    }

    // A server for the whole home: this computer on loopback in plain HTTP, the others over
    // TLS with the certificate it made. The invitation made here names the network address
    // and key, and its code commits to the key: typed on another computer with no link, it
    // signs in trusting that key; a mistyped check, or another server on the address, sends
    // nothing and says so.
    void aTypedCodeChecksTheHomeServersKeyBeforeItIsSent() {
        QTemporaryDir folder;
        const auto identity = identityIn(folder);
        QVERIFY(identity.ok());
        const QByteArray key = identity.value().keyFingerprint;
        auto networkUrl = std::make_shared<QUrl>();
        cloud::ServerConfig config;
        config.service.networkEntrance = [networkUrl, key] {
            return std::optional(cloud::NetworkEntrance{*networkUrl, key});
        };
        TestCloudServer home(config, m_clock.get());
        QVERIFY(home.isRunning());
        cloud::HttpTransport network;
        network.tls = identity.value().configuration;
        const auto listening =
            home.server().listenForNetwork(QHostAddress(QHostAddress::LocalHost), 0, network);
        QVERIFY(listening.ok());
        *networkUrl = listening.value();
        QCOMPARE(networkUrl->scheme(), u"https"_s);

        const auto kitchen = kitchenOn(home.url(), home.addAccount(u"bob"_s));
        const auto invitation = awaitTask(kitchen->invite());
        QVERIFY2(invitation, invitation ? "" : qPrintable(invitation.error().description));
        QCOMPARE(invitation.value().server, *networkUrl);
        const auto parts = pairing_code::split(invitation.value().code);
        QVERIFY(parts);
        QCOMPARE(parts->check, pairing_code::checkFor(parts->code, key));
        QCOMPARE(parsePairingLink(invitation.value().link)->serverKey, key);

        // Another server, with a key of its own, where the user typed the address.
        QTemporaryDir otherFolder;
        const auto other = identityIn(otherFolder);
        QVERIFY(other.ok());
        cloud::ServerConfig impostorConfig;
        impostorConfig.transport.tls = other.value().configuration;
        TestCloudServer impostor(impostorConfig, m_clock.get());
        auto typed = newSession();
        const auto refused = awaitTask(typed->signIn(impostor.url(), invitation.value().code, {}));
        QVERIFY(!refused);
        QVERIFY(refused.error().is(AccountSessionErrorCode::ServerKeyMismatch));
        QCOMPARE(typed->lastError(), refused.error().description);
        QCOMPARE(typed->state(), State::SignedOut);

        QString mistyped = invitation.value().code;
        mistyped.back() = mistyped.back() == u'Z' ? u'Y' : u'Z';
        QVERIFY(!awaitTask(typed->signIn(*networkUrl, mistyped, {})));
        QVERIFY(!m_defaults->contains(RememberedAccountSession::kServerKey));

        // Plain HTTP cannot show a key: the check cannot be met, and nothing is sent.
        const auto inClear = awaitTask(typed->signIn(home.url(), invitation.value().code, {}));
        QVERIFY(!inClear);
        QVERIFY(inClear.error().is(AccountSessionErrorCode::NeedsHttps));

        auto study = newSession();
        const auto joined =
            awaitTask(study->signIn(*networkUrl, invitation.value().code.toLower(), {}));
        QVERIFY2(joined, joined ? "" : qPrintable(joined.error().description));
        QCOMPARE(study->account()->accountName, u"bob"_s);
        QCOMPARE(m_defaults->string(RememberedAccountSession::kServerKeyKey),
                 QString::fromLatin1(key.toBase64()));
    }

    // Told so, the device signs in over plain HTTP beyond loopback: it tries, and says why
    // it could not reach the server instead.
    void plainHttpBeyondLoopbackWhenAllowed() {
        auto study = newSession();
        study->setAllowsPlainHttp(true);
        const auto tried =
            awaitTask(study->signIn(QUrl(u"http://0.0.0.0:1"_s), u"KQ7-4FD-92X"_s, {}));
        QVERIFY(!tried);
        QVERIFY2(tried.error().description.contains(u"Cannot reach"_s),
                 qPrintable(tried.error().description));
    }

    void signingOutForgetsAndSigningInAgainTakesTheNextFreeName() {
        const auto kitchen = kitchenOn(m_server->url(), m_token);
        auto study = newSession();
        QVERIFY(awaitTask(
            study->signIn(m_server->url(), awaitTask(kitchen->invite()).value().code, {})));
        QVERIFY(awaitTask(study->signOut()));
        QCOMPARE(study->state(), State::SignedOut);
        QVERIFY(!m_defaults->contains(RememberedAccountSession::kServerKey));
        QVERIFY(storedToken(m_server->url()).isEmpty());
        // The old token still holds the name "Study" on the server.
        QVERIFY(awaitTask(
            study->signIn(m_server->url(), awaitTask(kitchen->invite()).value().code, {})));
        QCOMPARE(study->account()->deviceName, u"Study (2)"_s);
    }

    // The device takes another name on the refusal's reasonCode alone: with the code and other
    // words it claims again under "Study (2)" to "Study (9)"; a server older than the code
    // says the old words, and the device shows its refusal instead of guessing from them.
    void aTakenNameIsToldByItsReasonCodeNotItsWords_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("claims");
        const QByteArray refusal =
            R"({"uuid": "u", "serverErrorCode": "BAD_REQUEST", "ckErrorCode": 12, "reason": )";
        QTest::newRow("reason code")
            << refusal + R"("name in use", "reasonCode": "DEVICE_NAME_TAKEN"})" << 9;
        QTest::newRow("older server")
            << refusal + "\"a device named \\\"Study\\\" is signed in already\"}" << 1;
    }
    void aTakenNameIsToldByItsReasonCodeNotItsWords() {
        QFETCH(QByteArray, answer);
        QFETCH(int, claims);
        test::LocalHttpFeed server;
        server.status = 400;
        server.body = answer;
        auto study = newSession();
        const auto refused = awaitTask(study->signIn(server.url(u"/"_s), u"KQ7-4FD-92X"_s, {}));
        QVERIFY(!refused);
        QCOMPARE(server.requestCount, claims);
        QVERIFY(refused.error().is(AccountSessionErrorCode::CallFailed));
        QVERIFY2(refused.error().description.contains(u" refused: "_s),
                 qPrintable(refused.error().description));
        QCOMPARE(study->state(), State::SignedOut);
    }

    void failedSignInsSayWhyAndKeepNothing_data() {
        QTest::addColumn<QString>("server"); // "ours", "html", "json" (doubles) or an address
        QTest::addColumn<int>("wrongGuessesFirst");
        QTest::addColumn<QString>("text");
        QTest::newRow("wrong code") << "ours" << 0 << "This code is wrong or has expired.";
        QTest::newRow("throttled") << "ours" << 20 << "Try again in 10 minutes.";
        QTest::newRow("unreachable") << "http://127.0.0.1:1" << 0 << "Cannot reach";
        QTest::newRow("web page") << "html" << 0 << "is not a Sonavert server.";
        QTest::newRow("other JSON service") << "json" << 0 << "is not a Sonavert server.";
        QTest::newRow("not an address") << "ftp://example.org" << 0 << "is not a server address";
        // 0.0.0.0 is no loopback address, yet a connection to it stays on this machine.
        QTest::newRow("in clear to another computer")
            << "http://0.0.0.0:1" << 0 << "not encrypted, so nothing was sent";
    }
    void failedSignInsSayWhyAndKeepNothing() {
        QFETCH(QString, server);
        QFETCH(int, wrongGuessesFirst);
        QFETCH(QString, text);
        test::LocalHttpFeed feed;
        feed.status = server == QLatin1String("json") ? 404 : 200;
        feed.body = server == QLatin1String("json") ? R"({"error": "no such page"})" : "<html/>";
        const QUrl address = server == QLatin1String("ours") ? m_server->url()
                             : server.size() == 4            ? feed.url(u"/"_s)
                                                             : QUrl(server);
        CloudTestClient guesser(m_server->url(), QString());
        for (int i = 0; i < wrongGuessesFirst; ++i)
            QCOMPARE(guesser.claimPairingCode(u"WRONG%1"_s.arg(i), "x").status, 403);

        auto study = newSession();
        const auto signedIn = awaitTask(study->signIn(address, u"KQ7-4FD-92X"_s, {}));
        QVERIFY(!signedIn);
        QVERIFY2(signedIn.error().description.contains(text),
                 qPrintable(signedIn.error().description));
        QCOMPARE(study->lastError(), signedIn.error().description);
        QCOMPARE(study->state(), State::SignedOut);
        QVERIFY(!study->endpoints()->current());
        QVERIFY(!m_defaults->contains(RememberedAccountSession::kServerKey));
        QVERIFY(m_secrets->items.isEmpty());
    }

    void theFirstAccountComesFromTheServersFirstRunCall() {
        test::LocalHttpFeed setup;
        setup.body = R"({"token": "first-token", "accountName": "home", "deviceName": "Study"})";
        auto study = newSession();
        QVERIFY(awaitTask(study->createFirstAccount(setup.url(u"/"_s), u"home"_s)));
        QCOMPARE(study->account()->accountName, u"home"_s);
        QCOMPARE(storedToken(setup.url(u"/"_s)), QByteArray("first-token"));

        setup.status = 403;
        setup.body = R"({"serverErrorCode": "ACCESS_DENIED", "reason": "an account exists"})";
        auto another = std::make_unique<RememberedAccountSession>(
            std::make_shared<InMemoryUserDefaults>(), m_secrets, u"Attic"_s);
        const auto refused = awaitTask(another->createFirstAccount(setup.url(u"/"_s), u"home"_s));
        QVERIFY(!refused);
        QVERIFY2(refused.error().description.contains(u"(an account exists)"_s),
                 qPrintable(refused.error().description));
        QVERIFY2(refused.error().description.contains(u"sign in with a code"_s),
                 qPrintable(refused.error().description));
    }
};

QTEST_GUILESS_MAIN(RememberedAccountSessionTest)
#include "remembered_account_session_test.moc"
