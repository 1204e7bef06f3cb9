#pragma once

#include <stop_token>

namespace sonavert {

/// Handle of background tasks: each task keeps `token()` and checks it after every suspension,
/// ending once it is cancelled; a sleep on the clock given the token wakes at once.
///
/// Destroying the handle cancels, so an object that owns the handle of what it started never
/// has a task resume into it after it is gone: keep the handle as the owner's last member, so
/// it goes (and cancels) before anything the tasks use. The token stays readable after the
/// owner is gone, which is what makes the check safe.
///
/// The handle stays valid (and reports the cancellation) after `cancel()`, so an owner can
/// tell "cancelled" from "never started".
class TaskHandle {
public:
    TaskHandle() = default;
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;
    ~TaskHandle() { cancel(); }

    std::stop_token token() const { return m_source.get_token(); }
    void cancel() { m_source.request_stop(); }
    bool isCancelled() const { return m_source.stop_requested(); }

private:
    std::stop_source m_source;
};

} // namespace sonavert
