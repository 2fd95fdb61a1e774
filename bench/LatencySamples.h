// File: LatencySamples.h
//
// The latency of single calls: each call is timed on its own with the steady clock and kept, so
// that a median and a 99th percentile are of single calls, not of averages over a loop. Shared by
// the Google Benchmark counters (LatencyStats.h) and the plain benchmark programs, which print
// their own tables. The clock itself costs about 20 ns a reading on this VM: figures of a few
// tens of nanoseconds are mostly the clock (CompareStoresBench prints an empty call's figure).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

class LatencySamples {
public:
    LatencySamples() = default;
    explicit LatencySamples(std::size_t expected) { m_ns.reserve(expected); }

    template <typename F>
    void Time(F&& call) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const auto end = std::chrono::steady_clock::now();
        Add(std::chrono::duration<double, std::nano>(end - start).count());
    }
    void Add(double ns) {
        m_ns.push_back(ns);
        m_sorted = false;
    }
    void Merge(const LatencySamples& other);

    std::size_t Count() const { return m_ns.size(); }
    // The value below which this fraction of the samples lie (0.5: the median), in nanoseconds;
    // 0 without samples.
    double Percentile(double fraction);
    double Median() { return Percentile(0.5); }
    double P99() { return Percentile(0.99); }
    double Max() { return Percentile(1.0); }

private:
    std::vector<double> m_ns;
    bool m_sorted = false;
};

// The machine's load average over 1, 5 and 15 minutes, as /proc/loadavg gives it: printed beside
// every figure, since a busy machine moves them.
std::string LoadAverage();
