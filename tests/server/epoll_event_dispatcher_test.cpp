// The server's epoll event loop where the server's own tests do not reach: timers of every
// type killed or restarted from their own handlers and nested loops, notifiers disabled or
// deleted in their own activation, wake-ups from other threads, and hundreds of descriptors.
#include "server/http/epoll_event_dispatcher.h"
#include "tests/server/server_test_main.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <functional>
#include <numeric>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using sonavert::cloud::EpollEventDispatcher;
using namespace Qt::StringLiterals;

namespace {

/// Records the timer events it gets; `onTimer` may act inside the handler.
class TimerRecorder : public QObject {
public:
    QList<int> fired;
    QList<qint64> firedAtMs;
    QElapsedTimer clock;
    std::function<void(int)> onTimer;

protected:
    void timerEvent(QTimerEvent* event) override {
        fired.append(event->timerId());
        firedAtMs.append(clock.elapsed());
        if (onTimer)
            onTimer(event->timerId());
    }
};

/// Runs the loop until `isDone`, checked after each wait; false after 20 s. (A posted event
/// alone does not end a wait: the loop blocks again once it has sent the events posted.)
bool runUntil(const std::function<bool()>& isDone) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (!isDone() && watchdog.elapsed() < 20'000)
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    return isDone();
}

/// A connected pair of UNIX sockets, closed with the test.
struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends); }
    ~SocketPair() {
        close(ends[0]);
        close(ends[1]);
    }
    void send() const { QCOMPARE_EQ(write(ends[1], "x", 1), 1); }
};

} // namespace

class EpollEventDispatcherTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(qobject_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance()));
    }

    void timersOfEveryTypeFireInDeadlineOrderAndStopWhenKilledInTheirHandler() {
        TimerRecorder recorder;
        recorder.clock.start();
        const int veryCoarse = recorder.startTimer(1400, Qt::VeryCoarseTimer);
        const int coarse = recorder.startTimer(80, Qt::CoarseTimer);
        const int precise = recorder.startTimer(40, Qt::PreciseTimer);
        auto* dispatcher = QAbstractEventDispatcher::instance();
        const auto timers = dispatcher->registeredTimers(&recorder);
        QCOMPARE(timers.size(), 3);
        for (const auto& timer : timers)
            if (timer.timerId == veryCoarse)
                QCOMPARE(timer.interval, 1000); // whole seconds
        QVERIFY(dispatcher->remainingTime(precise) >= 0 &&
                dispatcher->remainingTime(precise) <= 40);
        recorder.onTimer = [&recorder](int id) { recorder.killTimer(id); };
        QVERIFY(runUntil([&] { return recorder.fired.size() == 3; }));
        QCOMPARE(recorder.fired, (QList<int>{precise, coarse, veryCoarse}));
        QVERIFY(recorder.firedAtMs.at(0) >= 40);
        QVERIFY(recorder.firedAtMs.at(1) >= 80);
        QVERIFY(recorder.firedAtMs.at(2) >= 1000);
        QVERIFY(dispatcher->registeredTimers(&recorder).isEmpty());
        QCOMPARE(dispatcher->remainingTime(precise), -1);
    }

    void aTimerKilledOrRestartedDuringAPassFiresAsItsLastRegistrationSays() {
        // Zero timers are all due in the same pass: the first kills the second before it
        // fires, and restarts itself, perhaps under the same id; a later marker shows the
        // killed one stayed quiet.
        TimerRecorder recorder;
        const int first = recorder.startTimer(0);
        const int second = recorder.startTimer(0);
        int restarted = -1;
        int marker = -1;
        recorder.onTimer = [&](int id) {
            if (restarted != -1 || id != first) {
                recorder.killTimer(id);
                return;
            }
            recorder.killTimer(second);
            recorder.killTimer(first);
            restarted = recorder.startTimer(0);
            marker = recorder.startTimer(0);
        };
        QVERIFY(runUntil([&] { return recorder.fired.contains(marker); }));
        // Ids are reused: the killed one's may come back as a new timer's, so it is the order
        // that shows it did not fire in its pass.
        QCOMPARE(recorder.fired, (QList<int>{first, restarted, marker}));
        QCOMPARE(QAbstractEventDispatcher::instance()->unregisterTimers(&recorder), false);
    }

    void aTimerIsNotFiredAgainFromANestedLoopItsHandlerRuns() {
        TimerRecorder outer;
        TimerRecorder inner;
        const int outerId = outer.startTimer(0);
        outer.onTimer = [&](int) {
            inner.startTimer(0);
            QVERIFY(runUntil([&] { return inner.fired.size() >= 5; }));
            outer.killTimer(outerId);
        };
        QVERIFY(runUntil([&] { return !inner.fired.isEmpty(); }));
        QCOMPARE(outer.fired.size(), 1);
    }

    void aNotifierChangedInItsOwnActivationIsNotActivatedAgain_data() {
        QTest::addColumn<QString>("action");
        QTest::newRow("disables itself") << u"disable"_s;
        QTest::newRow("deletes itself") << u"delete"_s;
        QTest::newRow("deletes its write sibling on the same descriptor, then disables itself")
            << u"sibling"_s;
    }
    void aNotifierChangedInItsOwnActivationIsNotActivatedAgain() {
        QFETCH(QString, action);
        SocketPair pair;
        pair.send(); // readable and writable at once, and never drained
        auto* reader = new QSocketNotifier(pair.ends[0], QSocketNotifier::Read);
        auto* writer = new QSocketNotifier(pair.ends[0], QSocketNotifier::Write);
        int reads = 0;
        int writes = 0;
        connect(writer, &QSocketNotifier::activated, [&] { ++writes; });
        connect(reader, &QSocketNotifier::activated, [&] {
            ++reads;
            if (action == u"sibling")
                delete writer;
            if (action == u"delete")
                delete reader;
            else
                reader->setEnabled(false);
        });
        if (action != u"sibling")
            delete writer;
        TimerRecorder passes;
        passes.startTimer(0);
        QVERIFY(runUntil([&] { return passes.fired.size() >= 20; }));
        QCOMPARE(reads, 1);
        QCOMPARE(writes, 0);
        if (action != u"delete")
            delete reader;
    }

    void postsAndInterruptsFromAnotherThreadWakeABlockedLoop() {
        // No timer runs: without the wake-ups the loop would block for good.
        constexpr int kPosts = 2000;
        QEventLoop loop;
        int received = 0;
        std::thread poster([&] {
            for (int i = 0; i < kPosts; ++i)
                QMetaObject::invokeMethod(
                    &loop, [&] { ++received == kPosts ? loop.quit() : void(); },
                    Qt::QueuedConnection);
        });
        QTimer::singleShot(20'000, &loop, &QEventLoop::quit);
        loop.exec();
        poster.join();
        QCOMPARE(received, kPosts);
        std::atomic<bool> isDone{false};
        std::thread interrupter([&] {
            isDone = true;
            QAbstractEventDispatcher::instance(loop.thread())->interrupt();
        });
        QVERIFY(runUntil([&] { return isDone.load(); }));
        interrupter.join();
    }

    void hundredsOfDescriptorsActivateExactlyTheReadyOnes() {
        constexpr int kPairs = 300; // more ready at once than one wait takes
        std::vector<std::unique_ptr<SocketPair>> pairs;
        std::vector<int> activations(kPairs, 0);
        std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
        for (int i = 0; i < kPairs; ++i) {
            pairs.push_back(std::make_unique<SocketPair>());
            notifiers.push_back(
                std::make_unique<QSocketNotifier>(pairs.back()->ends[0], QSocketNotifier::Read));
            connect(notifiers.back().get(), &QSocketNotifier::activated,
                    [&, i](QSocketDescriptor fd) {
                        char byte = 0;
                        QCOMPARE_EQ(read(fd, &byte, 1), 1);
                        ++activations.at(i);
                    });
        }
        int sent = 0;
        for (int i = 0; i < kPairs; i += 3, ++sent)
            pairs.at(i)->send();
        QVERIFY(runUntil(
            [&] { return std::accumulate(activations.begin(), activations.end(), 0) >= sent; }));
        TimerRecorder passes;
        passes.startTimer(0);
        QVERIFY(runUntil([&] { return passes.fired.size() >= 5; }));
        for (int i = 0; i < kPairs; ++i)
            QCOMPARE(activations.at(i), i % 3 == 0 ? 1 : 0);
    }
};

SONAVERT_SERVER_TEST_MAIN(EpollEventDispatcherTest)
#include "epoll_event_dispatcher_test.moc"
