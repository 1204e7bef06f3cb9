// Wrong guesses counted per guesser: an IPv4 address alone, an IPv6 network by its /64, the
// count forgotten when its window is over, and never more guessers remembered than the cap.
#include "server/service/guess_throttle.h"
#include "server/wire/server_error.h"
#include "src/runtime/virtual_clock.h"
#include "tests/server/server_test_main.h"

#include <QtTest>

using namespace sonavert::cloud;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 3;

void useUp(GuessThrottle& throttle, const QString& address) {
    for (int i = 0; i < kAllowed; ++i)
        throttle.recordFailure(address);
}

} // namespace

class GuessThrottleTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
        sonavert::VirtualClock clock;
        GuessThrottle throttle(clock, kAllowed, 10min);
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
        sonavert::VirtualClock clock;
        GuessThrottle throttle(clock, kAllowed, 10min);
        useUp(throttle, u"192.0.2.1"_s);
        clock.advance(9min);
        throttle.recordFailure(u"192.0.2.2"_s);
        QVERIFY(!throttle.admit(u"192.0.2.1"_s).ok());
        clock.advance(1min);
        QVERIFY(throttle.admit(u"192.0.2.1"_s).ok());
        throttle.recordFailure(u"192.0.2.3"_s);
        QCOMPARE(throttle.trackedKeyCount(), 2);
        // A fresh window: the allowance is whole again.
        throttle.recordFailure(u"192.0.2.1"_s);
        QVERIFY(throttle.admit(u"192.0.2.1"_s).ok());
    }

    void pastTheCapTheOldestGuesserIsForgotten() {
        sonavert::VirtualClock clock;
        GuessThrottle throttle(clock, kAllowed, 10min, 3);
        for (const QString& address : {u"192.0.2.1"_s, u"192.0.2.2"_s, u"192.0.2.3"_s}) {
            useUp(throttle, address);
            clock.advance(1s);
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

SONAVERT_SERVER_TEST_MAIN(GuessThrottleTest)
#include "guess_throttle_test.moc"
