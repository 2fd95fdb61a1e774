#include "LatencySamples.h"

#include <algorithm>
#include <fstream>

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

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}
