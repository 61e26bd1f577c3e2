// Event-list throughput: time-ordered insertion through the cursor search, as
// the file reader and the recorder do it, and tick-to-bar conversion over a
// song with many time-signature changes, as the players do it.
#include "sequence/CMidiSequence.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* what, long count, double seconds, long long checksum)
{
    const double n = static_cast<double>(count);
    std::printf("%-34s n=%8ld  %12.0f /s  %8.1f ns each  (check %lld)\n", what, count, n / seconds, seconds * 1e9 / n,
                checksum);
}

void benchInsert(long n)
{
    CMidiSequence s;
    const auto start = std::chrono::steady_clock::now();
    int cursor = kMainList;
    for (long k = 0; k < n; ++k) {
        // Three events per tick, so equal times are part of the walk.
        const int t = static_cast<int>(k / 3) * 40;
        cursor = s.insertEvent(s.findAfter(t, cursor), t, 0x90, 60 + static_cast<int>(k % 12), 100, "", 0, 1);
    }
    report("insert in time order (cursor)", n, secondsSince(start), s.eventCount());
}

void benchTicksToBarBeat(long calls)
{
    CMidiSequence s;
    const int sigs[][2] = {{3, 4}, {4, 4}, {6, 8}, {7, 8}, {5, 4}};
    for (int c = 0; c < 100; ++c) {
        const int t = s.barBeatToTicks(2 + 4 * c, 1, 0);
        s.insertEvent(s.findAfter(t, kMainList), t, kStatTimeSig, sigs[c % 5][0], sigs[c % 5][1], "", 0, 1);
    }
    const int64_t end = s.barBeatToTicks(2 + 4 * 100 + 4, 1, 0);
    long long checksum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long k = 0; k < calls; ++k) {
        int bar, beat, tick;
        s.ticksToBarBeat(static_cast<int>(end * k / calls), &bar, &beat, &tick);
        checksum += bar + beat + tick;
    }
    report("ticksToBarBeat, 100 changes", calls, secondsSince(start), checksum);
}

} // namespace

int main()
{
    for (long n : {100'000L, 1'000'000L}) benchInsert(n);
    for (long n : {100'000L, 1'000'000L}) benchTicksToBarBeat(n);
    return 0;
}
