#include "LatencySamples.h"

#include <algorithm>

void LatencySamples::Merge(const LatencySamples& other) {
    m_ns.insert(m_ns.end(), other.m_ns.begin(), other.m_ns.end());
    m_sorted = false;
}

double LatencySamples::Percentile(double fraction) {
    if (m_ns.empty()) return 0;
    if (!m_sorted) {
        std::sort(m_ns.begin(), m_ns.end());
        m_sorted = true;
    }
    const std::size_t index = std::min(
        m_ns.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(m_ns.size())));
    return m_ns[index];
}
