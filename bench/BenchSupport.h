#pragma once
// Shared by the live-path benchmarks: percentile figures of individually
// timed calls (the engine comes from startLiveEngine).
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "LiveEngineSetup.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
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

// User and system CPU time of the whole process, in seconds.
inline double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Whether this process may run a thread at the real-time priority the
// players ask for; without it a player runs at normal priority.
inline bool realTimeAllowed()
{
    int policy = 0;
    sched_param before{};
    pthread_getschedparam(pthread_self(), &policy, &before);
    sched_param rt{};
    rt.sched_priority = 55;
    const bool ok = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;
    pthread_setschedparam(pthread_self(), policy, &before);
    return ok;
}
