// Cost of one message through processInput on the MIDI input thread.
//
// Without the style player: a chord-area key under Full fingered with five
// keys held (routing, held-key list, rotation search, installing the chord)
// and a melody-area key (routing alone).
//
// With the style player running a corpus style on the real clock: a key bound
// to Var Up, controller 80 bound to Var Down, a menu key (attention on, no
// attention trigger) whose entry is a function or a preset, and an unbound
// melody key. Every message these paths send leaves the port inside the call
// (the port hands each one to the sequencer and drains it before returning),
// so the time of the call itself is the time from processInput to the last
// message out. The calling thread runs at the input thread's priority where
// the system allows it, as the player thread does at its own.
//
// Each call is timed on its own; p50 and p99 are printed, with the number of
// allocations made by the calling thread during the timed calls (global
// operator new counted; there should be none on these paths) and the messages
// one more, untimed call sends on channels 1-8 (the player's are 9-16).
//
// Argument: [style file, default LingusFunk.S066.sty of the corpus]
#include "base/FileReader.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "sequence/CStyle.h"

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace {
thread_local bool countAllocations = false;
thread_local long allocations = 0;

void* allocate(std::size_t n, std::size_t alignment)
{
    if (countAllocations) ++allocations;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(n ? n : 1);
    return std::aligned_alloc(alignment, (n + alignment - 1) / alignment * alignment);
}
} // namespace

