#include "server/service/guess_throttle.h"

#include "server/wire/server_error.h"

#include <QHostAddress>
#include <algorithm>
#include <iterator>

namespace sonavert::cloud {

GuessThrottle::GuessThrottle(Clock& clock, int allowedFailures, Duration window, int maxTracked)
    : m_clock(clock)
    , m_allowedFailures(allowedFailures)
    , m_window(window)
    , m_maxTracked(std::max(1, maxTracked)) {}

QString GuessThrottle::guesserOf(const QString& clientAddress) {
    const QHostAddress address(clientAddress);
    if (address.isNull() || address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.isNull() ? clientAddress : address.toString();
    bool isMapped = false;
    const quint32 v4 = address.toIPv4Address(&isMapped);
    if (isMapped)
        return QHostAddress(v4).toString();
    Q_IPV6ADDR prefix = address.toIPv6Address();
    std::fill(std::begin(prefix.c) + 8, std::end(prefix.c), quint8(0));
    return QHostAddress(prefix).toString() + QStringLiteral("/64");
}

Status GuessThrottle::admit(const QString& clientAddress) {
    const Duration now = m_clock.monotonicNow();
    const auto it = m_entries.constFind(guesserOf(clientAddress));
    if (it == m_entries.constEnd() || hasExpired(*it, now) || it->failures < m_allowedFailures)
        return {};
    Error error = cloudError(ServerErrorCode::Throttled,
                             QStringLiteral("too many wrong pairing codes; try again later"));
    error.retryAfterSeconds =
        std::chrono::duration<double>(it->windowStart + m_window - now).count();
    return error;
}

bool GuessThrottle::recordFailure(const QString& clientAddress) {
    const Duration now = m_clock.monotonicNow();
    const QString guesser = guesserOf(clientAddress);
    forgetExpired(now);
    auto it = m_entries.find(guesser);
    Entry& entry = it == m_entries.end() ? startWindow(guesser, now) : *it;
    return ++entry.failures == m_allowedFailures;
}

GuessThrottle::Entry& GuessThrottle::startWindow(const QString& guesser, Duration now) {
    // Forgetting the oldest gives one allowance back, to a guesser who had to bring as many
    // other addresses, each with its own: memory stays bounded however many addresses guess.
    if (m_entries.size() >= m_maxTracked) {
        m_entries.remove(m_byAge.front());
        m_byAge.pop_front();
    }
    m_byAge.push_back(guesser);
    return *m_entries.insert(guesser, Entry{0, now, std::prev(m_byAge.end())});
}

bool GuessThrottle::hasExpired(const Entry& entry, Duration now) const {
    return now - entry.windowStart >= m_window;
}

void GuessThrottle::forgetExpired(Duration now) {
    // A guesser that stopped costs no memory once its window is over.
    while (!m_byAge.empty()) {
        const auto it = m_entries.find(m_byAge.front());
        if (!hasExpired(*it, now))
            return;
        m_entries.erase(it);
        m_byAge.pop_front();
    }
}

} // namespace sonavert::cloud
