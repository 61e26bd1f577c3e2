// Cost of one right-hand key on a close-and-wide layer under a four-note
// chord, through processInput to the simulated port: routing, the harmony
// search, three note ons with their sounding checks. Presses and releases
// alternate so notes never pile up; each call is timed on its own.
#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t timed(CKvSeq& engine, int status, int note, int velocity)
{
    const auto start = Clock::now();
    engine.processInput(status, note, velocity);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

} // namespace

int main()
{
    CKvSeq engine;
    startLiveEngine(engine, false);

    PresetLayer l;
    l.type = kLayerCloseWide;
    l.layerChannel = 0;
    engine.lock();
    engine.presets[0].layers[0] = l;
    engine.unlock();
    engine.melody->selectPreset(0);
    Chord c7;
    parseChordSymbol(c7, "C7");
    engine.setFreeChord(c7);

    const long calls = 200'000;
    std::vector<int64_t> press, release;
    press.reserve(calls);
    release.reserve(calls);
    for (long k = 0; k < 10'000; ++k) { // warm-up
        engine.processInput(0x90, 84, 100);
        engine.processInput(0x80, 84, 64);
    }
    for (long k = 0; k < calls; ++k) {
        press.push_back(timed(engine, 0x90, 84, 100));
        release.push_back(timed(engine, 0x80, 84, 64));
    }
    int close = 0, wide = 0;
    engine.melody->computeHarmony(84, close, wide);
    std::printf("key 84 under %s: close %d, wide %d; still sounding %d\n", c7.symbol, close, wide,
                engine.melody->soundingCount());
    report("right-hand key press, type 4, C7", calls, percentiles(press));
    report("right-hand key release, type 4, C7", calls, percentiles(release));

    engine.shutdown();
    return 0;
}
