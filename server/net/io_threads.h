#pragma once

#include "src/runtime/clock.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

namespace sonavert::cloud {

/// A connection whose deadlines the io threads check on the server's clock.
class TimedConnection {
public:
    /// Called on the connection's own io thread with the server's time; closes what ran out.
    virtual void checkDeadline(Duration now) = 0;
    /// Called once the io threads ended, on the owner's thread: lets go of what the connection
    /// holds of itself.
    virtual void abandon() {}

protected:
    ~TimedConnection() = default;
};

/// The threads that carry every connection: one io_context per core the process may run on,
/// each run by one thread, so a connection's handlers never run concurrently. Deadlines are
/// kept on the server's Clock (a test's virtual one included): every half second of it the
/// owner thread lets each io thread finish what the system has ready for it, hands them the
/// time, and has them check their connections.
class IoThreads {
public:
    /// Timeouts are met to within this.
    static constexpr Duration kSweepInterval = std::chrono::milliseconds(500);

    /// `count` threads (at least one), started at once, swept on `clock`, whose thread owns
    /// this object.
    IoThreads(int count, Clock& clock);
    /// Stops the threads, then drops what they still held.
    ~IoThreads();
    IoThreads(const IoThreads&) = delete;
    IoThreads& operator=(const IoThreads&) = delete;

    int size() const { return static_cast<int>(m_lanes.size()); }
    boost::asio::io_context& context(int index);
    /// The context for the next connection: they take turns.
    boost::asio::io_context& next();
    /// Which of the contexts `context` is, 0 to size() - 1.
    int indexOf(const boost::asio::io_context& context) const;
    /// Runs `work` with each thread's index on that thread, and returns once all ran it.
    void runOnEach(const std::function<void(int index)>& work);
    /// Has each thread run `work` with its index as the last thing before stop() ends it:
    /// what a thread opened for itself is closed on it.
    void atStop(std::function<void(int index)> work);
    /// The server's time as of the last sweep: what connections stamp their phases with.
    Duration now() const { return Duration(m_now.load(std::memory_order_relaxed)); }

    /// On the connection's io thread: checked from the next sweep on, until withdrawn.
    void enroll(TimedConnection* connection, const boost::asio::io_context& context);
    void withdraw(TimedConnection* connection, const boost::asio::io_context& context);

    /// Ends the threads (idempotent); nothing runs on them afterwards.
    void stop();

private:
    struct Lane;
    Lane& laneOf(const boost::asio::io_context& context);
    void sweep();
    /// Runs what the system has ready for the lane, and what that leads to, before returning.
    static void settle(Lane& lane);

    Clock& m_clock;
    std::vector<std::unique_ptr<Lane>> m_lanes;
    std::atomic<std::int64_t> m_now;
    std::atomic<unsigned> m_turn{0};
    Clock::TimerId m_sweepTimer = 0;
    std::vector<std::function<void(int)>> m_atStop;
    bool m_isStopped = false;
    bool m_haveEnded = false;
    bool m_isTearingDown = false;
};

/// The cores this process may run on (sched_getaffinity): a server pinned to some (taskset, a
/// container's cpuset) gains nothing from more threads than that, only their switching.
int usableCores();

} // namespace sonavert::cloud
