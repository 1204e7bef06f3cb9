#include "server/service/token_cache.h"

namespace sonavert::cloud {

TokenCache::TokenCache(Clock& clock)
    : TokenCache(clock, Limits{}) {}

TokenCache::TokenCache(Clock& clock, Limits limits)
    : m_clock(clock)
    , m_limits(limits) {}

std::optional<AccountInfo> TokenCache::find(const QString& tokenHash) {
    const QMutexLocker lock(&m_mutex);
    const auto it = m_entries.constFind(tokenHash);
    if (it == m_entries.constEnd())
        return std::nullopt;
    if (it->expiresAt <= m_clock.monotonicNow()) {
        m_entries.erase(it);
        return std::nullopt;
    }
    return it->account;
}

TokenCache::Generation TokenCache::generation() const {
    const QMutexLocker lock(&m_mutex);
    return m_generation;
}

void TokenCache::remember(const QString& tokenHash, const AccountInfo& account, Generation seen) {
    if (m_limits.capacity <= 0)
        return;
    const QMutexLocker lock(&m_mutex);
    if (seen != m_generation)
        return;
    if (m_entries.size() >= m_limits.capacity && !m_entries.contains(tokenHash)) {
        // Any entry will do: what is dropped costs one query the next time it is used.
        m_entries.erase(m_entries.begin());
    }
    m_entries.insert(tokenHash, Entry{account, m_clock.monotonicNow() + m_limits.lifetime});
}

void TokenCache::forget(const QString& tokenHash) {
    const QMutexLocker lock(&m_mutex);
    ++m_generation;
    m_entries.remove(tokenHash);
}

int TokenCache::size() const {
    const QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_entries.size());
}

} // namespace sonavert::cloud
