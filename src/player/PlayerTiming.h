#pragma once
// Conversions between ticks and nanoseconds shared by the players. Waits are
// counted in nanoseconds: the truncation of each wait then stays far below
// what a long performance could add up to.
#include <algorithm>
#include <cstdint>
#include <pthread.h>
#include <sched.h>

// A gap before the next event long enough to make room in the recording.
constexpr int64_t kRoomyGapNs = 20'000'000;

// A player must not wait for the scheduler's next tick: its thread runs
// above the ordinary threads where the system allows it.
inline void raisePlayerPriority()
{
    sched_param priority{};
    priority.sched_priority = 55;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
}

// Nanoseconds of `ticks` at `ticksPerBeat` and `tempo` (BPM). Exact for every
// tick count a file can hold, without overflow.
inline int64_t ticksToNs(int64_t ticks, int ticksPerBeat, int tempo)
{
    const int64_t perMinute = int64_t{std::max(1, ticksPerBeat)} * std::max(1, tempo);
    return ticks / perMinute * 60'000'000'000 + ticks % perMinute * 60'000'000'000 / perMinute;
}

// Whole ticks in `ns` nanoseconds.
inline int ticksInNs(int64_t ns, int ticksPerBeat, int tempo)
{
    return static_cast<int>(ns / 1000 * ticksPerBeat * tempo / 60'000'000);
}
