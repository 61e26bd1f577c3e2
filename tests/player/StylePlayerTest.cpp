// The style player on the manual clock: time, part requests and their
// moment, the ends of parts, chord changes under held notes, the stop.
#include "PlayerFixture.h"

#include "base/CClock.h"
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"
#include "support/TestSupport.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace playertest;

// First note on with this pitch at or after `fromMs`, -1 when none.
int64_t firstOn(const std::vector<On>& ons, int pitch, int64_t fromMs = 0)
{
    for (const auto& o : ons)
        if (o.pitch == pitch && o.ms >= fromMs) return o.ms;
    return -1;
}

TEST(PartSequencing, WhenARequestTakesEffectAndWhatFollowsAPart)
{
    // (type, beat, beats per bar, last beat) -> at once
    const std::tuple<int, int, int, int, bool> now[] = {
        {kPartFillIn, 2, 4, 1, true},  {kPartFillIn, 1, 4, 1, true},  {kPartFillIn, 4, 4, 3, false},
        {kPartFillIn, 1, 4, 4, false}, {kPartMain, 2, 4, 1, false},   {kPartEnding, 1, 4, 1, false},
        {kPartFillIn, 2, 3, 2, true},  {kPartFillIn, 3, 3, 2, false},
    };
    for (const auto& [type, beat, perBar, last, want] : now)
        EXPECT_EQ(requestStartsNow(type, beat, perBar, last), want) << type << " " << beat << "/" << perBar;
    // (type, just switched, repeat) -> next part (current 5, return part 2)
    const std::tuple<int, bool, bool, int> next[] = {
        {kPartIntro, false, false, 2}, {kPartIntro, true, false, 2},  {kPartFillIn, false, false, 2},
        {kPartFillIn, false, true, 5}, {kPartFillIn, true, false, -1}, {kPartMain, false, false, -1},
        {kPartBreak, false, false, -1}, {kPartEnding, false, false, -1},
    };
    for (const auto& [type, switched, repeat, want] : next)
        EXPECT_EQ(partAfterEnd(type, switched, repeat, 5, 2), want) << type;
}

// The beat grid holds exactly, and a new tempo takes effect at once.
TEST_F(PlayerTest, EveryBeatOnTimeAndATempoChangeAtOnce)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    engine.selectPart(part("Main A"));
    const int64_t start = now();
    engine.setChord(0, 0, -1);
    run(1750);
    engine.setTempo(60);
    run(3000);
    std::vector<int64_t> drums;
    for (const auto& o : noteOns(engine.port->capture.take(), start))
        if (o.channel == kDrums) drums.push_back(o.ms);
    // 120 BPM until 1750 ms, when the change wakes the player (250 ms before
    // the bar line), then 60 BPM: the bar line 500 ms later, then a beat a second.
    const std::vector<int64_t> want = {0, 500, 1000, 1500, 2250, 3250, 4250};
    ASSERT_GE(drums.size(), want.size());
    EXPECT_EQ(std::vector<int64_t>(drums.begin(), drums.begin() + static_cast<long>(want.size())), want);
}

// A Fill In starts at once, at the same place in its own bar, with the notes
// it holds there; any other part, and a fill asked for in the last beat,
// waits for the next bar line.
TEST_F(PlayerTest, RequestsTakeEffectAtTheirMoment)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    struct Row {
        const char* part;
        int64_t askedAtMs;
        int64_t startsAtMs; // first drum note of the new part
        bool chasedPad;     // the new part's held pad sounds at the switch
    };
    const Row rows[] = {
        {"Fill In AA", 600, 1000, true},
        {"Main B", 600, 2000, false},
        {"Fill In AA", 1600, 2000, false},
    };
    for (const Row& r : rows) {
        engine.selectPart(part("Main A"));
        const int64_t start = now();
        engine.setChord(0, 0, -1);
        run(r.askedAtMs);
        engine.requestPart(part(r.part));
        run(2400 - r.askedAtMs);
        const auto ons = noteOns(engine.port->capture.take(), start);
        const int drum = kPartDrum[part(r.part)];
        EXPECT_EQ(firstOn(ons, drum), r.startsAtMs) << r.part << " asked at " << r.askedAtMs;
        const bool padAtSwitch = std::any_of(ons.begin(), ons.end(), [&](const auto& o) {
            return o.channel == kPad && o.ms == r.askedAtMs; // the request wakes the player at once
        });
        EXPECT_EQ(padAtSwitch, r.chasedPad) << r.part;
        stop();
        engine.port->capture.clear();
    }
}

