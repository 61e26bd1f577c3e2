#pragma once
// Shared by the live-path benchmarks: percentile figures of individually
// timed calls (the engine comes from startLiveEngine).
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "LiveEngineSetup.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

struct Figures {
    double p50, p99, max;
};

inline Figures percentiles(std::vector<int64_t>& ns)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) { return static_cast<double>(ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]); };
    return {at(0.50), at(0.99), static_cast<double>(ns.back())};
}

inline void report(const char* what, long calls, Figures f)
{
    std::printf("%-44s n=%7ld  p50 %7.0f ns  p99 %7.0f ns  max %8.0f ns\n", what, calls, f.p50, f.p99, f.max);
}
