// What a push channel may cost the server: oversized frames and messages close it unread,
// greeting and silence limits are met to within a second, a client that stops reading is
// closed instead of queued for without bound, and a revoked token loses its channels at once.
#include "server/push/push_hub.h"
#include "tests/server/push_test_client.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"

#include <QJsonDocument>
#include <QtTest>

using namespace sonavert::cloud::testing;
using sonavert::cloud::ServerConfig;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

QByteArray greeting(const QString& token) {
    const QJsonObject hello{{u"token"_s, token},
                            {u"container"_s, u"iCloud.test.container"_s},
                            {u"environment"_s, u"production"_s}};
    return QJsonDocument(hello).toJson(QJsonDocument::Compact);
}

// The code of the close frame that ends `received`, or 0.
int closeCodeIn(const QByteArray& received, const QByteArray& reason) {
    const qsizetype at = received.lastIndexOf(reason);
    if (at < 2)
        return 0;
    return (static_cast<uchar>(received.at(at - 2)) << 8) | static_cast<uchar>(received.at(at - 1));
}

// The code of the close frame the server sent first, or 0 when it sent something else.
int leadingCloseCode(const QByteArray& received) {
    if (received.size() < 4 || static_cast<uchar>(received.at(0)) != 0x88)
        return 0;
    return (static_cast<uchar>(received.at(2)) << 8) | static_cast<uchar>(received.at(3));
}

QJsonArray handoffSaves(int count, int round) {
    QJsonArray operations;
    for (int i = 0; i < count; ++i)
        operations.append(wire::replace(u"h%1-%2"_s.arg(round).arg(i), u"Handoff"_s,
                                        {{u"targetDeviceID"_s, wire::stringField(u"A"_s)}}));
    return operations;
}

} // namespace

class PushBoundsTest : public ServerTestCase {
    Q_OBJECT

private:
    void subscribe(int count) {
        for (int i = 0; i < count; ++i) {
            const auto created = m_client->modifySubscriptions(
                u"create"_s,
                wire::subscription(u"sub-%1"_s.arg(i), u"Handoff"_s,
                                   {{u"targetDeviceID"_s, wire::stringField(u"A"_s)}}));
            QCOMPARE(created.status, 200);
        }
    }
    void greet(RawConnection& channel, const QString& token) {
        QVERIFY(channel.upgradeToWebSocket());
        channel.send(RawConnection::frame(1, true, greeting(token)));
        QVERIFY(channel.awaitReceived("\"ready\":true"));
    }
    qint64 aliceId() {
        return m_server->server().service().accounts().account(u"alice"_s).value().id;
    }
    // Saves 200 handoffs at a time until none of alice's channels is ready; counts the saves.
    void saveUntilNoChannelIsReady(int& saves) {
        auto& hub = m_server->server().pushHub();
        while (hub.readyChannelCount(aliceId()) > 0 && saves < 60)
            QCOMPARE(m_client->modifyRecords(handoffSaves(200, saves++)).status, 200);
        QCOMPARE(hub.readyChannelCount(aliceId()), 0);
    }

private Q_SLOTS:
    void floodsCloseTheChannel_data() {
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QByteArray>("filler");
        QTest::addColumn<bool>("isReading");
        QTest::newRow("one 300 MB frame")
            << RawConnection::frameHeader(1, true, 300 * kMiB) << QByteArray(65536, 'a') << true;
        // Each frame is small; the message they make is not.
        QTest::newRow("a message of endless frames")
            << RawConnection::frame(1, false, QByteArray(32768, 'a'))
            << RawConnection::frame(0, false, QByteArray(32768, 'a')) << true;
        // Never greeted, never reading: every pong it asks for waits in the server.
        QByteArray pings;
        for (int i = 0; i < 512; ++i)
            pings += RawConnection::frame(9, true, QByteArray(125, 'p'));
        QTest::newRow("pings from a client that never reads") << pings << pings << false;
    }

    void floodsCloseTheChannel() {
        QFETCH(QByteArray, prefix);
        QFETCH(QByteArray, filler);
        QFETCH(bool, isReading);
        ServerConfig config;
        config.push.maxQueuedBytes = 64 * 1024;
        CHECKED(start(config));
        const qint64 before = residentBytes();
        RawConnection attacker(m_server->url());
        QVERIFY(attacker.upgradeToWebSocket());
        if (!isReading)
            attacker.stopReading();
        QVERIFY(attacker.isCutOffWhileFlooding(prefix, filler, 16 * kMiB));
        QVERIFY(attacker.waitForClose());
        QVERIFY(grewLessThan(before, 32 * kMiB));
        // An oversized message is closed unread. The close frame may be lost to the reset of a
        // connection still sending; when it arrives, it says why.
        const QByteArray answer = attacker.received();
        QVERIFY2(answer.isEmpty() || leadingCloseCode(answer) == 1009, answer.left(40).toHex());
        // A client that never reads is gone from the hub once its connection is.
        if (!isReading)
            QCOMPARE(m_server->server().pushHub().channelCount(), 0);
        CHECKED(otherAccountIsServed());
    }

