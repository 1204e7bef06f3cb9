// Rate limiting per token: the allowance, its refill on the clock, and THROTTLED as the client
// sees it. Wrong guesses counted per guesser: an IPv4 address alone, an IPv6 network by its
// /64, the count forgotten when its window is over, and never more guessers remembered than
// the cap.
#include "server/service/guess_throttle.h"
#include "server/service/request_throttle.h"
#include "server/wire/server_error.h"
#include "src/runtime/virtual_clock.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"

#include <QtTest>

using namespace sonavert::cloud;
using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 3;

ServiceOptions limitedTo(RateLimit rateLimit) {
    ServiceOptions options;
    options.rateLimit = rateLimit;
    return options;
}

void useUp(GuessThrottle& throttle, const QString& address) {
    for (int i = 0; i < kAllowed; ++i)
        throttle.recordFailure(address);
}

} // namespace

class RequestThrottleTest : public QObject {
    Q_OBJECT

    sonavert::VirtualClock m_clock;

private Q_SLOTS:
    void aBurstIsAllowedThenTheTokenWaitsForTheRefill() {
        RequestThrottle throttle(m_clock, {2.0, 3.0});
        for (int i = 0; i < 3; ++i)
            QVERIFY(throttle.admit("device-1").ok());
        const auto refused = throttle.admit("device-1");
        QVERIFY(isCloudError(refused.error(), ServerErrorCode::Throttled));
        QCOMPARE(refused.error().retryAfterSeconds.value_or(0), 0.5);
        m_clock.advance(std::chrono::milliseconds(499));
        QVERIFY(!throttle.admit("device-1").ok());
        m_clock.advance(std::chrono::milliseconds(1));
        QVERIFY(throttle.admit("device-1").ok());
        QVERIFY(!throttle.admit("device-1").ok());
    }

    void theAllowanceRefillsNoHigherThanTheBurst() {
        RequestThrottle throttle(m_clock, {1.0, 2.0});
        QVERIFY(throttle.admit("t").ok());
        m_clock.advance(std::chrono::hours(1));
        QVERIFY(throttle.admit("t").ok());
        QVERIFY(throttle.admit("t").ok());
        QVERIFY(!throttle.admit("t").ok());
    }

    void largeAnswersCostTheirSizeSmallOnesNothingMore() {
        RequestThrottle throttle(m_clock, {20.0, 100.0});
        constexpr qint64 kUnit = RequestThrottle::kAnswerBytesPerRequest;
        // Answers under the unit are just the call: the whole burst goes through.
        for (int i = 0; i < 100; ++i) {
            QVERIFY(throttle.admit("device").ok());
            throttle.chargeAnswer("device", kUnit - 1);
        }
        QVERIFY(!throttle.admit("device").ok());
        // A full bucket, then one answer of 4 MiB: 128 more than the 99 left.
        m_clock.advance(std::chrono::seconds(10));
        QVERIFY(throttle.admit("hoarder").ok());
        throttle.chargeAnswer("hoarder", 128 * kUnit);
        const auto refused = throttle.admit("hoarder");
        QVERIFY(isCloudError(refused.error(), ServerErrorCode::Throttled));
        QCOMPARE(refused.error().retryAfterSeconds.value_or(0), (1.0 + 29.0) / 20.0);
        m_clock.advance(std::chrono::milliseconds(1450));
        QVERIFY(!throttle.admit("hoarder").ok());
        m_clock.advance(std::chrono::milliseconds(100));
        QVERIFY(throttle.admit("hoarder").ok());
        // Others are not charged for it.
        QVERIFY(throttle.admit("device").ok());
    }

    void noLimitWhenTheRateIsZero() {
        RequestThrottle throttle(m_clock, {0.0, 0.0});
        for (int i = 0; i < 1000; ++i)
            QVERIFY(throttle.admit("t").ok());
    }

    void quietTokensAreForgottenWhenManyAreTracked() {
        RequestThrottle throttle(m_clock, {1.0, 5.0});
        // 1024 tracked tokens: the next new one makes the throttle look for quiet ones.
        for (int i = 0; i < 1023; ++i)
            QVERIFY(throttle.admit(QString::number(i)).ok());
        QVERIFY(throttle.admit("busy").ok() && throttle.admit("busy").ok());
        m_clock.advance(std::chrono::seconds(1));
        // Full again after a second: the quiet ones go when the next new token arrives, the
        // busy one (still short of its burst) stays with what it has used.
        QVERIFY(throttle.admit("newcomer").ok());
        QCOMPARE(throttle.trackedTokenCount(), 2);
        for (int i = 0; i < 4; ++i)
            QVERIFY(throttle.admit("busy").ok());
        QVERIFY(!throttle.admit("busy").ok());
    }

    void theServerAnswersThrottledWithRetryAfterAndKeepsServingOtherTokens() {
        TestCloudServer server(limitedTo({1.0, 2.0}), &m_clock);
        QVERIFY(server.isRunning());
        const QString laptopToken = server.addAccount("alice");
        const QString desktopToken =
            server.server().service().accounts().issueToken("alice").value().token;
        CloudTestClient laptop(server.url(), laptopToken);
        CloudTestClient desktop(server.url(), desktopToken);
        QCOMPARE(laptop.lookup({"r"}).status, 200);
        QCOMPARE(laptop.lookup({"r"}).status, 200);

        const auto refused = laptop.modifyRecords({wire::replace("r", "Peer", {})});
        QCOMPARE(refused.refusal(), u"429 THROTTLED"_s);
        QCOMPARE(refused.body.value("ckErrorCode").toInt(), 7);
        QCOMPARE(refused.body.value("retryAfter").toDouble(), 1.0);
        QCOMPARE(refused.retryAfter, QByteArray("1"));
        // Refused means not done.
        QCOMPARE(errorOf(desktop.lookup({"r"}).item("records", 0)), u"NOT_FOUND"_s);

        m_clock.advance(std::chrono::seconds(1));
        QCOMPARE(laptop.modifyRecords({wire::replace("r", "Peer", {})}).status, 200);
    }

