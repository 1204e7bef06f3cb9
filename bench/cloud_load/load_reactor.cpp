#include "bench/cloud_load/load_reactor.h"

#include <algorithm>
#include <array>
#include <sys/epoll.h>
#include <unistd.h>

namespace sonavert::bench {

LoadReactor::LoadReactor()
    : m_epoll(epoll_create1(EPOLL_CLOEXEC)) {}

LoadReactor::~LoadReactor() {
    ::close(m_epoll);
}

void LoadReactor::watch(int fd, std::uint32_t events, IoHandler handler) {
    m_handlers[fd] = std::move(handler);
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
}

void LoadReactor::rewatch(int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
}

void LoadReactor::unwatch(int fd) {
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_handlers.erase(fd);
}

void LoadReactor::at(SteadyTime when, std::function<void()> task) {
    m_timers.push(Timer{when, m_timerOrder++, std::move(task)});
}

void LoadReactor::runDueTimers(SteadyTime now) {
    while (!m_timers.empty() && m_timers.top().when <= now) {
        auto task = m_timers.top().task;
        m_timers.pop();
        task();
    }
}

void LoadReactor::runUntil(SteadyTime until, const std::function<bool()>& done) {
    std::array<epoll_event, 512> events{};
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        runDueTimers(now);
        if (now >= until || (done && done()))
            return;
        const SteadyTime wake = m_timers.empty() ? until : std::min(until, m_timers.top().when);
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        const int count = epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()),
                                     static_cast<int>(std::max<long>(0, waitMs)));
        for (int i = 0; i < count; ++i) {
            const auto it = m_handlers.find(events[i].data.fd);
            if (it != m_handlers.end()) {
                auto handler = it->second;
                handler(events[i].events);
            }
        }
    }
}

} // namespace sonavert::bench