// After a fill the music returns to the Main (or repeats the fill); an
// Ending ends the player, silences the accompaniment channels and leaves
// Main A for the next start.
TEST_F(PlayerTest, PartEndsReturnRepeatAndEnd)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    for (const bool repeat : {false, true}) {
        engine.selectPart(part("Main B"));
        engine.set(engine.play.repeatFill, repeat);
        const int64_t start = now();
        engine.setChord(0, 0, -1);
        run(100);
        engine.requestPart(part("Fill In AA"));
        run(2400);
        const auto ons = noteOns(engine.port->capture.take(), start);
        EXPECT_EQ(std::make_pair(firstOn(ons, kPartDrum[part("Fill In AA")], 2000), firstOn(ons, kPartDrum[part("Main B")], 2000)),
                  repeat ? std::make_pair(int64_t{2000}, int64_t{-1}) : std::make_pair(int64_t{-1}, int64_t{2000}));
        stop();
        engine.set(engine.play.repeatFill, 0);
    }
    engine.selectPart(part("Main B"));
    engine.setChord(0, 0, -1);
    run(100);
    engine.requestPart(part("Ending A"));
    run(5000);
    EXPECT_FALSE(engine.isStylePlaying());
    EXPECT_EQ(engine.currentPartName(), "Main A");
    std::string tail;
    const auto sent = engine.port->capture.take();
    for (auto m = sent.end() - 24; m != sent.end(); ++m) tail += m->text() + ",";
    std::string want;
    for (int c = 8; c < 16; ++c) {
        char b[64];
        std::snprintf(b, sizeof b, "B%X 123 0,B%X 120 0,E%X 0 64,", c, c, c);
        want += b;
    }
    EXPECT_EQ(tail, want);
    EXPECT_EQ(engine.port->soundingCount(), 0);
}

// What the player reacts to wakes it at once, with no step of the clock: a
// chord, a part request, a pause and its end, a stop. Nothing else does: the
// clock creeping up on its next event in millisecond steps wakes it only then.
TEST_F(PlayerTest, ChangesWakeASleepingPlayerAndNothingElseDoes)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    CClock& clock = *engine.clock;
    auto settled = [&clock] { return clock.waitUntilAsleep(5000); };
    engine.selectPart(part("Main A"));
    engine.setChord(0, 0, -1);
    run(300);
    engine.setChord(5, 0, -1);
    ASSERT_TRUE(settled());
    EXPECT_EQ(std::string(engine.get(engine.play.accompChord).symbol), "F");
    engine.requestPart(part("Fill In AA"));
    ASSERT_TRUE(settled());
    EXPECT_EQ(engine.currentPartName(), "Fill In AA");

    const int64_t next = clock.nextWakeUs();
    const int64_t sleeps = clock.sleepsBegun();
    while (clock.nowUs() + 1000 < next) {
        clock.advanceUs(1000);
        ASSERT_TRUE(settled());
    }
    EXPECT_EQ(clock.sleepsBegun(), sleeps);

    const int64_t ahead = clock.nextWakeUs() - now();
    engine.togglePause();
    run(3000);
    engine.togglePause();
    ASSERT_TRUE(settled());
    EXPECT_EQ(clock.nextWakeUs() - now(), ahead); // held in place while paused

    engine.requestStop();
    for (int k = 0; k < 5000 && engine.isPlaying(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(engine.isPlaying());
}

// Queued ahead of its moments, the style plays exactly what it plays sent at
// them: chords played just before and just after notes, one held over to the
// next beat, a part change and a stop take back and play again only what
// they must, and the recording holds what sounded.
TEST_F(PlayerTest, QueuedAheadItPlaysWhatItPlaysAtItsMoments)
{
    ASSERT_GE(load(busyStyle(120)), 0); // a note every 125 ms on each of three channels
    auto play = [&](bool queued) {
        engine.styleQueueOnManualClock = queued;
        engine.seedRandom(7);
        engine.bassMemory.reset();
        engine.set(engine.recordState.recording, 1);
        engine.selectPart(part("Main A"));
        engine.setChord(0, 0, -1);
        const int64_t origin = now();
        const struct {
            int64_t ms;
            int root;
        } chords[] = {{497, 5}, {626, 7}, {1440, 9}, {1700, -1}, {1999, 2}, {2752, 4}};
        for (const auto& c : chords) {
            run(c.ms - (now() - origin) / 1000);
            if (c.root < 0) engine.requestPart(part("Main B"));
            else engine.setChord(c.root, 0, -1);
        }
        run(3210 - (now() - origin) / 1000);
        engine.set(engine.recordState.recording, 0);
        stop();
        std::string out;
        for (const CapturedMessage& m : engine.port->capture.take())
            out += std::to_string(m.timeUs - origin) + " " + m.text() + "\n";
        return out;
    };
    const std::string direct = play(false);
    const std::string queued = play(true);
    EXPECT_EQ(queued, direct);
    EXPECT_GT(std::count(direct.begin(), direct.end(), '\n'), 150);
}

// A chord change under held notes: the pad sounds again in the new chord, the
// bass (retrigger off) falls silent until its next note, drums ring on. A
// chord played in the last quarter of a beat waits for the next beat.
TEST_F(PlayerTest, ChordChangesRetriggerHeldNotes)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    engine.selectPart(part("Main A"));
    const int64_t start = now();
    engine.setChord(0, 0, -1); // C
    run(300);
    engine.port->capture.clear();
    engine.setChord(5, 0, -1); // F at 0.6 of beat 1: at once
    run(1);
    auto sent = engine.port->capture.take();
    std::string got;
    for (const auto& m : sent) got += m.text() + ",";
    EXPECT_EQ(got, "-11:64/100,-10:36/100,+11:69/80,");
    run(99);
    engine.setChord(7, 0, -1); // G at 0.8 of beat 1: at beat 2
    run(1);
    EXPECT_TRUE(engine.port->capture.take().empty());
    run(400);
    sent = engine.port->capture.take();
    const auto ons = noteOns(sent, start);
    EXPECT_EQ(firstOn(ons, 59), 500); // B3 over G: above the high key the pattern moves down
    EXPECT_EQ(std::string(engine.get(engine.play.accompChord).symbol), "G");
}

} // namespace

