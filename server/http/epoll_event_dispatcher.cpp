#include "server/http/epoll_event_dispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sonavert::cloud {

namespace {

Q_LOGGING_CATEGORY(lcDispatcher, "sonavert.cloud.dispatcher")

/// Ready descriptors taken per wait; more stay ready (level-triggered) for the next one.
constexpr int kMaxEvents = 256;
/// The eventfd's tag in epoll's data; a socket's is its generation (never all ones) and fd.
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};

/// What each notifier type waits for, and the readiness that activates it (as Qt's own
/// dispatcher does, a hang-up or error wakes all three, so each sees the failure).
struct Interest {
    std::uint32_t wanted;
    std::uint32_t activating;
};
constexpr std::array<Interest, 3> kInterests{{
    {EPOLLIN, EPOLLIN | EPOLLHUP | EPOLLERR},   // QSocketNotifier::Read
    {EPOLLOUT, EPOLLOUT | EPOLLHUP | EPOLLERR}, // QSocketNotifier::Write
    {EPOLLPRI, EPOLLPRI | EPOLLHUP | EPOLLERR}, // QSocketNotifier::Exception
}};

std::uint64_t tagOf(int fd, std::uint32_t generation) {
    return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd);
}

int addToEpoll(int epoll, int fd, std::uint64_t tag) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(epoll_create1(EPOLL_CLOEXEC))
    , m_wakeEpoll(epoll_create1(EPOLL_CLOEXEC))
    , m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Without these the loop cannot run at all; failing loudly beats a server that never wakes.
    if (m_epoll < 0 || m_wakeEpoll < 0 || m_wakeFd < 0 ||
        addToEpoll(m_epoll, m_wakeFd, kWakeTag) != 0 ||
        addToEpoll(m_wakeEpoll, m_wakeFd, kWakeTag) != 0)
        qFatal("cannot set up the epoll event loop: %s", strerror(errno));
}

EpollEventDispatcher::~EpollEventDispatcher() {
    for (const int fd : {m_epoll, m_wakeEpoll, m_wakeFd})
        close(fd);
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    m_isInterrupted.store(false);
    Q_EMIT awake();
    QCoreApplication::sendPostedEvents();
    if (m_isInterrupted.load())
        return false;
    // Events posted from here on call wakeUp(), which makes the wait below return at once.
    const int timeout = waitTimeout(flags);
    if (timeout != 0)
        Q_EMIT aboutToBlock();
    const bool includesSockets = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
    std::array<epoll_event, kMaxEvents> ready{};
    int count =
        epoll_wait(includesSockets ? m_epoll : m_wakeEpoll, ready.data(), kMaxEvents, timeout);
    if (count < 0) {
        if (errno != EINTR)
            qCWarning(lcDispatcher) << "epoll_wait failed:" << strerror(errno);
        count = 0;
    }
    int handled = activate(ready.data(), count);
    if (!flags.testFlag(QEventLoop::X11ExcludeTimers))
        handled += m_timers.fireDue(std::chrono::steady_clock::now());
    return handled > 0;
}

int EpollEventDispatcher::waitTimeout(QEventLoop::ProcessEventsFlags flags) const {
    if (!flags.testFlag(QEventLoop::WaitForMoreEvents) || m_isInterrupted.load())
        return 0;
    if (flags.testFlag(QEventLoop::X11ExcludeTimers))
        return -1;
    return m_timers.waitMs(std::chrono::steady_clock::now());
}

int EpollEventDispatcher::activate(const epoll_event* events, int count) {
    int handled = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kWakeTag) {
            drainWakeUps();
            continue;
        }
        handled += activateNotifiers(static_cast<int>(tag & 0xffffffffU),
                                     static_cast<std::uint32_t>(tag >> 32), events[i].events);
    }
    return handled;
}

int EpollEventDispatcher::activateNotifiers(int fd, std::uint32_t generation, std::uint32_t ready) {
    int handled = 0;
    for (std::size_t type = 0; type < kInterests.size(); ++type) {
        // Looked up again for each: an earlier handler may have disabled or deleted any of
        // them, or closed the descriptor and registered its number anew.
        const auto it = m_watches.find(fd);
        if (it == m_watches.end() || it->second.generation != generation)
            return handled;
        QSocketNotifier* notifier = it->second.notifiers.at(type);
        if (notifier == nullptr || (ready & kInterests.at(type).activating) == 0)
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++handled;
    }
    return handled;
}

void EpollEventDispatcher::drainWakeUps() {
    eventfd_t value = 0;
    eventfd_read(m_wakeFd, &value);
    // Cleared after the read: a wakeUp() in between finds the flag set and skips its write,
    // but its event was posted before this pass ends, and the next pass sends it first.
    m_isWakePending.store(false);
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const int fd = static_cast<int>(notifier->socket());
    const auto type = static_cast<std::size_t>(notifier->type());
    auto [it, isNew] = m_watches.try_emplace(fd);
    if (isNew)
        it->second.generation = ++m_nextGeneration;
    if (it->second.notifiers.at(type) != nullptr && it->second.notifiers.at(type) != notifier)
        qCWarning(lcDispatcher) << "a second notifier of the same type for descriptor" << fd
                                << "replaces the first";
    it->second.notifiers.at(type) = notifier;
    updateInterest(fd, it->second);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    const int fd = static_cast<int>(notifier->socket());
    const auto it = m_watches.find(fd);
    const auto type = static_cast<std::size_t>(notifier->type());
    if (it == m_watches.end() || it->second.notifiers.at(type) != notifier)
        return;
    it->second.notifiers.at(type) = nullptr;
    updateInterest(fd, it->second);
}

void EpollEventDispatcher::updateInterest(int fd, Watch& watch) {
    std::uint32_t events = 0;
    for (std::size_t type = 0; type < kInterests.size(); ++type)
        if (watch.notifiers.at(type) != nullptr)
            events |= kInterests.at(type).wanted;
    if (events == watch.events)
        return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = tagOf(fd, watch.generation);
    const int op = watch.events == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    // Removing a descriptor already closed fails harmlessly: closing it took it out of epoll;
    // for the same reason a descriptor closed under its notifiers and reused is added anew.
    int failed = epoll_ctl(m_epoll, op, fd, &event);
    if (failed != 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
        failed = epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    if (failed != 0 && op != EPOLL_CTL_DEL)
        qCWarning(lcDispatcher) << "cannot watch descriptor" << fd << ":" << strerror(errno);
    watch.events = events;
    if (events == 0)
        m_watches.erase(fd);
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject* object) {
    m_timers.add(timerId, interval, timerType, object, std::chrono::steady_clock::now());
}

bool EpollEventDispatcher::unregisterTimer(int timerId) {
    return m_timers.remove(timerId);
}

bool EpollEventDispatcher::unregisterTimers(QObject* object) {
    return m_timers.removeAll(object);
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollEventDispatcher::registeredTimers(QObject* object) const {
    return m_timers.timersOf(object);
}

int EpollEventDispatcher::remainingTime(int timerId) {
    return m_timers.remainingMs(timerId, std::chrono::steady_clock::now());
}

void EpollEventDispatcher::wakeUp() {
    // One write per wake-up however many events are posted before the loop runs.
    if (!m_isWakePending.exchange(true))
        eventfd_write(m_wakeFd, 1);
}

void EpollEventDispatcher::interrupt() {
    m_isInterrupted.store(true);
    wakeUp();
}

void installServerEventDispatcher() {
    if (qEnvironmentVariable("SONAVERT_CLOUD_EVENT_DISPATCHER") == QLatin1String("qt"))
        return;
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
}

} // namespace sonavert::cloud
