#include "server/http/server_metrics.h"

#include <algorithm>

namespace sonavert::cloud {

namespace {

constexpr const char* kPrefix = "sonavert_cloud_";

// The last route is the one everything unknown counts under.
constexpr std::array<const char*, 17> kRouteNames{"account/status",
                                                  "users/current",
                                                  "zones/modify",
                                                  "records/modify",
                                                  "records/lookup",
                                                  "changes/zone",
                                                  "subscriptions/lookup",
                                                  "subscriptions/modify",
                                                  "pairing/create",
                                                  "pairing/claim",
                                                  "setup/first-account",
                                                  "push",
                                                  "healthz",
                                                  "readyz",
                                                  "metrics",
                                                  "not_found",
                                                  "other"};
constexpr std::size_t kClaimRoute = 9;

// The statuses this server answers with; anything else counts under the last, "other".
constexpr std::array<int, 13> kStatusCodes{200, 400, 401, 403, 404, 410, 413,
                                           429, 431, 500, 503, 505, 0};

constexpr std::array<const char*, 5> kRefusalNames{"header_too_large", "body_too_large",
                                                   "malformed", "busy", "timed_out"};

std::size_t statusIndex(int status) {
    const auto* found = std::find(kStatusCodes.begin(), kStatusCodes.end() - 1, status);
    return static_cast<std::size_t>(found - kStatusCodes.begin());
}

QByteArray statusLabel(std::size_t index) {
    return index + 1 == kStatusCodes.size() ? QByteArray("other")
                                            : QByteArray::number(kStatusCodes.at(index));
}

QByteArray number(double value) {
    return QByteArray::number(value, 'g', 12);
}

void header(QByteArray& out, const char* name, const char* type, const char* help) {
    out += QByteArray("# HELP ") + kPrefix + name + ' ' + help + "\n# TYPE " + kPrefix + name +
           ' ' + type + '\n';
}

void sample(QByteArray& out, const QByteArray& name, const QByteArray& labels,
            const QByteArray& value) {
    out += kPrefix + name + (labels.isEmpty() ? QByteArray() : '{' + labels + '}') + ' ' + value +
           '\n';
}

QByteArray operationLabel(std::size_t route) {
    return QByteArray("operation=\"") + kRouteNames.at(route) + '"';
}

} // namespace

int ServerMetrics::routeOf(QStringView name) {
    for (std::size_t i = 0; i + 1 < kRouteNames.size(); ++i) {
        if (name == QLatin1String(kRouteNames.at(i)))
            return static_cast<int>(i);
    }
    return static_cast<int>(kRouteNames.size() - 1);
}

void ServerMetrics::countAnswer(int route, int httpStatus, Duration latency) {
    const auto at = static_cast<std::size_t>(route);
    m_answers.at(at).at(statusIndex(httpStatus)).fetch_add(1, std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(latency).count();
    const auto* bucket = std::lower_bound(kBucketBounds.begin(), kBucketBounds.end(), seconds);
    m_buckets.at(at)
        .at(static_cast<std::size_t>(bucket - kBucketBounds.begin()))
        .fetch_add(1, std::memory_order_relaxed);
    m_latencyNanoseconds.at(at).fetch_add(
        static_cast<quint64>(std::max<qint64>(0, latency.count())), std::memory_order_relaxed);
}

void ServerMetrics::countRefusal(RefusalReason reason) {
    m_refusals.at(static_cast<std::size_t>(reason)).fetch_add(1, std::memory_order_relaxed);
}

QByteArray ServerMetrics::render(const OutsideCounts& outside) const {
    static_assert(kRouteNames.size() == kRoutes && kStatusCodes.size() == kStatuses &&
                  kRefusalNames.size() == kRefusals);
    QByteArray out;
    renderRequests(out);
    renderLatencies(out);
    renderThrottled(out);
    renderRefusals(out);
    header(out, "push_channels", "gauge", "Push channels open now, greeted or not.");
    sample(out, "push_channels", {}, QByteArray::number(outside.pushChannels));
    header(out, "notifications_sent_total", "counter",
           "Notifications sent to push channels, backlogs included.");
    sample(out, "notifications_sent_total", {}, QByteArray::number(outside.notificationsSent));
    header(out, "storage_errors_total", "counter",
           "Failures of the storage layer: statements, connections, commits.");
    sample(out, "storage_errors_total", {}, QByteArray::number(outside.storageErrors));
    return out;
}

void ServerMetrics::renderRequests(QByteArray& out) const {
    header(out, "requests_total", "counter", "HTTP requests answered, by operation and status.");
    for (std::size_t route = 0; route < kRoutes; ++route) {
        for (std::size_t status = 0; status < kStatuses; ++status) {
            const quint64 count = m_answers.at(route).at(status).load(std::memory_order_relaxed);
            if (count > 0)
                sample(out, "requests_total",
                       operationLabel(route) + ",status=\"" + statusLabel(status) + '"',
                       QByteArray::number(count));
        }
    }
}

void ServerMetrics::renderLatencies(QByteArray& out) const {
    header(out, "request_duration_seconds", "histogram",
           "Time from a request's arrival to its answer, by operation.");
    for (std::size_t route = 0; route < kRoutes; ++route) {
        quint64 cumulative = 0;
        QByteArray lines;
        for (std::size_t i = 0; i <= kBucketBounds.size(); ++i) {
            cumulative += m_buckets.at(route).at(i).load(std::memory_order_relaxed);
            const QByteArray bound =
                i < kBucketBounds.size() ? number(kBucketBounds.at(i)) : QByteArray("+Inf");
            sample(lines, "request_duration_seconds_bucket",
                   operationLabel(route) + ",le=\"" + bound + '"', QByteArray::number(cumulative));
        }
        if (cumulative == 0)
            continue;
        out += lines;
        const double seconds =
            static_cast<double>(m_latencyNanoseconds.at(route).load(std::memory_order_relaxed)) /
            1e9;
        sample(out, "request_duration_seconds_sum", operationLabel(route), number(seconds));
        sample(out, "request_duration_seconds_count", operationLabel(route),
               QByteArray::number(cumulative));
    }
}

void ServerMetrics::renderThrottled(QByteArray& out) const {
    // A THROTTLED answer is the only 429: a wrong pairing claim's, or a token's rate limit.
    const std::size_t throttled = statusIndex(429);
    quint64 byRate = 0;
    for (std::size_t route = 0; route < kRoutes; ++route) {
        if (route != kClaimRoute)
            byRate += m_answers.at(route).at(throttled).load(std::memory_order_relaxed);
    }
    header(out, "throttled_calls_total", "counter",
           "Calls refused as THROTTLED: a token's rate limit, or pairing claims guessing codes.");
    sample(out, "throttled_calls_total", "reason=\"rate_limit\"", QByteArray::number(byRate));
    sample(out, "throttled_calls_total", "reason=\"pairing\"",
           QByteArray::number(m_answers.at(kClaimRoute).at(throttled).load()));
}

void ServerMetrics::renderRefusals(QByteArray& out) const {
    header(out, "refused_connections_total", "counter",
           "Connections refused or cut off before a request reached the routes, by reason.");
    for (std::size_t i = 0; i < kRefusals; ++i)
        sample(out, "refused_connections_total",
               QByteArray("reason=\"") + kRefusalNames.at(i) + '"',
               QByteArray::number(m_refusals.at(i).load(std::memory_order_relaxed)));
}

} // namespace sonavert::cloud
