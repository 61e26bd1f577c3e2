#pragma once
// Shared by the live-path benchmarks: an engine in live mode playing into a
// simulated synth, and percentile figures of individually timed calls.
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"

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

// No sequencer needed: the port's output goes to a simulated synth, capture off.
inline void startLiveEngine(CKvSeq& engine)
{
    engine.init(1);
    engine.port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}});
    engine.port->connectOutput();
    engine.port->capture.enable(false);
    engine.set(engine.inputMode, kLiveMode);
    engine.set(engine.chordMethod, 0);
}
