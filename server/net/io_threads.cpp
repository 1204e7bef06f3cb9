#include "server/net/io_threads.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <future>
#include <sched.h>
#include <thread>

namespace sonavert::cloud {

namespace asio = boost::asio;

namespace {

/// Rounds of settling at most: a thread that never runs out of work is checked all the same.
constexpr int kMostSettleRounds = 32;

} // namespace

struct IoThreads::Lane {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    /// Handlers run so far; settling watches it stand still.
    std::atomic<std::uint64_t> handled{0};
    /// Touched only on the lane's thread (or once it ended).
    std::unordered_set<TimedConnection*> timed;
    std::thread thread;
};

int usableCores() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return CPU_COUNT(&allowed);
    return static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
}

IoThreads::IoThreads(int count, Clock& clock)
    : m_clock(clock)
    , m_now(clock.monotonicNow().count()) {
    for (int i = 0; i < std::max(1, count); ++i) {
        auto lane = std::make_unique<Lane>();
        lane->thread = std::thread([lane = lane.get()] {
            while (lane->context.run_one() > 0)
                lane->handled.fetch_add(1, std::memory_order_release);
        });
        m_lanes.push_back(std::move(lane));
    }
    m_sweepTimer = m_clock.schedule(kSweepInterval, [this] { sweep(); });
}

IoThreads::~IoThreads() {
    stop();
    for (auto& lane : m_lanes) {
        const std::vector<TimedConnection*> timed(lane->timed.begin(), lane->timed.end());
        for (TimedConnection* connection : timed)
            if (lane->timed.contains(connection))
                connection->abandon();
    }
    // Handlers never run hold the last references to their connections: they go here, on
    // this thread. An accept under way on the first context holds a socket of another one, so
    // the first goes first, while the others still exist.
    m_isTearingDown = true;
    for (auto& lane : m_lanes)
        lane.reset();
}

void IoThreads::stop() {
    if (std::exchange(m_isStopped, true))
        return;
    m_clock.cancelScheduled(m_sweepTimer);
    for (const auto& work : m_atStop)
        runOnEach(work);
    for (auto& lane : m_lanes) {
        lane->work.reset();
        lane->context.stop();
    }
    for (auto& lane : m_lanes)
        lane->thread.join();
    m_haveEnded = true;
}

asio::io_context& IoThreads::context(int index) {
    return m_lanes.at(static_cast<std::size_t>(index))->context;
}

asio::io_context& IoThreads::next() {
    const unsigned turn = m_turn.fetch_add(1, std::memory_order_relaxed);
    return m_lanes[turn % m_lanes.size()]->context;
}

int IoThreads::indexOf(const asio::io_context& context) const {
    for (std::size_t i = 0; i < m_lanes.size(); ++i)
        if (m_lanes[i] && &m_lanes[i]->context == &context)
            return static_cast<int>(i);
    return 0;
}

void IoThreads::runOnEach(const std::function<void(int)>& work) {
    // With the threads gone nothing else runs there: the caller stands in for them.
    if (m_haveEnded) {
        for (int i = 0; i < size(); ++i)
            work(i);
        return;
    }
    std::vector<std::future<void>> done;
    for (std::size_t i = 0; i < m_lanes.size(); ++i) {
        auto ran = std::make_shared<std::promise<void>>();
        done.push_back(ran->get_future());
        asio::post(m_lanes[i]->context, [&work, index = static_cast<int>(i), ran] {
            work(index);
            ran->set_value();
        });
    }
    for (auto& each : done)
        each.wait();
}

void IoThreads::atStop(std::function<void(int)> work) {
    m_atStop.push_back(std::move(work));
}

IoThreads::Lane& IoThreads::laneOf(const asio::io_context& context) {
    for (auto& lane : m_lanes)
        if (lane && &lane->context == &context)
            return *lane;
    return *m_lanes.front();
}

void IoThreads::enroll(TimedConnection* connection, const asio::io_context& context) {
    laneOf(context).timed.insert(connection);
}

void IoThreads::withdraw(TimedConnection* connection, const asio::io_context& context) {
    if (m_isTearingDown)
        return;
    laneOf(context).timed.erase(connection);
}

void IoThreads::settle(Lane& lane) {
    // A timer that is due already completes only after the system was asked what is ready, and
    // after the handlers of what was: when nothing ran between posting it and its firing but
    // the post itself, the lane has taken everything the system held for it.
    for (int round = 0; round < kMostSettleRounds; ++round) {
        const std::uint64_t before = lane.handled.load(std::memory_order_acquire);
        std::promise<std::uint64_t> reached;
        asio::post(lane.context, [&lane, &reached] {
            auto timer = std::make_shared<asio::steady_timer>(lane.context);
            timer->expires_after(std::chrono::nanoseconds(0));
            timer->async_wait([timer, &lane, &reached](const boost::system::error_code&) {
                reached.set_value(lane.handled.load(std::memory_order_acquire));
            });
        });
        if (reached.get_future().get() == before + 1)
            return;
    }
}

void IoThreads::sweep() {
    const Duration now = m_clock.monotonicNow();
    // What came before this instant is stamped with the time of the sweep before it.
    for (auto& lane : m_lanes)
        settle(*lane);
    m_now.store(now.count(), std::memory_order_relaxed);
    for (auto& lane : m_lanes) {
        std::promise<void> checked;
        asio::post(lane->context, [lane = lane.get(), now, &checked] {
            // Closing may withdraw connections: walk a copy.
            const std::vector<TimedConnection*> timed(lane->timed.begin(), lane->timed.end());
            for (TimedConnection* connection : timed)
                if (lane->timed.contains(connection))
                    connection->checkDeadline(now);
            checked.set_value();
        });
        checked.get_future().wait();
    }
    m_sweepTimer = m_clock.schedule(kSweepInterval, [this] { sweep(); });
}

} // namespace sonavert::cloud
