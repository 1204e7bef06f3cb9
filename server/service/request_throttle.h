#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QHash>
#include <QMutex>
#include <QString>

namespace sonavert::cloud {

/// How many requests one token may make: `burst` at once, refilled at `perSecond`.
struct RateLimit {
    /// Zero or below: no limit.
    double perSecond = 20.0;
    double burst = 100.0;
};

/// Rate limit per bearer token (a token bucket each), on the monotonic clock. One throttle is
/// shared by every thread that serves calls, so it locks.
class RequestThrottle {
public:
    RequestThrottle(Clock& clock, RateLimit limit);

    /// Takes one request from the token's allowance, or answers THROTTLED with the seconds
    /// until the next one is allowed.
    Status admit(const QString& token);
    /// An answer of `bytes` costs one more request for each kAnswerBytesPerRequest it holds:
    /// a token asking for large answers is slowed as if it asked that many times, so it cannot
    /// keep a core computing answers for itself while others wait. The allowance may go below
    /// zero; the token then waits until it is refilled past one.
    void chargeAnswer(const QString& token, qint64 bytes);
    static constexpr qint64 kAnswerBytesPerRequest = qint64{32} * 1024;
    int trackedTokenCount() const {
        QMutexLocker lock(&m_mutex);
        return static_cast<int>(m_buckets.size());
    }

private:
    struct Bucket {
        double allowance = 0.0;
        Duration updatedAt{0};
    };
    double refilled(const Bucket& bucket, Duration now) const;
    void forgetFullBuckets(Duration now);

    mutable QMutex m_mutex;
    Clock& m_clock;
    RateLimit m_limit;
    QHash<QString, Bucket> m_buckets;
    qsizetype m_sweepAtSize = kFirstSweepSize;
    static constexpr qsizetype kFirstSweepSize = 1024;
};

} // namespace sonavert::cloud
