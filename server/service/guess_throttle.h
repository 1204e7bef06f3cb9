#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QHash>
#include <QString>

namespace sonavert::cloud {

/// Counts failed guesses per key (a client address, a guessed code) in a fixed window of
/// monotonic time. Only failures count, so whoever guesses wrong is the one held back.
class GuessThrottle {
public:
    GuessThrottle(Clock& clock, int allowedFailures, Duration window);

    /// THROTTLED, with the seconds until the window ends, once a key has used up its failures.
    Status admit(const QString& key);
    void recordFailure(const QString& key);
    int trackedKeyCount() const { return static_cast<int>(m_entries.size()); }

private:
    struct Entry {
        int failures = 0;
        Duration windowStart{0};
    };
    bool hasExpired(const Entry& entry, Duration now) const;
    void forgetExpired(Duration now);

    Clock& m_clock;
    int m_allowedFailures;
    Duration m_window;
    QHash<QString, Entry> m_entries;
    qsizetype m_sweepAtSize = kFirstSweepSize;
    static constexpr qsizetype kFirstSweepSize = 1024;
};

} // namespace sonavert::cloud
