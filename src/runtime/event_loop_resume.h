#pragma once

#include <coroutine>

namespace sonavert {

/// Resumes `waiter` from the event loop, never on the caller's stack. Posted to the application
/// object, which outlives every clock, service and script, so a waiter is always resumed and
/// its frame never leaks.
void resumeFromEventLoop(std::coroutine_handle<> waiter);

/// `co_await EventLoopYield()` lets the event loop run once before the coroutine continues.
/// Without an application object there is no loop to yield to, and the coroutine goes on.
struct EventLoopYield {
    bool await_ready() const noexcept;
    void await_suspend(std::coroutine_handle<> waiter) { resumeFromEventLoop(waiter); }
    void await_resume() const noexcept {}
};

} // namespace sonavert
