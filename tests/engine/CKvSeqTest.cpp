// The engine's own operations: the output road with transposition and
// recording, tempo, part requests, style slots and the life cycle.
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::testing::internal::CaptureStdout(); // "Cannot open sequencer" on machines without one
        engine.init(1);
        ::testing::internal::GetCapturedStdout();
        engine.clock->setManual();
        engine.port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}});
        ::testing::internal::CaptureStdout();
        engine.port->connectOutput();
        ::testing::internal::GetCapturedStdout();
        engine.port->capture.enable(true);
    }
    void TearDown() override { engine.shutdown(); }

    // A style in slot 0 with the parts "Control changes", Main A, Fill In AA, Main B.
    void addParts()
    {
        CStyle* style = engine.styles[0];
        auto add = [&](const char* name, int type, int level1) {
            style->parts.emplace_back();
            style->parts.back().name = name;
            style->parts.back().type = type;
            style->parts.back().level1 = level1;
        };
        add("Main A", kPartMain, 0);
        add("Fill In AA", kPartFillIn, 0);
        add("Main B", kPartMain, 1);
    }
    std::vector<CapturedMessage> sent() { return engine.port->capture.take(); }

    CKvSeq engine;
};

TEST_F(EngineTest, StyleSlotsAreRegisteredUnderTheirIds)
{
    for (int slot = 0; slot < 2; ++slot) {
        ASSERT_NE(engine.styles[slot], nullptr);
        EXPECT_EQ(engine.sequences[100 + slot], engine.styles[slot]);
        EXPECT_EQ(engine.styles[slot]->sequenceId, 100 + slot);
        EXPECT_EQ(engine.styles[slot]->isStyle, 1);
    }
    CStyle* before = engine.styles[1];
    engine.createStyleSlot(1);
    EXPECT_NE(engine.styles[1], before);
    EXPECT_EQ(engine.sequences[101], engine.styles[1]);
}

TEST_F(EngineTest, TempoIsAlwaysWithinRange)
{
    const std::pair<int, int> cases[] = {{5, 10}, {300, 250}, {10, 10}, {250, 250}, {97, 97}, {-40, 10}};
    for (auto [asked, kept] : cases) {
        engine.setTempo(asked);
        EXPECT_EQ(engine.get(engine.tempo), kept) << asked;
    }
}

TEST_F(EngineTest, LiveModeTransposesMelodicNotesAndClamps)
{
    engine.set(engine.inputMode, kLiveMode);
    engine.setTransposition(5);
    engine.sendEvent(0x90, 60, 100);  // transposed
    engine.sendEvent(0x99, 36, 100);  // drums: never transposed
    engine.sendEvent(0x91, 125, 100); // past the top: clamped
    engine.sendEvent(0xB0, 7, 100);   // not a note
    engine.setTransposition(-70);
    engine.sendEvent(0x80, 60, 0);
    const auto out = sent();
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].d1, 65);
    EXPECT_EQ(out[1].d1, 36);
    EXPECT_EQ(out[2].d1, 127);
    EXPECT_EQ(out[3].d1, 7);
    EXPECT_EQ(out[4].d1, 0);
}

TEST_F(EngineTest, OutsideLiveModeMessagesPassUnchanged)
{
    engine.setTransposition(5);
    engine.set(engine.transpositionBusy, 1); // only live mode waits for it
    engine.sendEvent(0x90, 60, 100);
    engine.processInput(0xE3, 0, 64);
    const auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].d1, 60);
    EXPECT_EQ(out[1].status, 0xE3);
}

TEST_F(EngineTest, SendWaitsWhileTheTranspositionChanges)
{
    engine.set(engine.inputMode, kLiveMode);
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
    const auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].d1, 62); // the new transposition, never a half-changed one
}

