#pragma once

#include <QCoro/QCoroTask>
#include <coroutine>
#include <memory>
#include <optional>
#include <vector>

namespace sonavert {

/// The result of one running task that several callers wait for. A QCoro task hands its
/// result to the first awaiter by moving it out, so it cannot be shared directly; this keeps
/// the result and gives every waiter its own copy, whenever it comes.
template <typename T> class SharedTask : public std::enable_shared_from_this<SharedTask<T>> {
public:
    /// Runs `task` to completion and keeps its result for every waiter.
    static std::shared_ptr<SharedTask> start(QCoro::Task<T> task) {
        auto shared = std::shared_ptr<SharedTask>(new SharedTask());
        drive(shared, std::move(task));
        return shared;
    }

    bool isDone() const { return m_result.has_value(); }

    struct Awaiter {
        std::shared_ptr<SharedTask> shared;
        bool await_ready() const noexcept { return shared->isDone(); }
        void await_suspend(std::coroutine_handle<> waiter) { shared->m_waiters.push_back(waiter); }
        T await_resume() const { return *shared->m_result; }
    };
    /// Waits for the result; each waiter gets a copy.
    Awaiter result() { return Awaiter{this->shared_from_this()}; }

private:
    SharedTask() = default;

    static QCoro::Task<> drive(std::shared_ptr<SharedTask> shared, QCoro::Task<T> task) {
        T result = co_await std::move(task);
        shared->m_result.emplace(std::move(result));
        auto waiters = std::move(shared->m_waiters);
        for (auto waiter : waiters)
            waiter.resume();
    }

    std::optional<T> m_result;
    std::vector<std::coroutine_handle<>> m_waiters;
};

} // namespace sonavert
