#include "src/runtime/clock.h"

#include "src/runtime/event_loop_resume.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <optional>

namespace sonavert {

namespace detail {

struct SleepState {
    /// A sleep can end after its clock: a cancelled one then has nothing to unschedule.
    QPointer<Clock> clock;
    Clock::TimerId timerId = 0;
    std::coroutine_handle<> waiter;
    bool isFinished = false;
    bool hasElapsed = false;
    std::optional<std::stop_callback<std::function<void()>>> onStop;
};

namespace {

void finish(const std::shared_ptr<SleepState>& state, bool hasElapsed) {
    if (state->isFinished)
        return;
    state->isFinished = true;
    state->hasElapsed = hasElapsed;
    if (hasElapsed) {
        state->waiter.resume();
        return;
    }
    if (state->clock)
        state->clock->cancelScheduled(state->timerId);
    resumeFromEventLoop(state->waiter);
}

} // namespace
} // namespace detail

SleepAwaitable::SleepAwaitable(Clock* clock, Duration delay, std::stop_token token)
    : m_clock(clock)
    , m_delay(delay)
    , m_token(std::move(token)) {}

bool SleepAwaitable::await_ready() const noexcept {
    return m_token.stop_requested();
}

void SleepAwaitable::await_suspend(std::coroutine_handle<> waiter) {
    m_state = std::make_shared<detail::SleepState>();
    m_state->clock = m_clock;
    m_state->waiter = waiter;
    std::weak_ptr<detail::SleepState> weak = m_state;
    m_state->timerId = m_clock->schedule(std::max(m_delay, Duration::zero()), [weak] {
        if (auto state = weak.lock())
            detail::finish(state, true);
    });
    if (m_token.stop_possible()) {
        m_state->onStop.emplace(m_token, std::function<void()>([weak] {
                                    if (auto state = weak.lock())
                                        detail::finish(state, false);
                                }));
    }
}

bool SleepAwaitable::await_resume() const noexcept {
    return m_state && m_state->hasElapsed;
}

Clock::~Clock() = default;

void runPendingEvents() {
    auto* dispatcher = QCoreApplication::eventDispatcher();
    // Each pass may post more work (a resumed coroutine posting the next resumption); stop
    // after a few idle passes in a row.
    for (int idlePasses = 0, total = 0; idlePasses < 3 && total < 100000; ++total) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const bool didWork = dispatcher && dispatcher->processEvents(QEventLoop::AllEvents);
        idlePasses = didWork ? 0 : idlePasses + 1;
    }
}

Timestamp SystemClock::now() const {
    using Seconds = std::chrono::duration<double>;
    return Timestamp::fromUnixSeconds(
        std::chrono::duration_cast<Seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

Duration SystemClock::monotonicNow() const {
    return std::chrono::duration_cast<Duration>(
        std::chrono::steady_clock::now().time_since_epoch());
}

Clock::TimerId SystemClock::schedule(Duration delay, std::function<void()> fire) {
    const TimerId id = m_nextId++;
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
    timer->setInterval(ms);
    connect(timer.get(), &QTimer::timeout, this, [this, id, fire = std::move(fire)] {
        auto found = m_timers.find(id);
        if (found == m_timers.end())
            return;
        found->second.release()->deleteLater();
        m_timers.erase(found);
        fire();
    });
    timer->start();
    m_timers.emplace(id, std::move(timer));
    return id;
}

void SystemClock::cancelScheduled(TimerId id) {
    auto found = m_timers.find(id);
    if (found == m_timers.end())
        return;
    found->second->stop();
    found->second.release()->deleteLater();
    m_timers.erase(found);
}

} // namespace sonavert
