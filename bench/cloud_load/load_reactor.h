#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <queue>
#include <unordered_map>
#include <vector>

namespace sonavert::bench {

using SteadyTime = std::chrono::steady_clock::time_point;

/// `seconds` from now.
inline SteadyTime after(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds));
}

/// One epoll loop with timers: the load generator runs every connection on it, so it costs
/// one core at most and can be pinned like the server.
class LoadReactor {
public:
    using IoHandler = std::function<void(std::uint32_t events)>;

    LoadReactor();
    ~LoadReactor();
    LoadReactor(const LoadReactor&) = delete;
    LoadReactor& operator=(const LoadReactor&) = delete;

    void watch(int fd, std::uint32_t events, IoHandler handler);
    void rewatch(int fd, std::uint32_t events);
    void unwatch(int fd);
    void at(SteadyTime when, std::function<void()> task);
    /// Runs until `until` or until `done` says so (checked after every wake).
    void runUntil(SteadyTime until, const std::function<bool()>& done = {});

private:
    struct Timer {
        SteadyTime when;
        std::uint64_t order;
        std::function<void()> task;
        bool operator>(const Timer& other) const {
            return when != other.when ? when > other.when : order > other.order;
        }
    };
    void runDueTimers(SteadyTime now);

    int m_epoll = -1;
    std::uint64_t m_timerOrder = 0;
    std::unordered_map<int, IoHandler> m_handlers;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> m_timers;
};

} // namespace sonavert::bench