    void aTokenThatTakesLargeAnswersWaitsForThem() {
        TestCloudServer server(limitedTo({1.0, 10.0}), &m_clock);
        QVERIFY(server.isRunning());
        CloudTestClient device(server.url(), server.addAccount("alice"));
        const QString text(600 * 1024, QLatin1Char('x'));
        QCOMPARE(
            device
                .modifyRecords({wire::replace("big", "Peer", {{"blob", wire::stringField(text)}})})
                .status,
            200);
        // A save is not charged for its answer; a lookup's 600 KiB cost 18 calls more than
        // the 8 left.
        QCOMPARE(device.lookup({"big"}).status, 200);
        const auto refused = device.lookup({"big"});
        QCOMPARE(refused.status, 429);
        QCOMPARE(refused.body.value("retryAfter").toDouble(), 11.0);
        m_clock.advance(std::chrono::seconds(11));
        QCOMPARE(device.lookup({"big"}).status, 200);
        QCOMPARE(device.lookup({"big"}).body.value("retryAfter").toDouble(), 19.0);
    }

    void unknownTokensAreRefusedAsUnauthenticatedNotThrottled() {
        TestCloudServer server(limitedTo({1.0, 1.0}), &m_clock);
        CloudTestClient stranger(server.url(), "made-up");
        for (int i = 0; i < 3; ++i)
            QCOMPARE(stranger.lookup({"r"}).status, 401);
        QCOMPARE(server.server().service().throttle().trackedTokenCount(), 0);
    }

    void addressesOfOneGuesserShareTheAllowance_data() {
        QTest::addColumn<QString>("guessing");
        QTest::addColumn<QString>("sameGuesser");
        QTest::addColumn<QString>("otherGuesser");
        QTest::newRow("IPv6 by /64")
            << u"2001:db8:1:2::1"_s << u"2001:db8:1:2:ffff:ee:dd:cc"_s << u"2001:db8:1:3::1"_s;
        QTest::newRow("IPv4 alone") << u"192.0.2.1"_s << u"192.0.2.1"_s << u"192.0.2.2"_s;
        QTest::newRow("IPv4 mapped")
            << u"::ffff:192.0.2.1"_s << u"192.0.2.1"_s << u"::ffff:192.0.2.2"_s;
    }
    void addressesOfOneGuesserShareTheAllowance() {
        QFETCH(QString, guessing);
        QFETCH(QString, sameGuesser);
        QFETCH(QString, otherGuesser);
        GuessThrottle throttle(m_clock, kAllowed, 10min);
        throttle.recordFailure(guessing);
        throttle.recordFailure(sameGuesser);
        QVERIFY(throttle.admit(otherGuesser).ok());
        QVERIFY(throttle.recordFailure(guessing));
        const auto refused = throttle.admit(sameGuesser);
        QVERIFY(isCloudError(refused.error(), ServerErrorCode::Throttled));
        QCOMPARE(refused.error().retryAfterSeconds.value_or(0), 600.0);
        QVERIFY(throttle.admit(otherGuesser).ok());
        QCOMPARE(throttle.trackedKeyCount(), 1);
    }

    void aWindowOverIsForgotten() {
        GuessThrottle throttle(m_clock, kAllowed, 10min);
        useUp(throttle, u"192.0.2.1"_s);
        m_clock.advance(9min);
        throttle.recordFailure(u"192.0.2.2"_s);
        QVERIFY(!throttle.admit(u"192.0.2.1"_s).ok());
        m_clock.advance(1min);
        QVERIFY(throttle.admit(u"192.0.2.1"_s).ok());
        throttle.recordFailure(u"192.0.2.3"_s);
        QCOMPARE(throttle.trackedKeyCount(), 2);
        // A fresh window: the allowance is whole again.
        throttle.recordFailure(u"192.0.2.1"_s);
        QVERIFY(throttle.admit(u"192.0.2.1"_s).ok());
    }

    void pastTheCapTheOldestGuesserIsForgotten() {
        GuessThrottle throttle(m_clock, kAllowed, 10min, 3);
        for (const QString& address : {u"192.0.2.1"_s, u"192.0.2.2"_s, u"192.0.2.3"_s}) {
            useUp(throttle, address);
            m_clock.advance(1s);
        }
        for (int i = 0; i < 1000; ++i)
            throttle.recordFailure(u"2001:db8:%1::1"_s.arg(i, 0, 16));
        QCOMPARE(throttle.trackedKeyCount(), 3);
        QVERIFY(throttle.admit(u"192.0.2.1"_s).ok());
        // The newest guessers are the ones still counted.
        throttle.recordFailure(u"2001:db8:3e7::2"_s);
        throttle.recordFailure(u"2001:db8:3e7::3"_s);
        QVERIFY(!throttle.admit(u"2001:db8:3e7::4"_s).ok());
    }
};

QTEST_GUILESS_MAIN(RequestThrottleTest)
#include "request_throttle_test.moc"