TEST_F(EngineTest, RecordsWhatIsSentWhileTheStylePlays)
{
    engine.set(engine.inputMode, kLiveMode);
    engine.createRecordSequence(11);
    engine.sendEvent(0x90, 60, 100); // not playing: not recorded
    engine.set(engine.playingStyle, engine.styles[0]);
    engine.set(engine.recording, 1);
    engine.set(engine.songPosition, 480);
    engine.setTransposition(2);
    engine.sendEvent(0x90, 60, 100);
    engine.setTempo(300);
    engine.set(engine.recordTime, 960);
    engine.recordEvent(kStatChord, 0, 0, 0, "C#m7/G");
    engine.recordEvent(kStatChord, 0, 0, 0, ""); // an empty chord records nothing
    engine.port->noteOff(0, 62, 0, 0, 0);
    engine.set(engine.playingStyle, nullptr);

    CMidiSequence* rec = engine.recordSequence;
    ASSERT_EQ(rec, engine.sequences[11]);
    std::vector<MidiEvent> got;
    for (int i = rec->events[0].next; i >= kFirstEvent; i = rec->events[static_cast<size_t>(i)].next)
        got.push_back(rec->events[static_cast<size_t>(i)]);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].stat, 0x90);
    EXPECT_EQ(got[0].db1, 62);
    EXPECT_EQ(got[0].ticks, 480);
    EXPECT_EQ(got[1].stat, kStatTempo);
    EXPECT_EQ(got[1].db1, 250);
    EXPECT_EQ(got[2].stat, kStatChord);
    EXPECT_EQ(got[2].ticks, 960);
    EXPECT_EQ(got[2].db1, 1);
    EXPECT_EQ(got[2].db2, 10);
    EXPECT_EQ(got[2].db3, 7);
    EXPECT_EQ(got[2].string, "C#m7/G");
    EXPECT_EQ(got[3].stat, 0x80); // the port's own note off enters the recording too
    EXPECT_EQ(got[3].ticks, 480);
}

TEST_F(EngineTest, PartRequestsAndSelection)
{
    addParts();
    engine.requestPart(2); // a fill
    engine.requestPart(3);
    EXPECT_EQ(engine.get(engine.fillRequest), 2);
    EXPECT_EQ(engine.get(engine.partRequest), 3);
    EXPECT_EQ(engine.pendingRequest(), 2); // the fill comes first

    engine.selectPart(2);
    EXPECT_EQ(engine.get(engine.currentPart), 2);
    EXPECT_EQ(engine.get(engine.fillRequest), 0);
    EXPECT_EQ(engine.pendingRequest(), 3);
    EXPECT_EQ(engine.currentPartName(), "Fill In AA");

    engine.selectPart(3);
    EXPECT_EQ(engine.get(engine.partRequest), 0);
    EXPECT_EQ(engine.get(engine.returnPart), 3);

    engine.set(engine.inputMode, kLiveMode);
    engine.selectPart(0); // the set-up part is never played live
    EXPECT_EQ(engine.get(engine.currentPart), 3);
    engine.set(engine.currentPart, 9);
    EXPECT_EQ(engine.currentPartName(), "");
}

TEST_F(EngineTest, StopRequestOnlyWhenAPlayerRuns)
{
    EXPECT_EQ(engine.requestStop(), 0);
    EXPECT_EQ(engine.get(engine.stopRequest), 0);
}

TEST(EngineLifeCycle, ShutdownReturnsOnlyAfterThePlayerHasEnded)
{
    CKvSeq engine;
    ::testing::internal::CaptureStdout();
    engine.init(1);
    ::testing::internal::GetCapturedStdout();
    engine.clock->setManual();
    engine.clock->setAutoAdvance(true);

    // A stand-in player: runs until it sees the stop request, as the players do.
    engine.set(engine.playingStyle, engine.styles[0]);
    std::atomic<bool> ended{false};
    std::thread player([&] {
        while (!engine.get(engine.stopRequest)) std::this_thread::yield();
        ended = true;
        engine.set(engine.playingStyle, nullptr);
    });
    engine.shutdown();
    EXPECT_TRUE(ended);
    player.join();
    EXPECT_EQ(engine.port, nullptr);
    EXPECT_EQ(engine.styles[0], nullptr);
    EXPECT_EQ(engine.get(engine.inputSuspended), 1);
}

TEST(EngineClock, ManualTimeWakesSleepersOnlyWhenItHasMoved)
{
    CClock clock;
    clock.setManual(1000);
    EXPECT_EQ(clock.nowUs(), 1000);
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        clock.sleepMs(10);
        woke = true;
    });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advanceMs(9);
    ASSERT_TRUE(clock.waitForSleepers(1));
    EXPECT_FALSE(woke);
    clock.advanceMs(1);
    sleeper.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(clock.nowMs(), 11);

    clock.setAutoAdvance(true);
    clock.sleepMs(500); // an offline renderer's sleep moves time itself
    EXPECT_EQ(clock.nowMs(), 511);
}

TEST(EngineClock, RealTimeIsMonotonic)
{
    CClock clock;
    const int64_t a = clock.nowUs();
    clock.sleepMs(2);
    EXPECT_GE(clock.nowUs() - a, 2000);
}

} // namespace
