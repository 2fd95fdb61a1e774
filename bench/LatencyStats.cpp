#include "LatencyStats.h"

#include <algorithm>

namespace {

double g_floorMedian = 0;

double Percentile(std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    const size_t index = std::min(
        sorted.size() - 1, static_cast<size_t>(fraction * static_cast<double>(sorted.size())));
    return sorted[index];
}

}  // namespace

LatencyStats::~LatencyStats() {
    std::sort(m_samples.begin(), m_samples.end());
    const double median = Percentile(m_samples, 0.5);
    m_state.counters["p50_ns"] = median;
    m_state.counters["p99_ns"] = Percentile(m_samples, 0.99);
    if (m_isFloor) g_floorMedian = median;
    if (g_floorMedian > 0) m_state.counters["x_sqlite"] = median / g_floorMedian;
}
