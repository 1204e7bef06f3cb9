#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace sonavert::bench {

/// Latencies of one measurement window, in microseconds.
class LatencySample {
public:
    void add(std::chrono::nanoseconds latency) {
        m_micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(latency).count());
        m_isSorted = false;
    }
    std::size_t size() const { return m_micros.size(); }
    /// The `fraction` percentile in milliseconds (0.99 for p99); 0 when empty.
    double percentileMs(double fraction) {
        if (m_micros.empty())
            return 0.0;
        if (!m_isSorted)
            std::sort(m_micros.begin(), m_micros.end());
        m_isSorted = true;
        const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(m_micros.size()));
        return static_cast<double>(m_micros[std::min(rank, m_micros.size() - 1)]) / 1000.0;
    }

private:
    std::vector<std::int64_t> m_micros;
    bool m_isSorted = true;
};

} // namespace sonavert::bench
