// File: LatencyStats.h
//
// Per-call latency of a benchmark loop: every call is timed on its own, so the median and the
// 99th percentile are of single calls, not of averages. The figures are reported as counters
// (nanoseconds) together with the ratio of the median to the SQLite floor measured first.
#pragma once

#include <benchmark/benchmark.h>

#include <utility>

#include "LatencySamples.h"

class LatencyStats {
public:
    explicit LatencyStats(benchmark::State& state)
        : m_state(state), m_samples(static_cast<std::size_t>(state.max_iterations)) {}
    ~LatencyStats();
    LatencyStats(const LatencyStats&) = delete;
    LatencyStats& operator=(const LatencyStats&) = delete;

    template <typename F>
    void Time(F&& call) {
        m_samples.Time(std::forward<F>(call));
    }

    // Marks this benchmark's median as the floor that later benchmarks compare with.
    void SetAsFloor() { m_isFloor = true; }

private:
    benchmark::State& m_state;
    LatencySamples m_samples;
    bool m_isFloor = false;
};
