#pragma once

#include "src/runtime/clock.h"

#include <QByteArray>
#include <QStringView>
#include <array>
#include <atomic>

namespace sonavert::cloud {

/// What the server counts about itself elsewhere, read when the metrics are rendered.
struct OutsideCounts {
    int pushChannels = 0;
    quint64 notificationsSent = 0;
    quint64 storageErrors = 0;
};

/// Why a connection was refused before a request reached the routes.
enum class RefusalReason { HeaderTooLarge, BodyTooLarge, Malformed, Busy, TimedOut };

/// The request counters behind GET /metrics: requests by route and HTTP status, a latency
/// histogram per route and refused connections. Every count is a relaxed atomic in a fixed
/// table, so counting is one uncontended addition whichever thread answers, and no client can
/// make the table grow: unknown operations and paths all count as "other".
class ServerMetrics {
public:
    /// The label of a database operation ("records/modify"), of the claim ("pairing/claim") or
    /// of the server's own paths ("healthz", "readyz", "metrics", "push"); else "other".
    static int routeOf(QStringView name);
    /// Upper bounds of the latency buckets, in seconds.
    static constexpr std::array<double, 13> kBucketBounds{
        0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

    void countAnswer(int route, int httpStatus, Duration latency);
    void countRefusal(RefusalReason reason);

    /// The Prometheus text exposition (version 0.0.4) of every metric.
    QByteArray render(const OutsideCounts& outside) const;

private:
    static constexpr std::size_t kRoutes = 17;
    static constexpr std::size_t kStatuses = 13;
    static constexpr std::size_t kRefusals = 5;
    using Counter = std::atomic<quint64>;

    void renderRequests(QByteArray& out) const;
    void renderLatencies(QByteArray& out) const;
    void renderThrottled(QByteArray& out) const;
    void renderRefusals(QByteArray& out) const;

    std::array<std::array<Counter, kStatuses>, kRoutes> m_answers{};
    std::array<std::array<Counter, kBucketBounds.size() + 1>, kRoutes> m_buckets{};
    std::array<Counter, kRoutes> m_latencyNanoseconds{};
    std::array<Counter, kRefusals> m_refusals{};
};

} // namespace sonavert::cloud
