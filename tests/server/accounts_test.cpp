// Authentication (and the cache of tokens that authenticated), tokens kept only as hashes, the
// account's identity, isolation between accounts, and the administration commands.
#include "server/service/token_cache.h"
#include "tests/server/server_test_case.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class AccountsTest : public ServerTestCase {
    Q_OBJECT

private Q_SLOTS:
    void init() { startWithoutAccounts({}, true); }

    void callsWithoutAValidTokenAreUnauthenticated() {
        m_server->addAccount("alice");
        for (const QString& token : {QString(), u"made-up-token"_s}) {
            CloudTestClient client(m_server->url(), token);
            const auto reply = client.call("account/status", {});
            QCOMPARE(reply.refusal(), u"401 AUTHENTICATION_REQUIRED"_s);
            QCOMPARE(reply.body.value("ckErrorCode").toInt(), 9);
            QCOMPARE(client.modifyRecords({wire::replace("r", "Peer", {})}).status, 401);
        }
    }

    // Not naming the account, and differing between accounts, is checked by the server's
    // conformance suite; here: the wire form, and one name for every token of an account.
    void accountStatusAndUserRecordName() {
        const QString token = m_server->addAccount("alice");
        CloudTestClient client(m_server->url(), token);
        QCOMPARE(client.call("account/status", {}).body, (QJsonObject{{"status", "available"}}));
        const QString name =
            client.call("users/current", {}).body.value("userRecordName").toString();
        QVERIFY(!name.isEmpty());
        QVERIFY(!name.contains(token));
        auto second = m_server->server().service().accounts().issueToken("alice");
        QVERIFY(second.ok());
        CloudTestClient otherDevice(m_server->url(), second.value().token);
        QCOMPARE(otherDevice.call("users/current", {}).body.value("userRecordName").toString(),
                 name);
    }

    void revokedTokensStopWorkingAndOthersKeepWorking() {
        const QString first = m_server->addAccount("alice");
        auto& accounts = m_server->server().service().accounts();
        const QString second = accounts.issueToken("alice").value().token;
        // Used before, so the server has its account at hand.
        QCOMPARE(CloudTestClient(m_server->url(), first).call("account/status", {}).status, 200);
        QVERIFY(accounts.revokeToken("alice", first).ok());
        QCOMPARE(CloudTestClient(m_server->url(), first).call("account/status", {}).status, 401);
        QCOMPARE(CloudTestClient(m_server->url(), second).call("account/status", {}).status, 200);
        QVERIFY(!accounts.revokeToken("alice", first).ok());
        const QString bobs = m_server->addAccount("bob");
        QVERIFY(!accounts.revokeToken("alice", bobs).ok());
        QCOMPARE(CloudTestClient(m_server->url(), bobs).call("account/status", {}).status, 200);
    }

    void tokensAreStoredOnlyAsHashes() {
        if (m_server->isPostgres())
            QSKIP("inspects the SQLite file");
        const QString token = m_server->addAccount("alice");
        const QString second =
            m_server->server().service().accounts().issueToken("alice").value().token;
        const QByteArray digest =
            QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex();
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "inspect");
            db.setDatabaseName(m_server->databaseFile());
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec("SELECT token_hash FROM account_tokens"));
            QStringList stored;
            while (query.next())
                stored.append(query.value(0).toString());
            QCOMPARE(stored.size(), 2);
            QVERIFY(stored.contains(QString::fromLatin1(digest)));
        }
        QSqlDatabase::removeDatabase("inspect");
        // Nowhere in the database files, write-ahead log included, is a token in clear.
        for (const QString& suffix : {QString(), u"-wal"_s}) {
            QFile file(m_server->databaseFile() + suffix);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = file.readAll();
            QVERIFY(!bytes.contains(token.toUtf8()));
            QVERIFY(!bytes.contains(second.toUtf8()));
        }
    }

    void accountsCannotSeeEachOthersData() {
        CloudTestClient alice(m_server->url(), m_server->addAccount("alice"));
        CloudTestClient bob(m_server->url(), m_server->addAccount("bob"));
        alice.modifyZones("create", {"shared-name"});
        alice.modifyRecords({wire::replace("secret", "Peer", {{"a", wire::intField(1)}})},
                            "shared-name");
        alice.modifyRecords({wire::replace("secret", "Peer", {{"a", wire::intField(1)}})});

        // The zone does not exist for bob, alice's token means nothing in his default zone, and
        // his delete leaves her record. Reading, listing and writing records, subscriptions and
        // push channels are isolated in the conformance suite.
        QCOMPARE(bob.lookup({"secret"}, {}, "shared-name").errorCode(), u"ZONE_NOT_FOUND"_s);
        const QString aliceToken =
            alice.changes("_defaultZone").item("zones", 0).value("syncToken").toString();
        QCOMPARE(errorOf(bob.changes("_defaultZone", aliceToken).item("zones", 0)),
                 u"CHANGE_TOKEN_EXPIRED"_s);
        bob.modifyRecords({wire::deletion("secret")});
        QCOMPARE(alice.lookup({"secret"}).item("records", 0).value("recordName").toString(),
                 u"secret"_s);
    }

    void commandLineManagesAccountsAndZones() {
        QCOMPARE(runCommand({"account", "add", "erin"}), 0);
        QCOMPARE(runCommand({"account", "add", "erin"}), 1);
        QCOMPARE(runCommand({"token", "issue", "--account", "nobody"}), 1);
        auto issued = m_server->server().service().accounts().issueToken("erin");
        QVERIFY2(issued.ok(), qPrintable(issued.ok() ? QString() : issued.error().description));
        const QString token = issued.value().token;
        CloudTestClient erin(m_server->url(), token, "iCloud.test.container");
        erin.modifyZones("create", {"presence"});
        QCOMPARE(runCommand({"zone", "delete", "--account", "erin", "--zone", "presence",
                             "--container", "iCloud.test.container", "--by-user"}),
                 0);
        QCOMPARE(errorOf(erin.changes("presence").item("zones", 0)), u"USER_DELETED_ZONE"_s);
        QCOMPARE(runCommand({"token", "revoke", "--account", "erin", "--token", token}), 0);
        // Another process revoked it: the server reads that within its half-second sweep, with
        // no push channel open that would need it.
        m_clock->advance(600ms);
        QCOMPARE(erin.call("account/status", {}).status, 401);
    }

    void theTokenCacheNeverOutlivesARevocation() {
        using sonavert::cloud::AccountInfo;
        using sonavert::cloud::TokenCache;
        sonavert::VirtualClock clock;
        TokenCache cache(clock, {.capacity = 2, .lifetime = 60s});
        const AccountInfo alice{1, u"alice"_s, u"_a"_s};
        // An answer read from the storage while the token was being revoked is not kept.
        const auto before = cache.generation();
        cache.forget(u"hash-a"_s);
        cache.remember(u"hash-a"_s, alice, before);
        QVERIFY(!cache.find(u"hash-a"_s));
        cache.remember(u"hash-a"_s, alice, cache.generation());
        QCOMPARE(cache.find(u"hash-a"_s).value_or(AccountInfo{}).name, u"alice"_s);
        // Believed for its lifetime at most, in case revocations cannot be read.
        clock.advance(60s);
        QVERIFY(!cache.find(u"hash-a"_s));
        // Bounded: one more than it holds makes room by dropping another.
        for (const auto* hash : {"h1", "h2", "h3"})
            cache.remember(QString::fromLatin1(hash), alice, cache.generation());
        QCOMPARE(cache.size(), 2);
        QVERIFY(cache.find(u"h3"_s));
    }
};

QTEST_GUILESS_MAIN(AccountsTest)
#include "accounts_test.moc"
