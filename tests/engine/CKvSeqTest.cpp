// The engine's own operations: the output road with transposition and
// recording, tempo, part requests, style slots and the life cycle.
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"

#include "melody/CMelody.h"
#include "player/EngineAssembly.h"
#include "support/LiveEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>
#include <functional>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

namespace {

using Texts = std::vector<std::string>;
using EngineTest = testsupport::LiveEngineTest; // live mode, manual clock, capture on

// Live mode transposes melodic notes (never drums), clamped to 0-127;
// outside it, and for other messages, everything passes unchanged.
TEST_F(EngineTest, TranspositionInLiveModeOnly)
{
    engine.set(engine.play.inputMode, 0);
    engine.setTransposition(5);
    engine.set(engine.play.transpositionBusy, 1); // only live mode waits for it
    engine.sendEvent(0x90, 60, 100);
    engine.processInput(0xE3, 0, 64);
    engine.set(engine.play.transpositionBusy, 0);
    engine.set(engine.play.inputMode, kLiveMode);
    engine.sendEvent(0x90, 60, 100);
    engine.sendEvent(0x99, 36, 100);
    engine.sendEvent(0x91, 125, 100);
    engine.sendEvent(0xB0, 7, 100);
    engine.setTransposition(-70);
    engine.sendEvent(0x80, 60, 0);
    EXPECT_EQ(sentTexts(), (Texts{"+0:60/100", "E3 0 64", "+0:65/100", "+9:36/100", "+1:127/100", "B0 7 100", "-0:0/0"}));
}

TEST_F(EngineTest, SendWaitsWhileTheTranspositionChanges)
{
    engine.setTranspositionBusy(1);
    std::thread player([&] { engine.sendEvent(0x90, 60, 100); });
    ASSERT_TRUE(engine.clock->waitForSleepers(1));
    engine.clock->advanceMs(30);
    ASSERT_TRUE(engine.clock->waitForSleepers(1));
    EXPECT_EQ(engine.port->capture.size(), 0u);
    engine.setTransposition(2);
    engine.setTranspositionBusy(0);
    engine.clock->advanceMs(10);
    player.join();
    EXPECT_EQ(sentTexts(), Texts{"+0:62/100"}); // the new transposition, never a half-changed one
}

TEST_F(EngineTest, RecordsWhatIsSentWhileTheStylePlays)
{
    engine.createRecordSequence(11);
    engine.sendEvent(0x90, 60, 100); // not playing: not recorded
    engine.set(engine.play.playingStyle, engine.styles[0]);
    engine.set(engine.recordState.recording, 1);
    engine.set(engine.play.songPosition, 480);
    engine.setTransposition(2);
    engine.sendEvent(0x90, 60, 100);
    engine.setTempo(300);
    engine.set(engine.play.recordTime, 960);
    engine.recordEvent(kStatChord, 0, 0, 0, "C#m7/G");
    engine.recordEvent(kStatChord, 0, 0, 0, ""); // an empty chord records nothing
    engine.port->noteOff(0, 62, 0, 0, 0);       // the port's own note off is recorded like the rest
    engine.set(engine.play.playingStyle, nullptr);
    CMidiSequence* rec = engine.recordSequence;
    ASSERT_EQ(rec, engine.sequences[11]);
    Texts got;
    for (int i = rec->events[0].next; i >= kFirstEvent; i = rec->events[static_cast<size_t>(i)].next) {
        const MidiEvent& e = rec->events[static_cast<size_t>(i)];
        got.push_back(std::to_string(e.ticks) + " " + std::to_string(e.stat) + " " + std::to_string(e.db1) + " " +
                      std::to_string(e.db2) + " " + std::to_string(e.db3) + " " + e.string);
    }
    EXPECT_EQ(got, (Texts{"480 144 62 100 0 ", "480 81 250 0 0 ", "960 -2 1 10 7 C#m7/G", "960 128 62 0 0 "}));
}

TEST_F(EngineTest, PartRequestsAndSelection)
{
    // After the set-up part "Control changes": Main A, Fill In AA, Main B.
    for (const char* name : {"Main A", "Fill In AA", "Main B"}) {
        StylePart& part = engine.styles[0]->parts.emplace_back();
        part.name = name;
        part.type = name[0] == 'F' ? kPartFillIn : kPartMain;
        part.level1 = name[5] == 'B';
    }
    engine.set(engine.play.inputMode, 0);
    EXPECT_EQ(engine.requestStop() + engine.get(engine.play.stopRequest), 0); // no player runs
    engine.requestPart(2); // a fill
    engine.requestPart(3);
    EXPECT_EQ(std::make_tuple(engine.get(engine.play.fillRequest), engine.get(engine.play.partRequest), engine.pendingRequest()),
              std::make_tuple(2, 3, 2)); // the fill comes first
    engine.selectPart(2);
    EXPECT_EQ(std::make_tuple(engine.get(engine.play.currentPart), engine.get(engine.play.fillRequest), engine.pendingRequest()),
              std::make_tuple(2, 0, 3));
    EXPECT_EQ(engine.currentPartName(), "Fill In AA");
    engine.selectPart(3);
    EXPECT_EQ(std::make_pair(engine.get(engine.play.partRequest), engine.get(engine.play.returnPart)), std::make_pair(0, 3));
    engine.set(engine.play.inputMode, kLiveMode);
    engine.selectPart(0); // the set-up part is never played live
    EXPECT_EQ(engine.get(engine.play.currentPart), 3);
    engine.set(engine.play.currentPart, 9);
    EXPECT_EQ(engine.currentPartName(), "");
}

// Listeners learn what changed on a thread of their own, merged, and never
// hold up whoever changed it: each operation below tells its kind; a port
// plugged in and pulled out tells both; stopping delivers what is pending.
TEST_F(EngineTest, ChangesReachTheListenerOffTheirOwnThread)
{
    struct Heard {
        std::atomic<uint32_t> changes{0};
        std::atomic<bool> elsewhere{true};
        std::thread::id poster;
    } heard;
    heard.poster = std::this_thread::get_id();
    ASSERT_TRUE(engine.events.listen(
        [](void* c, uint32_t changes) {
            auto* h = static_cast<Heard*>(c);
            if (std::this_thread::get_id() == h->poster) h->elsewhere = false;
            h->changes |= changes;
        },
        &heard));
    auto told = [&heard](uint32_t kind) {
        for (int k = 0; k < 2000 && !(heard.changes.load() & kind); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return (heard.changes.exchange(0) & kind) != 0;
    };
    const std::pair<std::function<void()>, uint32_t> rows[] = {
        {[&] { engine.setTempo(97); }, kChangeTempo},
        {[&] { engine.stepTempo(1); }, kChangeTempo},
        {[&] { engine.setChord(2, 0, -1); }, kChangeChord},
        {[&] { engine.selectPart(1); }, kChangePart},
        {[&] { engine.melody->selectPreset(3); }, kChangePreset},
        {[&] { engine.markChanged(); }, kChangeSetting},
        {[&] {
             engine.port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}, {20, 0, "Keys", "Keys MIDI 1", 0x21}});
             engine.port->connectInput(0, 1, "");
             engine.port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}});
             engine.port->announce(SeqAnnouncement::ClientExit, 20, 0);
         },
         kChangePortLost},
        {[&] {
             engine.port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}, {24, 0, "Pad", "Pad MIDI 1", 0x21}});
             engine.port->announce(SeqAnnouncement::PortStart, 24, 0);
         },
         kChangePortFound},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        rows[i].first();
        EXPECT_TRUE(told(rows[i].second)) << "row " << i;
    }
    EXPECT_TRUE(heard.elsewhere);
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&engine = engine, t] {
            for (int k = 0; k < 1000; ++k) engine.events.post(1u << (10 + t));
        });
    for (std::thread& t : posters) t.join();
    engine.events.stop();
    EXPECT_EQ(heard.changes.load(), 0xFu << 10);
}

