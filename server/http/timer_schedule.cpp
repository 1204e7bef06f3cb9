#include "server/http/timer_schedule.h"

#include <QCoreApplication>
#include <QTimerEvent>
#include <algorithm>
#include <climits>

namespace sonavert::cloud {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kOneSecond{1000};

/// Whole milliseconds from `now` to `until`, rounded up so a wait never ends before it.
int millisecondsUntil(TimerSchedule::TimePoint until, TimerSchedule::TimePoint now) {
    if (until <= now)
        return 0;
    const auto waited = std::chrono::ceil<milliseconds>(until - now).count();
    return static_cast<int>(std::min<std::int64_t>(waited, INT_MAX));
}

/// Qt's own reading of the timer types: below 20 ms 5 % is under a millisecond, so a coarse
/// timer is precise there; from 20 s on it is as coarse as a very coarse one.
Qt::TimerType effectiveType(Qt::TimerType type, qint64 intervalMs) {
    if (type == Qt::CoarseTimer && intervalMs < 20)
        return Qt::PreciseTimer;
    if (type == Qt::CoarseTimer && intervalMs >= 20'000)
        return Qt::VeryCoarseTimer;
    return type;
}

} // namespace

void TimerSchedule::add(int id, qint64 intervalMs, Qt::TimerType type, QObject* object,
                        TimePoint now) {
    remove(id);
    Timer timer;
    timer.type = effectiveType(type, intervalMs);
    // A very coarse timer counts in whole seconds.
    timer.intervalMs = timer.type == Qt::VeryCoarseTimer ? (intervalMs + 500) / 1000 * 1000
                                                         : std::max<qint64>(0, intervalMs);
    timer.object = object;
    timer.deadline = now + milliseconds(timer.intervalMs);
    timer.serial = ++m_nextSerial;
    m_order.emplace(OrderKey{timer.deadline, timer.serial}, id);
    m_byObject[object].push_back(id);
    m_timers.emplace(id, timer);
}

bool TimerSchedule::remove(int id) {
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return false;
    // A timer being fired is out of the order until its handler returns.
    if (!it->second.isFiring)
        m_order.erase(OrderKey{it->second.deadline, it->second.serial});
    unindex(id, it->second);
    m_timers.erase(it);
    return true;
}

bool TimerSchedule::removeAll(QObject* object) {
    const auto it = m_byObject.find(object);
    if (it == m_byObject.end())
        return false;
    const std::vector<int> ids = it->second;
    for (const int id : ids)
        remove(id);
    return true;
}

QList<QAbstractEventDispatcher::TimerInfo> TimerSchedule::timersOf(QObject* object) const {
    QList<QAbstractEventDispatcher::TimerInfo> infos;
    const auto it = m_byObject.find(object);
    if (it == m_byObject.end())
        return infos;
    for (const int id : it->second) {
        const Timer& timer = m_timers.at(id);
        infos.append({id, static_cast<int>(timer.intervalMs), timer.type});
    }
    return infos;
}

int TimerSchedule::remainingMs(int id, TimePoint now) const {
    const auto it = m_timers.find(id);
    return it == m_timers.end() ? -1 : millisecondsUntil(it->second.deadline, now);
}

int TimerSchedule::waitMs(TimePoint now) const {
    if (m_order.empty())
        return -1;
    // The soonest any timer must fire: only timers due before the best so far can beat it.
    TimePoint latest = TimePoint::max();
    for (auto it = m_order.begin(); it != m_order.end() && it->first.first < latest; ++it)
        latest = std::min(latest, it->first.first + slackOf(m_timers.at(it->second)));
    return millisecondsUntil(latest, now);
}

int TimerSchedule::fireDue(TimePoint now) {
    // Taken first: a timer re-armed while firing (interval 0) waits for the next pass.
    std::vector<std::pair<int, std::uint64_t>> due;
    for (auto it = m_order.begin(); it != m_order.end() && it->first.first <= now; ++it)
        due.emplace_back(it->second, it->first.second);
    int fired = 0;
    for (const auto& [id, serial] : due)
        fired += fire(id, serial, now) ? 1 : 0;
    return fired;
}

bool TimerSchedule::fire(int id, std::uint64_t serial, TimePoint now) {
    auto it = m_timers.find(id);
    // Killed by an earlier handler of this pass, perhaps with its id given to a new timer.
    if (it == m_timers.end() || it->second.serial != serial || it->second.isFiring)
        return false;
    Timer& timer = it->second;
    m_order.erase(OrderKey{timer.deadline, serial});
    timer.deadline = nextDeadline(timer, now);
    timer.isFiring = true;
    QTimerEvent event(id);
    QCoreApplication::sendEvent(timer.object, &event);
    // The handler may have killed it, or killed it and started another under the same id.
    it = m_timers.find(id);
    if (it != m_timers.end() && it->second.serial == serial) {
        it->second.isFiring = false;
        m_order.emplace(OrderKey{it->second.deadline, serial}, id);
    }
    return true;
}

void TimerSchedule::unindex(int id, const Timer& timer) {
    const auto it = m_byObject.find(timer.object);
    if (it == m_byObject.end())
        return;
    std::erase(it->second, id);
    if (it->second.empty())
        m_byObject.erase(it);
}

TimerSchedule::TimePoint TimerSchedule::nextDeadline(const Timer& timer, TimePoint now) {
    const milliseconds interval(timer.intervalMs);
    const TimePoint next = timer.deadline + interval;
    // Intervals missed while the loop was busy are skipped, not fired in a burst.
    return next > now ? next : now + interval;
}

std::chrono::milliseconds TimerSchedule::slackOf(const Timer& timer) {
    switch (timer.type) {
    case Qt::PreciseTimer:
        return milliseconds(0);
    case Qt::CoarseTimer:
        return milliseconds(timer.intervalMs / 20);
    case Qt::VeryCoarseTimer:
        return kOneSecond / 2;
    }
    return milliseconds(0);
}

} // namespace sonavert::cloud
