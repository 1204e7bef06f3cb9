#pragma once

#include <QAbstractEventDispatcher>
#include <QList>
#include <chrono>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sonavert::cloud {

/// The Qt timers of one event loop, ordered by deadline: finding the next one to wait for
/// costs a look at the front, not a walk over all of them. A coarse timer may fire up to 5 %
/// of its interval late and a very coarse one (whole seconds) up to half a second late, so
/// that one wake-up serves several; a precise one fires at its millisecond.
class TimerSchedule {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    void add(int id, qint64 intervalMs, Qt::TimerType type, QObject* object, TimePoint now);
    bool remove(int id);
    bool removeAll(QObject* object);
    QList<QAbstractEventDispatcher::TimerInfo> timersOf(QObject* object) const;
    /// Milliseconds until the timer is due (0 when it is), -1 when there is no such timer.
    int remainingMs(int id, TimePoint now) const;
    /// Milliseconds an event loop may block before a timer must fire; -1 when none waits.
    int waitMs(TimePoint now) const;
    /// Sends a QTimerEvent for every timer due at `now`, each once, in deadline order; a timer
    /// whose handler runs a nested loop is not fired again from it. Returns how many fired.
    int fireDue(TimePoint now);

private:
    struct Timer {
        qint64 intervalMs = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        TimePoint deadline;
        std::uint64_t serial = 0;
        bool isFiring = false;
    };
    using OrderKey = std::pair<TimePoint, std::uint64_t>;

    bool fire(int id, std::uint64_t serial, TimePoint now);
    void unindex(int id, const Timer& timer);
    static TimePoint nextDeadline(const Timer& timer, TimePoint now);
    static std::chrono::milliseconds slackOf(const Timer& timer);

    std::unordered_map<int, Timer> m_timers;
    std::map<OrderKey, int> m_order;
    std::unordered_map<QObject*, std::vector<int>> m_byObject;
    std::uint64_t m_nextSerial = 0;
};

} // namespace sonavert::cloud
