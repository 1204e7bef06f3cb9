#include "server/service/guess_throttle.h"

#include "server/wire/server_error.h"

#include <algorithm>

namespace sonavert::cloud {

GuessThrottle::GuessThrottle(Clock& clock, int allowedFailures, Duration window)
    : m_clock(clock)
    , m_allowedFailures(allowedFailures)
    , m_window(window) {}

Status GuessThrottle::admit(const QString& key) {
    const Duration now = m_clock.monotonicNow();
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd() || hasExpired(*it, now) || it->failures < m_allowedFailures)
        return {};
    Error error = cloudError(ServerErrorCode::Throttled,
                             QStringLiteral("too many wrong pairing codes; try again later"));
    error.retryAfterSeconds =
        std::chrono::duration<double>(it->windowStart + m_window - now).count();
    return error;
}

void GuessThrottle::recordFailure(const QString& key) {
    const Duration now = m_clock.monotonicNow();
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_sweepAtSize)
            forgetExpired(now);
        it = m_entries.insert(key, Entry{0, now});
    } else if (hasExpired(*it, now)) {
        *it = Entry{0, now};
    }
    ++it->failures;
}

bool GuessThrottle::hasExpired(const Entry& entry, Duration now) const {
    return now - entry.windowStart >= m_window;
}

void GuessThrottle::forgetExpired(Duration now) {
    // A guesser that stopped costs no memory once its window is over.
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (hasExpired(*it, now))
            it = m_entries.erase(it);
        else
            ++it;
    }
    m_sweepAtSize = std::max(kFirstSweepSize, 2 * m_entries.size());
}

} // namespace sonavert::cloud