    void anUpgradeBehindAnotherRequestIsRefused() {
        CHECKED(start());
        RawConnection client(m_server->url());
        client.send(RawConnection::healthCheck() + RawConnection::upgradeRequest());
        client.send(QByteArray("\x81\x02hi", 4)); // unmasked
        QVERIFY(client.waitForClose());
        QVERIFY2(!client.received().contains("HTTP/1.1 101"), client.received().constData());
        QVERIFY2(client.received().contains("HTTP/1.1 400"), client.received().constData());
        QCOMPARE(m_server->server().pushHub().channelCount(), 0);
        CHECKED(otherAccountIsServed());
    }

    void protocolViolationsCloseWithTheirCode_data() {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<int>("code");
        QTest::newRow("unmasked") << QByteArray("\x81\x02hi", 4) << 1002;
        QTest::newRow("reserved bit") << RawConnection::frame(0x41, true, "hi") << 1002;
        QTest::newRow("unknown opcode") << RawConnection::frame(3, true, "hi") << 1002;
        QTest::newRow("fragmented ping") << RawConnection::frame(9, false, "hi") << 1002;
        QTest::newRow("continuation first") << RawConnection::frame(0, true, "hi") << 1002;
        QTest::newRow("a message inside a message")
            << RawConnection::frame(1, false, "a") + RawConnection::frame(1, true, "b") << 1002;
        QTest::newRow("not UTF-8")
            << RawConnection::frame(1, true, QByteArray("\xc3\x28", 2)) << 1007;
        QTest::newRow("close code 999")
            << RawConnection::frame(8, true, QByteArray("\x03\xe7", 2)) << 1002;
        QTest::newRow("close code 1005, which says none was sent")
            << RawConnection::frame(8, true, QByteArray("\x03\xed", 2)) << 1002;
        QTest::newRow("close code 5000")
            << RawConnection::frame(8, true, QByteArray("\x13\x88", 2)) << 1002;
        QTest::newRow("a valid close is answered with its code")
            << RawConnection::frame(8, true, QByteArray("\x0f\xa0", 2)) << 4000;
    }

    void protocolViolationsCloseWithTheirCode() {
        QFETCH(QByteArray, frames);
        QFETCH(int, code);
        CHECKED(start());
        RawConnection client(m_server->url());
        QVERIFY(client.upgradeToWebSocket());
        client.send(frames);
        QVERIFY(client.waitForClose());
        QCOMPARE(leadingCloseCode(client.received()), code);
        CHECKED(otherAccountIsServed());
    }

    void aGreetingInPiecesIsServedAroundPings() {
        CHECKED(start());
        RawConnection client(m_server->url());
        // The frames come with the upgrade request itself, before the server answered it.
        const QByteArray hello = greeting(m_token);
        client.send(RawConnection::upgradeRequest() +
                    RawConnection::frame(1, false, hello.left(10)) +
                    RawConnection::frame(9, true, "are you there") +
                    RawConnection::frame(0, false, hello.mid(10, 10)) +
                    RawConnection::frame(0, true, hello.mid(20)));
        QVERIFY(client.awaitReceived("\"ready\":true"));
        const QByteArray received = client.received();
        QVERIFY(received.startsWith("HTTP/1.1 101"));
        // The answer to the sample key of the WebSocket standard.
        QVERIFY(received.contains("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"));
        QVERIFY(received.contains("\x8a\x0d"
                                  "are you there"));
        // A client that closes gets its code back, then the connection ends.
        client.send(RawConnection::frame(8, true, QByteArray("\x03\xe8", 2)));
        QVERIFY(client.waitForClose());
        QVERIFY(client.received().endsWith(QByteArray("\x88\x02\x03\xe8", 4)));
    }