namespace {

// The performance as the player saves it: read back (by our reader and, where
// python3 has it, by mido), the chord and part changes stand at the bars and
// beats where they happened, and the notes are those the port sent.
TEST_F(PlayerTest, TheRecordingHoldsThePerformance)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    struct Saved {
        CKvSeq* engine;
        std::vector<uint8_t> file;
    } saved{&engine, {}};
    engine.hooks.saveRecording = [](void* context, CMidiSequence* rec) {
        auto* s = static_cast<Saved*>(context);
        if (!rec) return;
        s->file.resize(static_cast<size_t>(rec->writeMidiFile("VeltronaLive", SequenceOptions())));
        rec->copyOut(s->file.data());
    };
    engine.hooks.context = &saved;
    engine.set(engine.recordState.recording, 1);
    engine.selectPart(part("Main A"));
    engine.setChord(0, 0, -1);
    run(1000);
    engine.setChord(5, 0, -1); // beat 3 of bar 1
    run(200);
    engine.requestPart(part("Main B")); // from bar 2
    run(1800);
    stop();
    const auto sent = engine.port->capture.take();
    ASSERT_FALSE(saved.file.empty());

    CMidiSequence back;
    ASSERT_GT(back.readMidiFile(saved.file.data(), 0, static_cast<int>(saved.file.size()), SequenceOptions()), 0);
    std::string marks, recorded, played;
    for (int r = back.events[kMainList].next; r >= kFirstEvent; r = back.events[static_cast<size_t>(r)].next) {
        const MidiEvent& e = back.events[static_cast<size_t>(r)];
        if (e.stat == kStatChord) marks += std::to_string(e.ticks) + " " + noteName(e.db1) + ",";
        if (e.stat == kStatVariation) marks += std::to_string(e.ticks) + " " + e.string + ",";
        if (isNoteOn(e.stat, e.db2)) recorded += std::to_string(e.stat & 15) + "/" + std::to_string(e.db1) + " ";
    }
    for (const CapturedMessage& m : sent)
        if (isNoteOn(m.status, m.d2)) played += std::to_string(m.channel()) + "/" + std::to_string(m.d1) + " ";
    EXPECT_EQ(marks, "0 Main A,0 C,960 F,1920 Main B,");
    EXPECT_EQ(recorded, played);

    testsupport::TempDir dir;
    dir.write("take.mid", std::string(saved.file.begin(), saved.file.end()));
    const std::string out = testsupport::runProgram({"/usr/bin/python3", VTN_SOURCE_DIR "/tools/smf_reference.py", "--events", dir.file("take.mid")}).out;
    if (out.empty()) return; // no mido here
    for (const char* text : {"\"chord:C\"", "\"chord:F\"", "\"part:Main B\"", "\"ok\": true"})
        EXPECT_NE(out.find(text), std::string::npos) << text << " in " << out.substr(0, 400);
}

} // namespace
