#pragma once

#include "src/runtime/timestamp.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <coroutine>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>

namespace sonavert {

using Duration = std::chrono::nanoseconds;

/// A duration in seconds, with its fraction.
inline double secondsOf(Duration d) {
    return std::chrono::duration<double>(d).count();
}
using namespace std::chrono_literals;

namespace detail {
struct SleepState;
}

/// Awaitable returned by Clock::sleep: resumes with true when the full time passed and with
/// false when the stop token was triggered first. A cancelled sleep resumes from the event
/// loop, never inside the caller of request_stop(), so cancelling never runs a loop body on the
/// canceller's stack.
class SleepAwaitable {
public:
    SleepAwaitable(class Clock* clock, Duration delay, std::stop_token token);

    bool await_ready() const noexcept;
    void await_suspend(std::coroutine_handle<> waiter);
    bool await_resume() const noexcept;

private:
    class Clock* m_clock;
    Duration m_delay;
    std::stop_token m_token;
    std::shared_ptr<detail::SleepState> m_state;
};

/// The one source of time: wall time, monotonic time and timers. Production code never reads
/// the system clock or starts a QTimer for a delay itself, so tests can run it on VirtualClock.
/// A clock and everything scheduled on it belong to the thread that created the clock.
class Clock : public QObject {
    Q_OBJECT
public:
    using TimerId = quint64;

    ~Clock() override;

    /// Wall-clock time.
    virtual Timestamp now() const = 0;
    /// Monotonic time since an arbitrary origin; never jumps.
    virtual Duration monotonicNow() const = 0;

    /// Calls `fire` once after `delay` of monotonic time, from the event loop.
    virtual TimerId schedule(Duration delay, std::function<void()> fire) = 0;
    /// Forgets a scheduled call; unknown or already fired ids are ignored.
    virtual void cancelScheduled(TimerId id) = 0;

    /// Sleeps on the monotonic clock, precisely, and can be cut short by `token`.
    [[nodiscard]] SleepAwaitable sleep(Duration delay, std::stop_token token = {}) {
        return SleepAwaitable(this, delay, std::move(token));
    }
};

/// Runs posted events and coroutine resumptions (including deferred deletes) until nothing is
/// left to do. Used after the event loop has ended, so that tasks woken by a cancellation
/// finish before the objects they use are destroyed, and by VirtualClock between firings.
void runPendingEvents();

/// The real clock: system wall time, steady monotonic time, precise QTimers.
class SystemClock final : public Clock {
    Q_OBJECT
public:
    Timestamp now() const override;
    Duration monotonicNow() const override;
    TimerId schedule(Duration delay, std::function<void()> fire) override;
    void cancelScheduled(TimerId id) override;

private:
    TimerId m_nextId = 1;
    std::map<TimerId, std::unique_ptr<QTimer>> m_timers;
};

} // namespace sonavert
