// Songs passed between two computers of an account through the server: asks reach only the
// account's offering computer, chunks come out in order and only to the account, the buffer
// refuses instead of growing, and what nobody takes is dropped.
#include "server/service/relay_mailbox.h"
#include "server/wire/server_error.h"
#include "src/runtime/virtual_clock.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"

#include <QtTest>

using namespace sonavert::cloud;
using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

namespace {

const QString kOffer = u"offer-aaaaaaaaaaaaaaaa"_s;
const QString kMine = u"1/iCloud.test/production"_s;
const QString kTheirs = u"2/iCloud.test/production"_s;

QString relayId(int n) {
    return u"relay-%1-bbbbbbbbbbbbbbbb"_s.arg(n);
}

QJsonObject askFor(const QString& relay, const QString& range = {}) {
    return {{u"offer"_s, kOffer},
            {u"relay"_s, relay},
            {u"range"_s, range},
            {u"request"_s, u"sv4:sealed-by-the-asker"_s}};
}

QJsonObject chunk(const QString& relay, qint64 seq, qsizetype size, bool isEnd = false) {
    return {{u"relay"_s, relay},
            {u"seq"_s, seq},
            {u"chunk"_s, QString(size, QLatin1Char('x'))},
            {u"end"_s, isEnd}};
}

QJsonObject takeFrom(const QString& relay, qint64 seq) {
    return {{u"relay"_s, relay}, {u"seq"_s, seq}};
}

bool isAccepted(const sonavert::Result<QJsonObject>& put) {
    return put.ok() && put.value().value(u"accepted"_s).toBool();
}

bool hasCode(const sonavert::Result<QJsonObject>& result, ServerErrorCode code) {
    return !result.ok() && isCloudError(result.error(), code);
}

} // namespace

class RelayTest : public QObject {
    Q_OBJECT

