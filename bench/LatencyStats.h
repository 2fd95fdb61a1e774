// File: LatencyStats.h
//
// Per-call latency of a benchmark loop: every call is timed on its own, so the median and the
// 99th percentile are of single calls, not of averages. The figures are reported as counters
// (nanoseconds) together with the ratio of the median to the SQLite floor measured first.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

class LatencyStats {
public:
    explicit LatencyStats(benchmark::State& state) : m_state(state) {
        m_samples.reserve(static_cast<size_t>(state.max_iterations));
    }
    ~LatencyStats();

    template <typename F>
    void Time(F&& call) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const auto end = std::chrono::steady_clock::now();
        m_samples.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    }

    // Marks this benchmark's median as the floor that later benchmarks compare with.
    void SetAsFloor() { m_isFloor = true; }

private:
    benchmark::State& m_state;
    std::vector<double> m_samples;
    bool m_isFloor = false;
};
