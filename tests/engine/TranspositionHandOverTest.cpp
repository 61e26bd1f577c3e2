// A transposition changed while everything else plays at once, on the real
// clock: the style player, melody and chord keys, the transposition keys, and
// styles with registrations loaded from the console. Each note must end at
// the pitch it started with: explicitly, as a controller may go unheard.
#include "melody/CMelody.h"
#include "player/PlayerFixture.h"
#include "support/NoteEnds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

namespace {

using namespace playertest;

void nap(std::mt19937& rng, int maxUs) { std::this_thread::sleep_for(std::chrono::microseconds(rng() % maxUs)); }

TEST(TranspositionHandOver, EveryNoteEndsWhileAllThreadsPlayAndTranspose)
{
    CKvSeq engine; // on the real clock
    startLiveEngine(engine, true);
    engine.lock();
    engine.presets[0].layers[0] = {kLayerCloseWide, 0, -1, -1, -1, -1, -1, -1, -1, -1, 0};
    engine.presets[0].layers[1] = {kLayerLeft, 0, -1, -1, -1, -1, -1, -1, -1, -1, 1};
    engine.unlock();
    engine.melody->selectPreset(0);
    // Registrations with a transposition: applied by whichever thread selects the loaded style.
    std::vector<StyleEntry>& entries = engine.liveInput->styleEntries;
    entries.resize(2);
    entries[0].partName = entries[1].partName = "*";
    entries[0].values[kValueTransposition] = 2, entries[1].values[kValueTransposition] = -3;
    const Bytes styles[2] = {busyStyle(), fixtureStyle(250)};
    ASSERT_GE(engine.loadStyle(-2, styles[0].data(), static_cast<int>(styles[0].size()), "Styles/Busy.sty"), 0);
    engine.setChord(0, 0, -1); // starts the player

    std::atomic<bool> running{true};
    std::atomic<int> shifts{0}, loads{0};
    std::thread keys([&] {
        std::mt19937 rng(1);
        std::set<int> down;
        while (running) {
            const int note = 40 + static_cast<int>(rng() % 40); // the chord area ends at 54
            const bool press = down.insert(note).second;
            if (!press) down.erase(note);
            engine.processInput(press ? 0x90 : 0x80, note, press ? 1 + static_cast<int>(rng() % 127) : 0);
            nap(rng, 3000);
        }
        for (const int note : down) engine.processInput(0x80, note, 0);
    });
    std::thread transposer([&] {
        std::mt19937 rng(2);
        for (; running; ++shifts, nap(rng, 20000)) {
            const int t = engine.get(engine.play.transposition);
            engine.liveInput->callFunction(t > 5 ? 32 : t < -5 ? 31 : 31 + static_cast<int>(rng() % 2), 1);
        }
    });
    std::thread console([&] {
        std::mt19937 rng(3);
        for (int n = 0; running; ++n, nap(rng, 100000)) {
            engine.set(engine.play.activePreset, n % 2);
            const Bytes& style = styles[n % 2];
            loads += engine.loadStyle(-2, style.data(), static_cast<int>(style.size()), "Styles/Next.sty") >= 0;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    running = false;
    for (std::thread* t : {&keys, &transposer, &console}) t->join();
    engine.requestStop();
    while (engine.isStylePlaying()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const auto sent = engine.port->capture.take();
    EXPECT_GT(std::count_if(sent.begin(), sent.end(), [](const CapturedMessage& m) { return isNoteOn(m.status, m.d2); }), 200);
    EXPECT_TRUE(shifts > 20 && loads > 1) << shifts << " transpositions, " << loads << " styles loaded";
    EXPECT_TRUE(testsupport::everyNoteOnEnds(sent));
    engine.shutdown();
}

} // namespace
