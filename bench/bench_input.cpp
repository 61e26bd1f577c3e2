// Cost of one key press through processInput on the MIDI input thread: a
// chord-area key under Full fingered with five keys held (routing, held-key
// list, rotation search, installing the chord) and a melody-area key
// (routing alone). Each call is timed on its own; p50 and p99 are printed.
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Times `calls` presses of `note`, each followed by an untimed release.
std::vector<int64_t> timePresses(CKvSeq& engine, int note, long calls)
{
    std::vector<int64_t> ns;
    ns.reserve(static_cast<size_t>(calls));
    for (long k = 0; k < calls; ++k) {
        const auto start = Clock::now();
        engine.processInput(0x90, note, 100);
        const auto end = Clock::now();
        ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
        engine.processInput(0x80, note, 0);
    }
    return ns;
}

} // namespace

int main()
{
    CKvSeq engine;
    startLiveEngine(engine, false);
    engine.set(engine.highestChordKey, 76);

    // E3 G3 Bb3 D4 held; the timed C5 completes C7(9), found only on the
    // fifth rotation, with C as root in front of the four lower keys.
    for (int note : {52, 55, 58, 62}) engine.processInput(0x90, note, 90);
    const long calls = 200'000;
    timePresses(engine, 72, 10'000); // warm-up
    auto chordKey = timePresses(engine, 72, calls);
    std::printf("chord after the run: %s (held %d)\n", engine.get(engine.currentChord).symbol,
                engine.liveInput->heldChordKeys.size());
    report("chord-area key, Full fingered, 5 held", calls, percentiles(chordKey));

    timePresses(engine, 84, 10'000);
    auto melodyKey = timePresses(engine, 84, calls);
    report("melody-area key", calls, percentiles(melodyKey));

    engine.shutdown();
    return 0;
}
