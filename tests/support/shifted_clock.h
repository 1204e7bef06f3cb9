#pragma once

#include "src/runtime/clock.h"

#include <atomic>

namespace sonavert::test {

/// The system clock with wall time moved on by the test; monotonic time and timers stay real.
/// A server on it in the test's process sees a pairing code expire without anybody waiting,
/// while its devices, real processes, go on in real time. Read from any thread.
class ShiftedClock final : public Clock {
public:
    Timestamp now() const override { return m_system.now().addSeconds(m_shiftSeconds.load()); }
    Duration monotonicNow() const override { return m_system.monotonicNow(); }
    TimerId schedule(Duration delay, std::function<void()> fire) override {
        return m_system.schedule(delay, std::move(fire));
    }
    void cancelScheduled(TimerId id) override { m_system.cancelScheduled(id); }

    void shiftWallClock(double seconds) { m_shiftSeconds += seconds; }

private:
    SystemClock m_system;
    std::atomic<double> m_shiftSeconds{0};
};

} // namespace sonavert::test
