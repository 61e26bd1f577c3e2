#pragma once
// Conversions between ticks and nanoseconds shared by the players. Waits are
// counted in nanoseconds: the truncation of each wait then stays far below
// what a long performance could add up to.
#include <algorithm>
#include <cstdint>
#include <pthread.h>
#include <sched.h>

class CClock;

// The last stretch before an event is waited awake: a sleeping thread wakes
// a few hundred microseconds late too often.
constexpr int64_t kAwakeNs = 300'000;

// The players' one sleep: until `untilNs` on `clock` (never past it), or
// until a wake-up after `ticket` (CClock::wake); with `awake`, the last
// kAwakeNs on the monotonic clock are waited awake. True when woken.
bool sleepUntilDue(CClock& clock, int64_t untilNs, uint32_t ticket, bool awake);

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

// a × b / c without overflow of the product, rounded down (c > 0).
__extension__ typedef __int128 WideInt;
inline int64_t mulDiv(int64_t a, int64_t b, int64_t c)
{
    return static_cast<int64_t>(static_cast<WideInt>(a) * b / std::max<int64_t>(1, c));
}

// The time a tick takes, as a fraction: `num` nanoseconds per `den` ticks.
// A whole BPM and a tempo exact to the microsecond per quarter note (as a
// song's file writes it) both hold exactly.
struct TickRate {
    int64_t num = 500'000'000;
    int64_t den = 1;
    bool operator==(const TickRate&) const = default;
};
inline TickRate bpmRate(int ticksPerBeat, int bpm)
{
    return {60'000'000'000, int64_t{std::max(1, ticksPerBeat)} * std::max(1, bpm)};
}
inline TickRate microsRate(int ticksPerBeat, int64_t microsPerQuarter)
{
    return {std::max<int64_t>(1, microsPerQuarter) * 1000, std::max(1, ticksPerBeat)};
}
inline int64_t ticksToNs(int64_t ticks, TickRate r) { return mulDiv(ticks, r.num, r.den); }
// Thousandths of ticks in `us` microseconds.
inline int64_t thousandthsInUs(int64_t us, TickRate r) { return mulDiv(us, r.den * 1'000'000, r.num); }
// What is left of a wait at rate `from`, at rate `to`.
inline int64_t rescaleNs(int64_t ns, TickRate from, TickRate to) { return mulDiv(ns, to.num * from.den, from.num * to.den); }

// Whole ticks in `ns` nanoseconds.
inline int ticksInNs(int64_t ns, int ticksPerBeat, int tempo)
{
    return static_cast<int>(ns / 1000 * ticksPerBeat * tempo / 60'000'000);
}
