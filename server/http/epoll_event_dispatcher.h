#pragma once

#include "server/http/timer_schedule.h"

#include <QAbstractEventDispatcher>
#include <array>
#include <atomic>
#include <cstdint>
#include <unordered_map>

struct epoll_event;

namespace sonavert::cloud {

/// The server's event loop: waits with epoll, so a wake-up costs what is ready rather than
/// every socket held. Qt's own dispatchers (glib, or poll()) hand the kernel the whole list of
/// descriptors on each wake-up, which with tens of thousands of idle push channels made every
/// request pay for all of them. Each descriptor is registered once, its read, write and
/// exception notifiers merged into one interest; wakeUp() and interrupt() write an eventfd;
/// timers wait in a TimerSchedule.
class EpollEventDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit EpollEventDispatcher(QObject* parent = nullptr);
    ~EpollEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;
    /// Both may be called from any thread.
    void wakeUp() override;
    void interrupt() override;

private:
    /// The notifiers of one descriptor (by QSocketNotifier::Type) and its registration's
    /// generation, which tells readiness of a closed descriptor from that of its successor.
    struct Watch {
        std::array<QSocketNotifier*, 3> notifiers{};
        std::uint32_t generation = 0;
        std::uint32_t events = 0;
    };

    void updateInterest(int fd, Watch& watch);
    int waitTimeout(QEventLoop::ProcessEventsFlags flags) const;
    int activate(const epoll_event* events, int count);
    int activateNotifiers(int fd, std::uint32_t generation, std::uint32_t ready);
    void drainWakeUps();

    int m_epoll = -1;
    /// Holds only the eventfd: waited on when socket notifiers are excluded.
    int m_wakeEpoll = -1;
    int m_wakeFd = -1;
    std::atomic<bool> m_isWakePending{false};
    std::atomic<bool> m_isInterrupted{false};
    std::unordered_map<int, Watch> m_watches;
    std::uint32_t m_nextGeneration = 0;
    TimerSchedule m_timers;
};

/// Installs an EpollEventDispatcher for the main thread; call before the application object
/// exists. SONAVERT_CLOUD_EVENT_DISPATCHER=qt keeps Qt's own (for comparing the two).
void installServerEventDispatcher();

} // namespace sonavert::cloud
