#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QHash>
#include <QString>
#include <list>

namespace sonavert::cloud {

/// Counts failed guesses per guesser in a fixed window of monotonic time. A guesser is a client
/// address, IPv6 ones taken by their /64: one subscriber's network hands out its addresses for
/// nothing. Only failures count, so whoever guesses wrong is the one held back. At most
/// `maxTracked` guessers are remembered; past that the one whose window began first is forgotten.
class GuessThrottle {
public:
    GuessThrottle(Clock& clock, int allowedFailures, Duration window,
                  int maxTracked = kDefaultMaxTracked);

    /// THROTTLED, with the seconds until the window ends, once a guesser has used up its
    /// failures.
    Status admit(const QString& clientAddress);
    /// True when this failure used up the guesser's allowance.
    bool recordFailure(const QString& clientAddress);
    int trackedKeyCount() const { return static_cast<int>(m_entries.size()); }

    /// The address itself for IPv4 (also as an IPv4-mapped IPv6 address), "PREFIX::/64" for
    /// IPv6, the text as it is for anything unreadable.
    static QString guesserOf(const QString& clientAddress);

    static constexpr int kDefaultMaxTracked = 16384;

private:
    struct Entry {
        int failures = 0;
        Duration windowStart{0};
        /// Its place in m_byAge.
        std::list<QString>::iterator age;
    };
    bool hasExpired(const Entry& entry, Duration now) const;
    void forgetExpired(Duration now);
    Entry& startWindow(const QString& guesser, Duration now);

    Clock& m_clock;
    int m_allowedFailures;
    Duration m_window;
    int m_maxTracked;
    QHash<QString, Entry> m_entries;
    /// Guessers by the start of their window, oldest first: windows start at the monotonic now,
    /// so appending keeps the order, and the expired ones are always at the front.
    std::list<QString> m_byAge;
};

} // namespace sonavert::cloud
