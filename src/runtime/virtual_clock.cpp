#include "src/runtime/virtual_clock.h"

namespace sonavert {

VirtualClock::VirtualClock(Timestamp start)
    : m_start(start) {}

Timestamp VirtualClock::now() const {
    const double elapsed = std::chrono::duration<double>(m_monotonic).count();
    return m_start.addSeconds(elapsed + m_wallShift);
}

Clock::TimerId VirtualClock::schedule(Duration delay, std::function<void()> fire) {
    const TimerId id = m_nextId++;
    m_timers.emplace(m_monotonic + std::max(delay, Duration::zero()), Entry{id, std::move(fire)});
    return id;
}

void VirtualClock::cancelScheduled(TimerId id) {
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->second.id == id) {
            m_timers.erase(it);
            return;
        }
    }
}

void VirtualClock::drainEvents() {
    runPendingEvents();
}

void VirtualClock::fireDueAt(Duration instant) {
    // Timers scheduled while firing at this instant with zero delay fire in this loop too.
    while (!m_timers.empty() && m_timers.begin()->first <= instant) {
        auto node = m_timers.extract(m_timers.begin());
        m_monotonic = std::max(m_monotonic, node.key());
        node.mapped().fire();
        drainEvents();
    }
}

void VirtualClock::advance(Duration delta) {
    const Duration target = m_monotonic + delta;
    drainEvents();
    while (!m_timers.empty() && m_timers.begin()->first <= target)
        fireDueAt(m_timers.begin()->first);
    m_monotonic = target;
    drainEvents();
}

bool VirtualClock::advanceToNextTimer() {
    drainEvents();
    if (m_timers.empty())
        return false;
    fireDueAt(m_timers.begin()->first);
    return true;
}

std::optional<Duration> VirtualClock::nextTimerIn() const {
    if (m_timers.empty())
        return std::nullopt;
    return m_timers.begin()->first - m_monotonic;
}

bool VirtualClock::runUntil(const std::function<bool()>& condition, Duration limit) {
    const Duration deadline = m_monotonic + limit;
    drainEvents();
    while (!condition()) {
        if (m_timers.empty() || m_timers.begin()->first > deadline) {
            m_monotonic = std::max(m_monotonic, deadline);
            drainEvents();
            return condition();
        }
        fireDueAt(m_timers.begin()->first);
    }
    return true;
}

} // namespace sonavert
