// The two style slots: loading into the slot not in use, selecting it at
// once or leaving it for the style player's next bar.
#include "StyleWriter.h"

#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"
#include "player/EngineAssembly.h"

#include <gtest/gtest.h>

using stylewriter::Bytes;
using stylewriter::StyleWriter;

namespace {

// A style with Main A, Main B and Fill In AA at the given tempo.
Bytes styleFile(int bpm)
{
    StyleWriter w(480, 4, 4, bpm);
    w.part("Main A", 2).part("Main B", 3).part("Fill In AA", 4);
    for (int bar = 2; bar <= 4; ++bar) w.note(w.at(bar), 0, 60, 90, 400);
    return w.build();
}

class StyleSlots : public ::testing::Test {
protected:
    void SetUp() override
    {
        installEngineParts(engine);
        engine.set(engine.play.inputMode, kLiveMode);
    }
    void TearDown() override { engine.set(engine.play.playingStyle, nullptr); }

    int load(const Bytes& file, const char* name, int request = -2)
    {
        return engine.loadStyle(request, file.data(), static_cast<int>(file.size()), name);
    }
    int current() { return engine.get(engine.currentStyleSlot); }
    int pending() { return engine.get(engine.pendingStyleSlot); }

    CKvSeq engine;
};

TEST_F(StyleSlots, WhileTheStylePlaysTheSwitchWaitsAndBlocksFurtherLoads)
{
    // Nothing playing: the other slot is loaded and selected at once, a song stops.
    engine.set(engine.songState.playMode, 1);
    EXPECT_EQ(load(styleFile(100), "Styles/One.sty"), 1);
    EXPECT_EQ(std::make_tuple(current(), pending(), engine.get(engine.play.tempo), engine.get(engine.songState.playMode)),
              std::make_tuple(1, 1, 100, 0));
    engine.selectPart(3);
    CStyle* playing = engine.styles[1];
    engine.set(engine.play.playingStyle, playing);
    // The slot being played is never replaced, whatever slot is asked for.
    for (int request : {1, 5}) EXPECT_EQ(load(styleFile(120), "Styles/Two.sty", request), -2) << request;

    EXPECT_EQ(load(styleFile(120), "Styles/Two.sty"), 0);
    EXPECT_EQ(std::make_tuple(current(), pending(), engine.get(engine.play.tempo)), std::make_tuple(1, 0, 100));
    CStyle* waiting = engine.styles[0];
    // Pending: nothing more is loaded, the waiting style stays.
    EXPECT_EQ(load(styleFile(140), "Styles/Three.sty"), -2);
    EXPECT_EQ(std::make_pair(engine.styles[0], engine.styles[1]), std::make_pair(waiting, playing));
    EXPECT_EQ(engine.get(engine.styleName), "Styles/Two.sty");

    // The player's switch at the bar line: the new tempo, the part by kind and letters.
    engine.selectStyleSlot(engine.get(engine.pendingStyleSlot));
    EXPECT_EQ(std::make_tuple(current(), pending(), engine.get(engine.play.tempo)), std::make_tuple(0, 0, 120));
    EXPECT_EQ(engine.currentPartName(), "Fill In AA");
    EXPECT_EQ(engine.sequences[100], engine.styles[0]);
}

TEST_F(StyleSlots, AnUnreadableStyleEmptiesItsSlotOnly)
{
    ASSERT_EQ(load(styleFile(100), "Styles/One.sty"), 1);
    CStyle* inUse = engine.styles[1];
    const Bytes junk = {'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'y', 'l', 'e', '!', '!', '!', '!'};
    EXPECT_EQ(load(junk, "Styles/Junk.sty"), -1);
    EXPECT_EQ(std::make_tuple(engine.styles[0], engine.sequences[100], engine.styles[1], current()),
              std::make_tuple(nullptr, nullptr, inUse, 1));
    // The empty slot takes the next style.
    EXPECT_EQ(load(styleFile(100), "Styles/One.sty"), 0);
    ASSERT_NE(engine.styles[0], nullptr);
    EXPECT_EQ(engine.styles[0]->sequenceId, 100);
}

} // namespace
