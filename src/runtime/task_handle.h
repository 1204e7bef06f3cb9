#pragma once

#include <stop_token>

namespace sonavert {

/// Handle of a background task: the task checks `token()` before each step and ends when it
/// is cancelled. The handle stays valid (and reports the cancellation) after `cancel()`, so an
/// owner can tell "cancelled" from "never started".
class TaskHandle {
public:
    std::stop_token token() const { return m_source.get_token(); }
    void cancel() { m_source.request_stop(); }
    bool isCancelled() const { return m_source.stop_requested(); }

private:
    std::stop_source m_source;
};

} // namespace sonavert