    void pushChannelsHoldTheirPlaceUnderTheCapsUntilTheyGo() {
        ServerConfig config;
        config.http.maxConnectionsPerAddress = 2;
        CHECKED(start(config));
        auto& hub = m_server->server().pushHub();
        const QHostAddress from(u"127.0.0.7"_s);
        const auto status = [&] {
            return RawConnection::statusOf(m_server->url(), RawConnection::healthCheck(), from);
        };
        // More channels than the cap come and go: each gives its place back when it goes.
        for (int round = 0; round < 4; ++round) {
            RawConnection first(m_server->url(), from);
            RawConnection second(m_server->url(), from);
            CHECKED(greet(first, m_token));
            CHECKED(greet(second, m_token));
            QCOMPARE(status(), 503);
            first.socket().abort();
            second.socket().abort();
            QVERIFY(QTest::qWaitFor([&] { return hub.channelCount() == 0; }));
        }
        QCOMPARE(status(), 200);
    }

    void channelTimeoutsAreMetWithinASecond_data() {
        QTest::addColumn<bool>("greets");
        QTest::addColumn<int>("limitSeconds");
        QTest::newRow("never greets") << false << 60;
        QTest::newRow("greets, then stays silent") << true << 60;
        QTest::newRow("configured greeting time") << false << 7;
        QTest::newRow("configured silence") << true << 45;
    }

    void channelTimeoutsAreMetWithinASecond() {
        QFETCH(bool, greets);
        QFETCH(int, limitSeconds);
        ServerConfig config;
        config.push.greetWithin = std::chrono::seconds(limitSeconds);
        config.push.silentFor = std::chrono::seconds(limitSeconds);
        CHECKED(start(config, true));
        RawConnection channel(m_server->url());
        if (greets)
            CHECKED(greet(channel, m_token));
        else
            QVERIFY(channel.upgradeToWebSocket());
        // Pinged on the way, the raw client never answers: silence is silence.
        m_clock->advance(std::chrono::seconds(limitSeconds) - 600ms);
        QVERIFY(channel.isConnected());
        m_clock->advance(1s);
        QVERIFY(channel.awaitReceived(greets ? "silent" : "not greeted"));
        QCOMPARE(closeCodeIn(channel.received(), greets ? "silent" : "not greeted"), 1001);
        m_clock->advance(3s);
        QVERIFY(channel.waitForClose());
    }

    void slowConsumerIsClosedAndCatchesUp() {
        ServerConfig config;
        config.push.maxQueuedBytes = 64 * 1024;
        // More than a save fires, so every notification is sent, not collapsed into a reset
        // (which is what instances sharing PostgreSQL do with a backlog already dropped).
        config.service.notificationsKept = 100;
        // On virtual time the server never cuts the client off: it can still read the close.
        CHECKED(start(config, true));
        CHECKED(subscribe(50));
        RawConnection hung(m_server->url());
        CHECKED(greet(hung, m_token));
        hung.stopReading();
        const qint64 before = residentBytes();
        int saves = 0;
        // Each save fires one notification per subscription, some 8 KB for the one channel.
        CHECKED(saveUntilNoChannelIsReady(saves));
        QVERIFY(grewLessThan(before, 64 * kMiB));
        CHECKED(otherAccountIsServed());
        // One save more and what the client knew of is no longer held.
        QCOMPARE(m_client->modifyRecords(handoffSaves(200, saves)).status, 200);
        hung.resumeReading();
        QVERIFY(hung.awaitReceived("send queue full"));
        QCOMPARE(closeCodeIn(hung.received(), "send queue full"), 4001);
        // Reconnecting with what it knew, it learns that it must fetch afresh.
        PushTestClient again(m_server->url());
        QCOMPARE(again.open(m_token, 1).value(u"ready"_s).toBool(), true);
        QCOMPARE(again.next(), (QJsonObject{{u"reset"_s, true}}));
    }

    void channelsFallingBehindTogetherAreBoundedTogether() {
        ServerConfig config;
        // Each channel alone may hold a lot; all of them together may not.
        config.push.maxQueuedBytes = 1024 * 1024;
        config.push.maxQueuedBytesInTotal = 64 * 1024;
        config.service.notificationsKept = 100;
        config.service.rateLimit.perSecond = 0; // virtual time refills no allowance
        CHECKED(start(config, true));
        CHECKED(subscribe(50));
        std::vector<std::unique_ptr<RawConnection>> hung;
        for (int i = 0; i < 2; ++i) {
            hung.push_back(std::make_unique<RawConnection>(m_server->url()));
            CHECKED(greet(*hung.back(), m_token));
            hung.back()->stopReading();
        }
        int saves = 0;
        // Some 8 KB a save for each: a channel's own queue would take over a hundred to fill.
        CHECKED(saveUntilNoChannelIsReady(saves));
        CHECKED(otherAccountIsServed());
        hung.front()->resumeReading();
        QVERIFY(hung.front()->awaitReceived("send queue full"));
        QCOMPARE(closeCodeIn(hung.front()->received(), "send queue full"), 4001);
    }

