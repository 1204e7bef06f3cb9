#pragma once

#include "src/runtime/clock.h"

#include <functional>
#include <map>

namespace sonavert {

/// A clock whose time moves only when a test moves it. Between timer firings it runs the
/// event loop, so coroutines resumed by one firing reach their next suspension before the
/// next timer fires, exactly as they would in real time.
class VirtualClock final : public Clock {
    Q_OBJECT
public:
    /// Starts at `start` wall time (default: 2026-01-01 00:00:00 UTC) and monotonic zero.
    explicit VirtualClock(Timestamp start = Timestamp::fromUnixSeconds(1767225600.0));

    Timestamp now() const override;
    Duration monotonicNow() const override { return m_monotonic; }
    TimerId schedule(Duration delay, std::function<void()> fire) override;
    void cancelScheduled(TimerId id) override;

    /// Moves time forward by `delta`, firing every timer that falls due, in order.
    void advance(Duration delta);
    /// Moves time to the next timer and fires it (and any due at the same instant).
    /// Returns false, without moving time, when no timer is pending.
    bool advanceToNextTimer();
    /// Advances timer by timer until `condition` holds or `limit` of virtual time has passed.
    /// Returns whether the condition holds.
    bool runUntil(const std::function<bool()>& condition, Duration limit);
    /// Runs posted events and coroutine resumptions until nothing is left to do.
    static void drainEvents();

    /// Shifts wall time without touching monotonic time (a clock set wrong, or corrected).
    void shiftWallClock(double seconds) { m_wallShift += seconds; }
    std::size_t pendingTimerCount() const { return m_timers.size(); }
    /// Time until the next pending timer, if any.
    std::optional<Duration> nextTimerIn() const;

private:
    struct Entry {
        TimerId id;
        std::function<void()> fire;
    };
    void fireDueAt(Duration instant);

    Timestamp m_start;
    Duration m_monotonic{0};
    double m_wallShift = 0.0;
    TimerId m_nextId = 1;
    std::multimap<Duration, Entry> m_timers;
};

} // namespace sonavert
