#include "LatencyStats.h"

namespace {

double g_floorMedian = 0;

}  // namespace

LatencyStats::~LatencyStats() {
    const double median = m_samples.Median();
    m_state.counters["p50_ns"] = median;
    m_state.counters["p99_ns"] = m_samples.P99();
    if (m_isFloor) g_floorMedian = median;
    if (g_floorMedian > 0) m_state.counters["x_sqlite"] = median / g_floorMedian;
}
