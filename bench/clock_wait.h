#pragma once

// Waits for a condition on the benches' real clock, looking again every `poll`: the benches
// measure how long real devices take, so they cannot step a virtual clock instead.

#include "src/runtime/clock.h"

#include <QCoroTask>
#include <functional>
#include <memory>

namespace sonavert::bench {

inline QCoro::Task<bool> waitUntil(std::shared_ptr<Clock> clock, std::function<bool()> condition,
                                   Duration limit, Duration poll = std::chrono::milliseconds(2)) {
    const Duration deadline = clock->monotonicNow() + limit;
    while (!condition()) {
        if (clock->monotonicNow() > deadline)
            co_return false;
        co_await clock->sleep(poll);
    }
    co_return true;
}

} // namespace sonavert::bench
