// Pairing codes: a signed-in device asks for one, a new device exchanges it for a token of its
// own. Single use, ten minutes, per account, kept only under the server's secret, wrong guesses
// throttled per address (an IPv6 network as one), nothing told to a caller without a valid
// code, and every token a code minted revoked with the token that asked for the code.
#include "tests/server/server_test_case.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QtTest>

using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class PairingTest : public ServerTestCase {
    Q_OBJECT

private:
    std::unique_ptr<CloudTestClient> m_stranger;

    QString newCode(CloudTestClient& client) {
        const auto reply = client.call("pairing/create", {});
        if (reply.status != 200)
            return {};
        return reply.body.value("code").toString();
    }
    static QJsonObject withoutUuid(QJsonObject body) {
        body.remove("uuid");
        return body;
    }
    /// A claim made straight to a service, as if from `address`, without an HTTP round trip.
    static sonavert::Result<QJsonObject> claimAt(sonavert::cloud::CloudService& service,
                                                 const QString& code, const QString& address) {
        const QJsonObject body{{"code", code}, {"deviceName", "guess"}};
        sonavert::cloud::DatabaseCall call;
        call.operation = u"pairing/claim"_s;
        call.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
        call.clientAddress = address;
        call.kind = sonavert::cloud::CallKind::Tokenless;
        return service.serve(call);
    }
    /// A new device let in with a code that `inviter` asked for.
    QString invite(CloudTestClient& inviter, const QString& deviceName) {
        const auto claimed = m_stranger->claimPairingCode(newCode(inviter), deviceName);
        return claimed.body.value("token").toString();
    }

private Q_SLOTS:
    void init() {
        CHECKED(start({}, true));
        m_stranger = std::make_unique<CloudTestClient>(m_server->url(), QString());
    }

    void aClaimedCodeGivesANamedTokenOfTheSameAccountOnce() {
        const auto created = m_client->call("pairing/create", {});
        QCOMPARE(created.status, 200);
        const QString code = created.body.value("code").toString();
        QVERIFY2(QRegularExpression(u"^[2-9A-HJKMNP-TW-Z]{3}(-[2-9A-HJKMNP-TW-Z]{3}){2}$"_s)
                     .match(code)
                     .hasMatch(),
                 qPrintable(code));
        QCOMPARE(created.body.value("expires").toObject().value("timestamp").toInteger(),
                 m_clock->now().addSeconds(600).unixMilliseconds());
        CloudTestClient bob(m_server->url(), m_otherToken);
        QVERIFY(newCode(bob) != code);

        // Read aloud and typed back: lower case, no dashes.
        const auto claimed = m_stranger->claimPairingCode(code.toLower().remove('-'), "laptop");
        QCOMPARE(claimed.status, 200);
        QCOMPARE(claimed.body.value("deviceName").toString(), u"laptop"_s);
        QCOMPARE(claimed.body.value("accountName").toString(), u"alice"_s);
        CloudTestClient laptop(m_server->url(), claimed.body.value("token").toString());
        QCOMPARE(laptop.call("users/current", {}).body, m_client->call("users/current", {}).body);
        QVERIFY(laptop.call("users/current", {}).body != bob.call("users/current", {}).body);
        QCOMPARE(deviceNames("alice"), (QStringList{"", "laptop"}));
        QCOMPARE(deviceNames("bob"), QStringList{""});

        const auto again = m_stranger->claimPairingCode(code, "desktop");
        QCOMPARE(again.status, 403);
        QCOMPARE(deviceNames("alice"), (QStringList{"", "laptop"}));
    }

    void wrongExpiredAndUsedCodesGetTheSameAnswer() {
        const QString early = newCode(*m_client);
        const QString late = newCode(*m_client);
        const QString used = newCode(*m_client);
        QCOMPARE(m_stranger->claimPairingCode(used, "first").status, 200);
        m_clock->advance(599s);
        QCOMPARE(m_stranger->claimPairingCode(early, "just in time").status, 200);
        m_clock->advance(1s);
        const auto expired = m_stranger->claimPairingCode(late, "too late");
        const auto wrong = m_stranger->claimPairingCode(u"ABC-DEF-GHJ"_s, "guess");
        const auto reused = m_stranger->claimPairingCode(used, "again");
        QCOMPARE(expired.refusal(), u"403 ACCESS_DENIED"_s);
        QCOMPARE(withoutUuid(expired.body), withoutUuid(wrong.body));
        QCOMPARE(wrong.status, expired.status);
        QCOMPARE(withoutUuid(reused.body), withoutUuid(wrong.body));
        QVERIFY(!expired.body.value("reason").toString().contains("alice"));
        QCOMPARE(deviceNames("alice"), (QStringList{"", "first", "just in time"}));
    }

    void wrongGuessesThrottleTheGuesserNotTheAccount() {
        const QString code = newCode(*m_client);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(m_stranger->claimPairingCode(u"WRONG%1"_s.arg(i), "guess").status, 403);
        const auto throttled = m_stranger->claimPairingCode(code, "guesser");
        QCOMPARE(throttled.refusal(), u"429 THROTTLED"_s);
        QVERIFY(throttled.retryAfter.toInt() > 0);
        // The account itself is untouched: its devices work and can still invite.
        QCOMPARE(m_client->call("account/status", {}).status, 200);
        QVERIFY(!newCode(*m_client).isEmpty());
        QCOMPARE(deviceNames("alice"), QStringList{""});

        m_clock->advance(600s);
        QCOMPARE(m_stranger->claimPairingCode(newCode(*m_client), "after the wait").status, 200);
    }

    // A subscriber's /64 holds more addresses than any table could; it guesses as one, and
    // however many codes it tries, the throttle remembers it once.
    void anIpv6NetworkGuessesAsOneInBoundedMemory() {
        auto alongside = m_server->openAlongside(*m_clock);
        QVERIFY(alongside.ok());
        auto& service = alongside.value()->service();
        QMap<QString, int> answers;
        for (int i = 0; i < 100000; ++i) {
            const QString address = u"2001:db8:7:1:%1::1"_s.arg(i % 10000, 0, 16);
            const QString code = u"W%1"_s.arg(i, 8, 29, QLatin1Char('0')).toUpper();
            auto answer = claimAt(service, code, address);
            QVERIFY(!answer.ok());
            ++answers[answer.error().description.contains("too many") ? u"throttled"_s
                                                                      : u"refused"_s];
        }
        QCOMPARE(answers, (QMap<QString, int>{{u"refused"_s, 20}, {u"throttled"_s, 99980}}));
        QCOMPARE(service.pairing().trackedGuessers(), 1);
        // The right code from that network waits too; another network is not held back.
        const QString code = newCode(*m_client);
        QVERIFY(!claimAt(service, code, u"2001:db8:7:1:abcd::2"_s).ok());
        QVERIFY(claimAt(service, code, u"2001:db8:7:2::1"_s).ok());
        QCOMPARE(service.pairing().trackedGuessers(), 1);
    }

    // Whoever reads the database finds no code by hashing all 29^9 of them: the stored form
    // needs the server's secret, which every instance over the same storage shares.
    void aCodeIsStoredUnderTheServersSecretSharedByItsInstances() {
        const QString code = newCode(*m_client);
        auto storage = m_server->openStorage();
        QVERIFY(storage.ok());
        auto live = storage.value()->livePairingCodes(m_clock->now().unixMilliseconds());
        QVERIFY(live.ok());
        QCOMPARE(live.value().size(), 1);
        const QByteArray typed = code.toUtf8().replace('-', "");
        const QString stored = live.value().front().codeHash;
        QVERIFY(stored != QCryptographicHash::hash(typed, QCryptographicHash::Sha256).toHex());
        auto secret = storage.value()->settleMetaValue(u"pairing_code_key"_s, "not this one");
        QVERIFY(secret.ok());
        QVERIFY(secret.value().size() >= 32);
        QCOMPARE(stored, QString::fromLatin1(QMessageAuthenticationCode::hash(
                                                 typed, secret.value(), QCryptographicHash::Sha256)
                                                 .toHex()));
        auto alongside = m_server->openAlongside(*m_clock);
        QVERIFY(alongside.ok());
        QVERIFY(claimAt(alongside.value()->service(), code, u"192.0.2.1"_s).ok());
    }

    void aTakenDeviceNameLeavesTheCodeUsable() {
        QCOMPARE(m_stranger->claimPairingCode(newCode(*m_client), "laptop").status, 200);
        const QString code = newCode(*m_client);
        const auto clash = m_stranger->claimPairingCode(code, "laptop");
        QCOMPARE(clash.refusal(), u"400 BAD_REQUEST"_s);
        // The device acts on the reason's name, not its words.
        QCOMPARE(clash.body.value("reasonCode").toString(), u"DEVICE_NAME_TAKEN"_s);
        const auto nameless = m_stranger->claimPairingCode(code, "");
        QCOMPARE(nameless.status, 400);
        QVERIFY(!nameless.body.contains("reasonCode"));
        QCOMPARE(m_stranger->claimPairingCode(code, "desktop").status, 200);
        // The claim is served only on its own path, never as a database call without a token.
        QCOMPARE(m_stranger->post("pairing/claim", "{}").status, 401);
        QCOMPARE(m_client->call("pairing/claim", {{"code", code}, {"deviceName", "x"}}).status,
                 404);
    }

    void aRevokedDeviceIsSignedOut() {
        const auto claimed = m_stranger->claimPairingCode(newCode(*m_client), "laptop");
        CloudTestClient laptop(m_server->url(), claimed.body.value("token").toString());
        QCOMPARE(laptop.call("account/status", {}).status, 200);
        QCOMPARE(runCommand({"token", "list", "--account", "alice"}), 0);
        QCOMPARE(runCommand({"token", "revoke", "--account", "alice", "--name", "desktop"}), 1);
        QCOMPARE(runCommand({"token", "revoke", "--account", "alice", "--name", "laptop"}), 0);
        // The server hears of another process's revocation within its half-second sweep.
        m_clock->advance(std::chrono::milliseconds(600));
        QCOMPARE(laptop.call("account/status", {}).status, 401);
        QCOMPARE(m_client->call("account/status", {}).status, 200);
        QCOMPARE(deviceNames("alice"), QStringList{""});
        // The name is free again: the same computer can be invited back.
        QCOMPARE(m_stranger->claimPairingCode(newCode(*m_client), "laptop").status, 200);
    }

    // A stolen laptop may have let in a ghost before it was revoked, or asked for a code to
    // use later: neither outlives it.
    void aRevokedDeviceTakesTheDevicesItLetInWithIt() {
        CloudTestClient desk(m_server->url(), invite(*m_client, "desk"));
        CloudTestClient laptop(m_server->url(), invite(desk, "laptop"));
        CloudTestClient ghost(m_server->url(), invite(laptop, "ghost"));
        CloudTestClient kitchen(m_server->url(), invite(*m_client, "kitchen"));
        const QString spare = newCode(laptop);
        QCOMPARE(ghost.call("account/status", {}).status, 200);
        QCOMPARE(runCommand({"token", "revoke", "--account", "alice", "--name", "laptop"}), 0);
        m_clock->advance(std::chrono::milliseconds(600));
        QCOMPARE(laptop.call("account/status", {}).status, 401);
        QCOMPARE(ghost.call("account/status", {}).status, 401);
        QCOMPARE(m_stranger->claimPairingCode(spare, "later").status, 403);
        QCOMPARE(desk.call("account/status", {}).status, 200);
        QCOMPARE(deviceNames("alice"), (QStringList{"", "desk", "kitchen"}));

        // Revoked through the server itself, the minted tokens are refused at once.
        auto& accounts = m_server->server().service().accounts();
        const auto revoked = accounts.revokeToken(u"alice"_s, m_token);
        QVERIFY(revoked.ok());
        QCOMPARE(revoked.value(), 3);
        QCOMPARE(desk.call("account/status", {}).status, 401);
        QCOMPARE(kitchen.call("account/status", {}).status, 401);
        QCOMPARE(deviceNames("alice"), QStringList{});
    }
};

QTEST_GUILESS_MAIN(PairingTest)
#include "pairing_test.moc"