TEST(EngineLifeCycle, ShutdownReturnsOnlyAfterThePlayerHasEnded)
{
    CKvSeq engine;
    {
        vtn::CMessageCapture quiet;
        assembleEngine(engine, 1);
    }
    engine.clock->setManual();
    engine.clock->setAutoAdvance(true);
    // A stand-in player: runs until it sees the stop request, as the players do.
    engine.set(engine.play.playingStyle, engine.styles[0]);
    std::atomic<bool> ended{false};
    std::thread player([&] {
        while (!engine.get(engine.play.stopRequest)) std::this_thread::yield();
        ended = true;
        engine.set(engine.play.playingStyle, nullptr);
    });
    engine.shutdown();
    EXPECT_TRUE(ended);
    player.join();
    EXPECT_EQ(std::make_tuple(engine.port, engine.styles[0], engine.get(engine.play.inputSuspended)),
              std::make_tuple(nullptr, nullptr, uint8_t{1}));
}

// A manual clock wakes a sleeper only once it has been moved past its
// deadline; with auto-advance a sleep moves the time itself.
TEST(EngineClock, ManualTimeWakesSleepersOnlyWhenItHasMoved)
{
    CClock clock;
    clock.setManual(1000);
    std::atomic<bool> woke{false};
    std::thread sleeper([&] { clock.sleepMs(10); woke = true; });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advanceMs(9);
    ASSERT_TRUE(clock.waitForSleepers(1));
    EXPECT_FALSE(woke);
    clock.advanceMs(1);
    sleeper.join();
    clock.setAutoAdvance(true);
    clock.sleepMs(500);
    EXPECT_EQ(clock.nowUs(), 511000);
}

} // namespace
