#pragma once

#include "src/runtime/event_loop_resume.h"
#include "src/runtime/result.h"

#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>

namespace sonavert {

/// Meets the two sides of one bounded cloud write, the watchdog and the operation's
/// completion: the waiting caller is resumed exactly once, with the outcome of whichever side
/// arrives first; the other side's outcome is dropped.
///
/// The decision is taken under the lock, but the caller is resumed only after the lock is
/// released and from the event loop (the service's executor), never on the stack of the side
/// that completed it: that side may be inside a cancel() call of its own, and the resumed
/// caller must not run there.
class CompletionGate : public std::enable_shared_from_this<CompletionGate> {
public:
    /// Offers an outcome; true when this was the first, which then resumes the caller.
    bool complete(Status outcome) {
        std::coroutine_handle<> waiter;
        {
            std::lock_guard lock(m_lock);
            if (m_isCompleted)
                return false;
            m_isCompleted = true;
            m_outcome = std::move(outcome);
            waiter = m_waiter;
        }
        if (waiter)
            resumeFromEventLoop(waiter);
        return true;
    }

    bool isCompleted() const {
        std::lock_guard lock(m_lock);
        return m_isCompleted;
    }

    struct Awaiter {
        std::shared_ptr<CompletionGate> gate;
        bool await_ready() const noexcept { return gate->isCompleted(); }
        bool await_suspend(std::coroutine_handle<> waiter) {
            std::lock_guard lock(gate->m_lock);
            if (gate->m_isCompleted)
                return false; // completed meanwhile: do not suspend
            gate->m_waiter = waiter;
            return true;
        }
        Status await_resume() const { return *gate->m_outcome; }
    };
    /// Suspends until the first outcome arrives.
    Awaiter outcome() { return Awaiter{shared_from_this()}; }

private:
    mutable std::mutex m_lock;
    bool m_isCompleted = false;
    std::optional<Status> m_outcome;
    std::coroutine_handle<> m_waiter;
};

} // namespace sonavert