void* operator new(std::size_t n)
{
    if (void* p = allocate(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, std::align_val_t a)
{
    if (void* p = allocate(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return operator new(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    std::vector<int64_t> ns;
    long allocations = 0;
    long messages = 0;
};

// Times `calls` messages status/d1/d2, each preceded by `before` and followed
// by `after`, both untimed.
Timed timeCalls(CKvSeq& engine, int status, int d1, int d2, long calls, const std::function<void()>& before = {},
                const std::function<void()>& after = {})
{
    Timed t;
    t.ns.reserve(static_cast<size_t>(calls));
    const long allocatedBefore = allocations;
    for (long k = 0; k < calls; ++k) {
        if (before) before();
        countAllocations = true;
        const auto start = Clock::now();
        engine.processInput(status, d1, d2);
        const auto end = Clock::now();
        countAllocations = false;
        t.ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
        if (after) after();
    }
    t.allocations = allocations - allocatedBefore;

    if (before) before();
    engine.port->capture.enable(true);
    engine.port->capture.clear();
    engine.processInput(status, d1, d2);
    const std::vector<CapturedMessage> sent = engine.port->capture.take();
    engine.port->capture.enable(false);
    if (after) after();
    t.messages = std::count_if(sent.begin(), sent.end(), [](const CapturedMessage& m) { return m.channel() < 8; });
    return t;
}

void row(const char* what, long calls, Timed t)
{
    report(what, calls, percentiles(t.ns));
    std::printf("%-44s allocations %ld, messages sent per call %ld\n", "", t.allocations, t.messages);
}

// Times `calls` presses of `note`, each followed by an untimed release.
Timed timePresses(CKvSeq& engine, int note, long calls)
{
    return timeCalls(engine, 0x90, note, 100, calls, {}, [&engine, note] { engine.processInput(0x80, note, 0); });
}

void withoutPlayer()
{
    CKvSeq engine;
    startLiveEngine(engine, false);
    engine.setSetting(&KeyboardAreas::highestChordKey, 76);

    // E3 G3 Bb3 D4 held; the timed C5 completes C7(9), found only on the
    // fifth rotation, with C as root in front of the four lower keys.
    for (int note : {52, 55, 58, 62}) engine.processInput(0x90, note, 90);
    const long calls = 200'000;
    timePresses(engine, 72, 10'000); // warm-up
    const Timed chordKey = timePresses(engine, 72, calls);
    std::printf("chord after the run: %s (held %d)\n", engine.get(engine.play.currentChord).symbol,
                engine.liveInput->heldChordKeys.size());
    row("chord-area key, Full fingered, 5 held", calls, chordKey);

    timePresses(engine, 84, 10'000);
    row("melody-area key", calls, timePresses(engine, 84, calls));
    engine.shutdown();
}

int withPlayer(const std::string& path)
{
    std::vector<uint8_t> bytes;
    if (vtn::readWholeFile(path, kMaxStyleFileBytes, bytes) != vtn::kFileRead) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    CKvSeq engine;
    startLiveEngine(engine, false);
    if (engine.loadStyle(-2, bytes.data(), static_cast<int>(bytes.size()), path) < 0) {
        std::fprintf(stderr, "%s is no style\n", path.c_str());
        return 1;
    }
    // Presets whose single layer a melody key and a preset entry play through.
    for (int p = 0; p < 2; ++p) {
        PresetLayer layer;
        layer.type = 1;
        layer.program = p * 10;
        layer.layerChannel = p;
        engine.set(engine.presets[p].layers[0], layer);
    }
    engine.melody->selectPreset(0);

    constexpr int kVarUpKey = 84, kController = 80, kMenuKey = 60, kMelodyKey = 72;
    CLiveInput& live = *engine.liveInput;
    {
        CLockGuard guard(live.inputMutex);
        live.setTrigger(0, kVarUpKey + kNoteCodeBase, 0);         // Var Up
        live.setTrigger(1, kController + kControllerCodeBase, 0); // Var Down
    }
    for (int note : {36, 40, 43}) engine.processInput(0x90, note, 100); // C starts the style
    for (int note : {36, 40, 43}) engine.processInput(0x80, note, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!engine.isStylePlaying()) {
        std::fprintf(stderr, "the style player did not start\n");
        return 1;
    }
    std::printf("style player running: %s, %s at %d BPM\n", path.substr(path.find_last_of('/') + 1).c_str(),
                engine.currentPartName().c_str(), engine.get(engine.play.tempo));

    sched_param priority{};
    priority.sched_priority = 60; // the MIDI input thread's
    const bool realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
    std::printf("calling thread: %s\n", realtime ? "SCHED_FIFO 60, as the input thread" : "ordinary priority");

    const long calls = 50'000;
    auto release = [&engine](int note) { return [&engine, note] { engine.processInput(0x80, note, 0); }; };
    timePresses(engine, kVarUpKey, 5'000);
    row("key bound to Var Up", calls, timePresses(engine, kVarUpKey, calls));
    auto requested = [&engine] {
        const int part = engine.pendingRequest();
        const std::string name = part > 0 ? engine.currentStyle()->parts[size_t(part)].name : "none";
        std::printf("%-44s part requested: %s\n", "", name.c_str());
    };
    requested();

    // Controller 80: a value of 64 or more after the debounce time is taken;
    // the same within the debounce time is dropped, as is every value below 64.
    // For the taken ones the debounce time is made to have passed before each
    // call, so that they need not be spaced 100 ms apart.
    auto debounced = [&live] {
        CLockGuard guard(live.inputMutex);
        live.lastControlTriggerTime = -(int64_t{1} << 40);
    };
    const int cc = 0xB0;
    timeCalls(engine, cc, kController, 127, 5'000, debounced);
    row("controller 80 -> Var Down, taken", calls, timeCalls(engine, cc, kController, 127, calls, debounced));
    requested();
    auto takenJustBefore = [&] {
        debounced();
        engine.processInput(cc, kController, 127);
    };
    row("controller 80, within debounce (dropped)", calls,
        timeCalls(engine, cc, kController, 127, calls, takenJustBefore));
    row("controller 80, value 0 (dropped)", calls, timeCalls(engine, cc, kController, 0, calls));

    // Menu keys: attention on with no attention trigger, on any channel.
    engine.setSetting(&AttentionSettings::attentionEnabled, 1);
    engine.setSetting(&AttentionSettings::attentionTrigger, 0);
    engine.setSetting(&AttentionSettings::attentionChannel, 0);
    const int entry = kMenuKey - kLowestMenuKey;
    auto setEntry = [&](int type, int value) {
        CLockGuard guard(live.inputMutex);
        live.triggerSets[0].entries[entry].type = type;
        live.triggerSets[0].entries[entry].values[0] = value;
    };
    setEntry(kEntryFunction, 0);
    timePresses(engine, kMenuKey, 5'000);
    row("menu key, function entry (Var Up)", calls, timePresses(engine, kMenuKey, calls));
    setEntry(kEntryPreset, 1);
    // The preset entry alternates between two presets, so that each press
    // really changes the layers.
    int preset = 1;
    auto otherPreset = [&] { setEntry(kEntryPreset, preset ^= 1); };
    timeCalls(engine, 0x90, kMenuKey, 100, 5'000, otherPreset, release(kMenuKey));
    row("menu key, preset entry", calls, timeCalls(engine, 0x90, kMenuKey, 100, calls, otherPreset, release(kMenuKey)));
    engine.setSetting(&AttentionSettings::attentionEnabled, 0);
    engine.melody->selectPreset(0);

    timePresses(engine, kMelodyKey, 5'000);
    row("unbound melody key (one layer)", calls, timePresses(engine, kMelodyKey, calls));

    priority.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &priority);
    std::printf("still playing: %s\n", engine.isStylePlaying() ? engine.currentPartName().c_str() : "no");
    engine.shutdown();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    withoutPlayer();
    const std::string path = argc > 1 ? argv[1] : std::string(VTN_BENCH_CORPUS_DIR) + "/styles/LingusFunk.S066.sty";
    return withPlayer(path);
}
