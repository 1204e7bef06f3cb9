#include "server/service/request_throttle.h"

#include "server/wire/server_error.h"

#include <algorithm>

namespace sonavert::cloud {

RequestThrottle::RequestThrottle(Clock& clock, RateLimit limit)
    : m_clock(clock)
    , m_limit(limit) {}

double RequestThrottle::refilled(const Bucket& bucket, Duration now) const {
    const double seconds = std::chrono::duration<double>(now - bucket.updatedAt).count();
    return std::min(m_limit.burst, bucket.allowance + seconds * m_limit.perSecond);
}

Status RequestThrottle::admit(const QString& token) {
    if (m_limit.perSecond <= 0.0)
        return {};
    const Duration now = m_clock.monotonicNow();
    QMutexLocker lock(&m_mutex);
    auto it = m_buckets.find(token);
    if (it == m_buckets.end()) {
        if (m_buckets.size() >= m_sweepAtSize)
            forgetFullBuckets(now);
        it = m_buckets.insert(token, Bucket{m_limit.burst, now});
    }
    it->allowance = refilled(*it, now);
    it->updatedAt = now;
    if (it->allowance >= 1.0) {
        it->allowance -= 1.0;
        return {};
    }
    const double waitSeconds = (1.0 - it->allowance) / m_limit.perSecond;
    Error error =
        cloudError(ServerErrorCode::Throttled, QStringLiteral("too many requests with this token"));
    error.retryAfterSeconds = waitSeconds;
    return error;
}

void RequestThrottle::chargeAnswer(const QString& token, qint64 bytes) {
    const qint64 extra = bytes / kAnswerBytesPerRequest;
    if (m_limit.perSecond <= 0.0 || extra == 0)
        return;
    const Duration now = m_clock.monotonicNow();
    QMutexLocker lock(&m_mutex);
    const auto it = m_buckets.find(token);
    if (it == m_buckets.end())
        return; // forgotten since it was admitted: it was full, and owes nothing
    it->allowance = refilled(*it, now) - static_cast<double>(extra);
    it->updatedAt = now;
}

void RequestThrottle::forgetFullBuckets(Duration now) {
    // A full bucket is the same as none: tokens that went quiet cost no memory.
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        if (refilled(*it, now) >= m_limit.burst)
            it = m_buckets.erase(it);
        else
            ++it;
    }
    m_sweepAtSize = std::max(kFirstSweepSize, 2 * m_buckets.size());
}

} // namespace sonavert::cloud
