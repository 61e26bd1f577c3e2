#pragma once
// An engine in live mode with a style loaded, its player driven on the manual
// clock: time moves exactly to each wake-up of the player thread, so every
// message leaves at its ideal time and nothing depends on the machine's speed.
#include "StyleWriter.h"

#include "player/PartSequencing.h"
#include "sequence/CStyle.h"
#include "support/LiveEngine.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace playertest {

using stylewriter::Bytes;
using stylewriter::ChannelTable;
using stylewriter::StyleWriter;

// Channel indexes the fixture style plays on.
constexpr int kDrums = 9;
constexpr int kBass = 10;
constexpr int kPad = 11;
// The drum pitch that tells each part apart.
constexpr int kPartDrum[] = {0, 36, 38, 40, 42, 44};

// Four one-bar parts in 4/4 at 120 BPM, 480 ticks per beat: Main A, Fill In AA,
// Main B, Ending A, Intro A. Each bar: a drum on every beat (pitch by part), a
// bass C2 and a pad E4 held for the whole bar; source chord C Maj7.
inline Bytes fixtureStyle(int bpm = 120)
{
    StyleWriter w(480, 4, 4, bpm);
    const char* names[] = {"Main A", "Fill In AA", "Main B", "Ending A", "Intro A"};
    for (int p = 0; p < 5; ++p) {
        const int bar = p + 2;
        w.part(names[p], bar);
        for (int beat = 1; beat <= 4; ++beat) w.note(w.at(bar, beat), kDrums, kPartDrum[p + 1], 100, 120);
        w.note(w.at(bar), kBass, 36, 100, 1800);
        w.note(w.at(bar), kPad, 64, 80, 1900);
    }
    w.program(0, kPad, 48);
    auto table = [](int source, int ntt, int rtr) {
        ChannelTable t;
        t.source = source;
        t.dest = source - 8; // stored as 0-7 for channels 8-15
        t.ntt = ntt;
        t.rtr = rtr;
        if (source == kDrums) t.chordMute[0] = 0x07; // the drum bit
        return t;
    };
    stylewriter::Segment segment;
    segment.sdec = "Main A,Fill In AA,Main B,Ending A,Intro A";
    segment.tables = {table(kDrums, 0, 0), table(kBass, 3, 0), table(kPad, 2, 3)};
    w.segment(segment);
    return w.build();
}

// Two Mains of one 2/4 bar: sixteenths on drums, bass and pad (overlapping),
// for tests that want the player busy.
inline Bytes busyStyle(int bpm = 250)
{
    StyleWriter w(480, 2, 4, bpm);
    for (int p = 0; p < 2; ++p) {
        w.part(p ? "Main B" : "Main A", p + 2);
        for (int s = 0; s < 8; ++s) {
            const int at = w.at(p + 2) + s * 120;
            w.note(at, kDrums, 36 + p, 100, 60);
            w.note(at, kBass, 36 + s % 5, 100, 100);
            w.note(at, kPad, 60 + s % 7, 80, 200);
        }
    }
    stylewriter::Segment segment;
    segment.sdec = "Main A,Main B";
    for (const auto& [source, ntt, rtr] : {std::tuple{kDrums, 0, 0}, {kBass, 3, 0}, {kPad, 2, 3}}) {
        ChannelTable& t = segment.tables.emplace_back();
        t.source = source;
        t.dest = source - 8; // stored as 0-7 for channels 8-15
        t.ntt = ntt;
        t.rtr = rtr;
        if (source == kDrums) t.chordMute[0] = 0x07; // the drum bit
    }
    w.segment(segment);
    return w.build();
}

// A note on leaving the port: ms since an origin, channel, pitch.
struct On {
    int64_t ms;
    int channel, pitch;
};

template <typename Base = ::testing::Test>
class PlayerFixture : public testsupport::LiveEngineFixture<Base> {
protected:
    using testsupport::LiveEngineFixture<Base>::engine;

    void SetUp() override
    {
        testsupport::LiveEngineFixture<Base>::SetUp();
        engine.seedRandom(7);
        engine.bassMemory.reset();
        engine.set(engine.defaults.styleBankSelect, 1); // destinations as the style maps them
    }
    void TearDown() override
    {
        stop();
        testsupport::LiveEngineFixture<Base>::TearDown();
    }

    int load(const Bytes& file, const char* name = "Styles/Fixture.sty")
    {
        const int slot = engine.loadStyle(-2, file.data(), static_cast<int>(file.size()), name);
        engine.port->capture.clear();
        return slot;
    }
    int part(const char* name)
    {
        CStyle* s = engine.currentStyle();
        for (int p = 0; s && p < s->partCount(); ++p)
            if (s->parts[static_cast<size_t>(p)].name == name) return p;
        return -1;
    }
    int64_t now() { return engine.clock->nowUs(); }

    // Moves the manual time on by `ms`, stopping at each wake-up of the player.
    void run(int64_t ms)
    {
        CClock& clock = *engine.clock;
        const int64_t until = clock.nowUs() + ms * 1000;
        while (clock.nowUs() < until) {
            if (!clock.waitUntilAsleep(20)) {
                if (!engine.isPlaying()) break;
                continue;
            }
            clock.advanceTo(std::min(clock.nextWakeUs(), until));
        }
        // The player (style or song) has done everything due by now before
        // the test goes on.
        while (engine.isPlaying() && !clock.waitUntilAsleep(20)) {
        }
    }
    // Asks the player to stop and lets it end.
    void stop()
    {
        if (!engine.isPlaying()) return;
        engine.requestStop();
        while (engine.isPlaying()) run(10);
    }

    std::vector<On> noteOns(const std::vector<CapturedMessage>& sent, int64_t origin)
    {
        std::vector<On> out;
        for (const CapturedMessage& m : sent)
            if (isNoteOn(m.status, m.d2)) out.push_back({(m.timeUs - origin + 500) / 1000, m.channel(), m.d1});
        return out;
    }
};

using PlayerTest = PlayerFixture<>;

} // namespace playertest