    sonavert::VirtualClock m_clock;

private Q_SLOTS:
    // The offering computer hears of an ask once, and only for its own offers of its account.
    void asksReachOnlyTheAccountsOfferingComputerOnce() {
        RelayMailbox mailbox(m_clock);
        QVERIFY(mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(1), u"bytes=100-"_s)).ok());
        const QJsonObject others{{u"offers"_s, QJsonArray{u"offer-cccccccccccccccc"_s}}};
        QCOMPARE(mailbox.serve(kMine, u"relay/asks"_s, others).value()[u"asks"_s].toArray().size(),
                 0);
        const QJsonObject mine{{u"offers"_s, QJsonArray{kOffer}}};
        QCOMPARE(mailbox.serve(kTheirs, u"relay/asks"_s, mine).value()[u"asks"_s].toArray().size(),
                 0);
        const QJsonArray asks =
            mailbox.serve(kMine, u"relay/asks"_s, mine).value()[u"asks"_s].toArray();
        QCOMPARE(asks.size(), 1);
        QCOMPARE(asks.at(0)[u"relay"_s].toString(), relayId(1));
        QCOMPARE(asks.at(0)[u"range"_s].toString(), u"bytes=100-"_s);
        QCOMPARE(asks.at(0)[u"request"_s].toString(), u"sv4:sealed-by-the-asker"_s);
        QCOMPARE(mailbox.serve(kMine, u"relay/asks"_s, mine).value()[u"asks"_s].toArray().size(),
                 0);
        // Another account cannot put into, take from or close the relay.
        QVERIFY(hasCode(mailbox.serve(kTheirs, u"relay/put"_s, chunk(relayId(1), 0, 10)),
                        ServerErrorCode::NotFound));
        QVERIFY(hasCode(mailbox.serve(kTheirs, u"relay/take"_s, takeFrom(relayId(1), 0)),
                        ServerErrorCode::NotFound));
        QVERIFY(mailbox.serve(kTheirs, u"relay/close"_s, takeFrom(relayId(1), 0)).ok());
        QCOMPARE(mailbox.relayCount(), 1);
    }

    // Chunks come out in the order put, each until the taker says it has it; the end is said
    // with the last one.
    void chunksComeOutInOrderUntilTheEnd() {
        RelayMailbox mailbox(m_clock);
        const QString relay = relayId(1);
        QVERIFY(mailbox.serve(kMine, u"relay/ask"_s, askFor(relay)).ok());
        QVERIFY(isAccepted(mailbox.serve(kMine, u"relay/put"_s, chunk(relay, 0, 5))));
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/put"_s, chunk(relay, 2, 5)),
                        ServerErrorCode::BadRequest)); // a gap
        QVERIFY(isAccepted(mailbox.serve(kMine, u"relay/put"_s, chunk(relay, 1, 6))));
        QVERIFY(isAccepted(mailbox.serve(kMine, u"relay/put"_s, chunk(relay, 2, 7, true))));
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/put"_s, chunk(relay, 3, 5)),
                        ServerErrorCode::BadRequest)); // past the end

        QJsonObject taken = mailbox.serve(kMine, u"relay/take"_s, takeFrom(relay, 0)).value();
        QCOMPARE(taken[u"chunks"_s].toArray().size(), 2); // no more than two at once
        QCOMPARE(taken[u"chunks"_s].toArray().at(1)[u"seq"_s].toInteger(), 1);
        QVERIFY(!taken[u"end"_s].toBool());
        QCOMPARE(mailbox.heldBytes(), 18);
        taken = mailbox.serve(kMine, u"relay/take"_s, takeFrom(relay, 2)).value();
        QCOMPARE(taken[u"chunks"_s].toArray().size(), 1);
        QCOMPARE(taken[u"chunks"_s].toArray().at(0)[u"chunk"_s].toString().size(), 7);
        QVERIFY(taken[u"end"_s].toBool());
        QCOMPARE(mailbox.heldBytes(), 7); // what was acknowledged is gone
        QVERIFY(mailbox.serve(kMine, u"relay/close"_s, takeFrom(relay, 0)).ok());
        QCOMPARE(mailbox.heldBytes(), 0);
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/take"_s, takeFrom(relay, 3)),
                        ServerErrorCode::NotFound));
    }

    // A taker that does not take holds the relay's buffer and no more: the putter is told to
    // wait, per relay and for every relay together, and an idle relay is dropped with its
    // bytes.
    void theBufferRefusesInsteadOfGrowingAndIdleRelaysGo() {
        RelayMailbox::Limits limits;
        limits.maxRelayBytes = 100;
        limits.maxTotalBytes = 150;
        RelayMailbox mailbox(m_clock, limits);
        QVERIFY(mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(1))).ok());
        QVERIFY(mailbox.serve(kTheirs, u"relay/ask"_s, askFor(relayId(2))).ok());
        QVERIFY(isAccepted(mailbox.serve(kMine, u"relay/put"_s, chunk(relayId(1), 0, 60))));
        QVERIFY(!isAccepted(mailbox.serve(kMine, u"relay/put"_s, chunk(relayId(1), 1, 60))));
        QVERIFY(isAccepted(mailbox.serve(kTheirs, u"relay/put"_s, chunk(relayId(2), 0, 80))));
        // The other relay has room of its own, but not the server.
        QVERIFY(!isAccepted(mailbox.serve(kTheirs, u"relay/put"_s, chunk(relayId(2), 1, 20))));
        QCOMPARE(mailbox.heldBytes(), 140);
        QVERIFY(mailbox.serve(kMine, u"relay/take"_s, takeFrom(relayId(1), 1)).ok());
        QVERIFY(isAccepted(mailbox.serve(kMine, u"relay/put"_s, chunk(relayId(1), 1, 60))));

        m_clock.advance(std::chrono::seconds(29));
        QVERIFY(mailbox.serve(kMine, u"relay/take"_s, takeFrom(relayId(1), 1)).ok());
        m_clock.advance(std::chrono::seconds(2)); // only the relay left alone is over its time
        QCOMPARE(mailbox.relayCount(), 2);
        QVERIFY(mailbox.serve(kMine, u"relay/take"_s, takeFrom(relayId(1), 1)).ok());
        QCOMPARE(mailbox.relayCount(), 1);
        QCOMPARE(mailbox.heldBytes(), 60);
    }

    // Made-up ids, ranges and sizes are refused before anything is held; an account opens a
    // few relays at once, not many.
    void badRequestsAndTooManyRelaysAreRefused() {
        RelayMailbox::Limits limits;
        limits.maxRelaysPerAccount = 2;
        limits.maxChunkChars = 50;
        RelayMailbox mailbox(m_clock, limits);
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/ask"_s, askFor(u"short"_s)),
                        ServerErrorCode::BadRequest));
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/ask"_s, askFor(u"has space in it!!!!"_s)),
                        ServerErrorCode::BadRequest));
        QVERIFY(hasCode(
            mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(1), u"bytes=1-2\r\nX: y"_s)),
            ServerErrorCode::BadRequest));
        QVERIFY(mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(1))).ok());
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(1))),
                        ServerErrorCode::BadRequest)); // open already
        QVERIFY(mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(2))).ok());
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/ask"_s, askFor(relayId(3))),
                        ServerErrorCode::LimitExceeded));
        QVERIFY(mailbox.serve(kTheirs, u"relay/ask"_s, askFor(relayId(3))).ok());
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/put"_s, chunk(relayId(1), 0, 51)),
                        ServerErrorCode::LimitExceeded));
        QVERIFY(hasCode(mailbox.serve(kMine, u"relay/take"_s,
                                      QJsonObject{{u"relay"_s, relayId(1)}, {u"seq"_s, -1}}),
                        ServerErrorCode::BadRequest));
        QCOMPARE(mailbox.heldBytes(), 0);
    }

    // Over the wire: the operations need a token and keep accounts apart.
    void theServerPassesChunksBetweenDevicesOfOneAccountOnly() {
        TestCloudServer server;
        QVERIFY(server.isRunning());
        CloudTestClient kitchen(server.url(), server.addAccount(u"me"_s));
        CloudTestClient stranger(server.url(), server.addAccount(u"someone"_s));
        CloudTestClient nobody(server.url(), u"made-up-token"_s);
        QCOMPARE(nobody.call(u"relay/ask"_s, askFor(relayId(1))).status, 401);
        QCOMPARE(kitchen.call(u"relay/ask"_s, askFor(relayId(1))).status, 200);
        QCOMPARE(stranger.call(u"relay/put"_s, chunk(relayId(1), 0, 10)).errorCode(),
                 u"NOT_FOUND"_s);
        QCOMPARE(kitchen.call(u"relay/put"_s, chunk(relayId(1), 0, 10, true)).status, 200);
        const CloudReply taken = kitchen.call(u"relay/take"_s, takeFrom(relayId(1), 0));
        QCOMPARE(taken.list("chunks").size(), 1);
        QVERIFY(taken.body[u"end"_s].toBool());
    }
};

QTEST_GUILESS_MAIN(RelayTest)
#include "relay_test.moc"
