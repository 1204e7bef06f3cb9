#include "src/runtime/join_all.h"
#include "src/runtime/task_handle.h"
#include "src/runtime/virtual_clock.h"

#include <QTest>

using namespace sonavert;

namespace {

QCoro::Task<bool> sleepAndRecord(std::shared_ptr<Clock> clock, Duration delay,
                                 std::stop_token token, QList<Duration>* wokeAt) {
    const bool elapsed = co_await clock->sleep(delay, token);
    wokeAt->append(clock->monotonicNow());
    co_return elapsed;
}

QCoro::Task<int> valueAfter(std::shared_ptr<Clock> clock, Duration delay, int value,
                            QStringList* log) {
    co_await clock->sleep(delay);
    log->append(QString::number(value));
    co_return value;
}

QCoro::Task<> loopUntilCancelled(std::shared_ptr<Clock> clock, std::stop_token token, int* ticks) {
    while (!token.stop_requested()) {
        ++*ticks;
        co_await clock->sleep(2s, token);
    }
}

} // namespace

class ClockTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void virtualSleepsWakeInDeadlineOrder() {
        auto clock = std::make_shared<VirtualClock>();
        QList<Duration> woke;
        auto late = sleepAndRecord(clock, 3s, {}, &woke);
        auto early = sleepAndRecord(clock, 1s, {}, &woke);
        clock->advance(999ms);
        QVERIFY(woke.isEmpty());
        clock->advance(5s);
        QCOMPARE(woke, (QList<Duration>{1s, 3s}));
        QVERIFY(QCoro::waitFor(std::move(early)));
        QCOMPARE(clock->monotonicNow(), Duration(5999ms));
    }

    void wallTimeMovesWithVirtualTimeAndCanBeShifted() {
        VirtualClock clock(Timestamp{100.0});
        clock.advance(2500ms);
        QCOMPARE(clock.now(), Timestamp{102.5});
        clock.shiftWallClock(-10);
        QCOMPARE(clock.now(), Timestamp{92.5});
        QCOMPARE(clock.monotonicNow(), Duration(2500ms));
    }

    void cancellationWakesSleeperFromTheEventLoopNotTheCanceller() {
        auto clock = std::make_shared<VirtualClock>();
        TaskHandle handle;
        QList<Duration> woke;
        auto sleeper = sleepAndRecord(clock, 10s, handle.token(), &woke);
        handle.cancel();
        QVERIFY(woke.isEmpty()); // not resumed inside cancel()
        QCOMPARE(clock->pendingTimerCount(), std::size_t(0));
        VirtualClock::drainEvents();
        QCOMPARE(woke, QList<Duration>{0s});
        QVERIFY(!QCoro::waitFor(std::move(sleeper)));
        QVERIFY(handle.isCancelled());
    }

    void sleepWithAlreadyCancelledTokenDoesNotSuspend() {
        auto clock = std::make_shared<VirtualClock>();
        TaskHandle handle;
        handle.cancel();
        QList<Duration> woke;
        auto sleeper = sleepAndRecord(clock, 10s, handle.token(), &woke);
        QCOMPARE(woke.size(), 1);
        QVERIFY(sleeper.isReady());
    }

    void loopRunsOnItsCadenceAndEndsWhenCancelled() {
        auto clock = std::make_shared<VirtualClock>();
        TaskHandle handle;
        int ticks = 0;
        auto loop = loopUntilCancelled(clock, handle.token(), &ticks);
        clock->advance(6s);
        QCOMPARE(ticks, 4); // 0, 2, 4, 6
        handle.cancel();
        VirtualClock::drainEvents();
        QVERIFY(loop.isReady());
        clock->advance(10s);
        QCOMPARE(ticks, 4);
    }

    void whenAllRunsConcurrentlyAndKeepsArgumentOrder() {
        auto clock = std::make_shared<VirtualClock>();
        QStringList finished;
        auto joined =
            whenAll(valueAfter(clock, 3s, 1, &finished), valueAfter(clock, 1s, 2, &finished));
        clock->advance(3s);
        QVERIFY(joined.isReady());
        QCOMPARE(finished, (QStringList{"2", "1"}));
        QCOMPARE(QCoro::waitFor(std::move(joined)), std::tuple(1, 2));
        QCOMPARE(clock->monotonicNow(), Duration(3s)); // not 4 s: they overlapped

        std::vector<QCoro::Task<int>> list;
        list.push_back(valueAfter(clock, 2s, 7, &finished));
        list.push_back(valueAfter(clock, 1s, 8, &finished));
        auto all = whenAll(std::move(list));
        clock->advance(2s);
        QCOMPARE(QCoro::waitFor(std::move(all)), (std::vector<int>{7, 8}));
    }

    void runUntilStopsAtConditionOrLimit() {
        auto clock = std::make_shared<VirtualClock>();
        QList<Duration> woke;
        auto a = sleepAndRecord(clock, 4s, {}, &woke);
        auto b = sleepAndRecord(clock, 8s, {}, &woke);
        QVERIFY(clock->runUntil([&] { return woke.size() == 1; }, 60s));
        QCOMPARE(clock->monotonicNow(), Duration(4s));
        QVERIFY(!clock->runUntil([&] { return woke.size() == 2; }, 2s));
        QCOMPARE(clock->monotonicNow(), Duration(6s));
        clock->advance(2s);
    }

    void systemClockSleepsAtLeastTheDelay() {
        // Waits on the sleep's own completion, not on a guessed amount of real time.
        auto clock = std::make_shared<SystemClock>();
        const Duration before = clock->monotonicNow();
        QList<Duration> woke;
        auto sleeper = sleepAndRecord(clock, 20ms, {}, &woke);
        QVERIFY(QCoro::waitFor(std::move(sleeper)));
        QVERIFY(woke.first() - before >= 20ms);
        QVERIFY(std::abs(clock->now().unixSeconds() - QDateTime::currentSecsSinceEpoch()) < 2);
    }
};

QTEST_GUILESS_MAIN(ClockTest)
#include "clock_test.moc"