    void aSaveNotifiesEachSubscriptionOnceWhateverItWrites() {
        CHECKED(start());
        CHECKED(subscribe(3));
        PushTestClient device(m_server->url());
        QCOMPARE(device.open(m_token).value(u"ready"_s).toBool(), true);
        auto& hub = m_server->server().pushHub();
        const quint64 sentBefore = hub.notificationsSent();
        QCOMPARE(m_client->modifyRecords(handoffSaves(200, 0)).status, 200);
        QSet<QString> fired;
        for (int i = 0; i < 3; ++i) {
            const QJsonObject notification = device.next();
            fired.insert(notification.value(u"subscriptionID"_s).toString());
            QCOMPARE(notification.value(u"recordName"_s).toString(), u"h0-199"_s);
        }
        QCOMPARE(fired.size(), 3);
        // Nothing more of that save was queued: what comes next is of the next save.
        QCOMPARE(m_client->modifyRecords(handoffSaves(1, 1)).status, 200);
        QCOMPARE(device.next().value(u"recordName"_s).toString(), u"h1-0"_s);
        QCOMPARE(hub.notificationsSent() - sentBefore, quint64{6});
        CHECKED(otherAccountIsServed());
    }

    // One token opening channel after channel does not make every save fan out to all of
    // them: past the account's bound its oldest goes, and other accounts keep theirs.
    void anAccountHoldsItsBoundOfChannelsTheOldestGoing() {
        ServerConfig config;
        config.push.maxChannelsPerAccount = 2;
        CHECKED(start(config));
        CHECKED(subscribe(1));
        PushTestClient bobs(m_server->url());
        QCOMPARE(bobs.open(m_otherToken).value(u"ready"_s).toBool(), true);
        std::vector<std::unique_ptr<PushTestClient>> alices;
        for (int i = 0; i < 4; ++i) {
            alices.push_back(std::make_unique<PushTestClient>(m_server->url()));
            QCOMPARE(alices.back()->open(m_token).value(u"ready"_s).toBool(), true);
        }
        for (int i = 0; i < 2; ++i) {
            QVERIFY(alices[i]->waitForClose());
            QCOMPARE(alices[i]->closeCode(), 4004);
        }
        auto& hub = m_server->server().pushHub();
        QCOMPARE(hub.readyChannelCount(aliceId()), 2);
        QVERIFY(bobs.isConnected());
        const quint64 sentBefore = hub.notificationsSent();
        QCOMPARE(m_client->modifyRecords(handoffSaves(1, 0)).status, 200);
        for (int i = 2; i < 4; ++i)
            QCOMPARE(alices[i]->next().value(u"recordName"_s).toString(), u"h0-0"_s);
        QCOMPARE(hub.notificationsSent() - sentBefore, quint64{2});
    }

    void revokedTokenLosesItsChannelsAtOnce() {
        CHECKED(start({}, true));
        CHECKED(subscribe(1));
        const QString second =
            m_server->server().service().accounts().issueToken(u"alice"_s).value().token;
        PushTestClient revoked(m_server->url());
        QCOMPARE(revoked.open(m_token).value(u"ready"_s).toBool(), true);
        PushTestClient kept(m_server->url());
        QCOMPARE(kept.open(second).value(u"ready"_s).toBool(), true);
        // Revoked as the command line does it: another process over the same storage.
        auto administration = m_server->openAlongside(*m_clock);
        QVERIFY(administration);
        QVERIFY(administration.value()->service().accounts().revokeToken(u"alice"_s, m_token));
        m_clock->advance(600ms);
        QVERIFY(revoked.waitForClose());
        QCOMPARE(revoked.closeCode(), 4003);
        QVERIFY(kept.isConnected());
        CloudTestClient withSecond(m_server->url(), second);
        QCOMPARE(withSecond.modifyRecords(handoffSaves(1, 0)).status, 200);
        QCOMPARE(kept.next().value(u"recordName"_s).toString(), u"h0-0"_s);
        QCOMPARE(m_client->call(u"users/current"_s, {}).status, 401);
    }
};

QTEST_GUILESS_MAIN(PushBoundsTest)
#include "push_bounds_test.moc"
