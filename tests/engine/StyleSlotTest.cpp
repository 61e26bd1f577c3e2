// The two style slots: loading into the slot not in use, selecting it at
// once or leaving it for the style player's next bar.
#include "StyleWriter.h"

#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"

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
    void SetUp() override { engine.set(engine.inputMode, kLiveMode); }
    void TearDown() override { engine.set(engine.playingStyle, nullptr); }

    int load(const Bytes& file, const char* name, int request = -2)
    {
        return engine.loadStyle(request, file.data(), static_cast<int>(file.size()), name);
    }
    int current() { return engine.get(engine.currentStyleSlot); }
    int pending() { return engine.get(engine.pendingStyleSlot); }

    CKvSeq engine;
};

TEST_F(StyleSlots, WithNothingPlayingTheOtherSlotIsLoadedAndSelected)
{
    engine.set(engine.playMode, 1);
    const Bytes first = styleFile(90), second = styleFile(132);
    EXPECT_EQ(load(first, "Styles/One.sty"), 1);
    EXPECT_EQ(std::make_pair(current(), pending()), std::make_pair(1, 1));
    EXPECT_EQ(engine.get(engine.playMode), 0);
    EXPECT_EQ(engine.get(engine.styleName), "Styles/One.sty");
    EXPECT_EQ(engine.get(engine.tempo), 90);
    EXPECT_EQ(engine.styles[1]->sequenceId, 101);
    EXPECT_EQ(engine.sequences[101], engine.styles[1]);
    EXPECT_EQ(engine.currentPartName(), "Main A");

    // The part in use carries over to the next style by kind and letters.
    engine.selectPart(3);
    EXPECT_EQ(engine.currentPartName(), "Fill In AA");
    EXPECT_EQ(load(second, "Styles/Two.sty"), 0);
    EXPECT_EQ(std::make_pair(current(), pending()), std::make_pair(0, 0));
    EXPECT_EQ(engine.currentPartName(), "Fill In AA");
    EXPECT_EQ(engine.get(engine.tempo), 132);
    EXPECT_EQ(engine.sequences[100], engine.styles[0]);

    // A blocked tempo is kept.
    engine.set(engine.blockTempo, 1);
    EXPECT_EQ(load(first, "Styles/One.sty"), 1);
    EXPECT_EQ(engine.get(engine.tempo), 132);
}

TEST_F(StyleSlots, WhileTheStylePlaysTheSwitchWaitsAndBlocksFurtherLoads)
{
    ASSERT_EQ(load(styleFile(100), "Styles/One.sty"), 1);
    CStyle* playing = engine.styles[1];
    engine.set(engine.playingStyle, playing);

    EXPECT_EQ(load(styleFile(120), "Styles/Two.sty"), 0);
    EXPECT_EQ(std::make_pair(current(), pending()), std::make_pair(1, 0));
    EXPECT_EQ(engine.styles[1], playing);
    EXPECT_EQ(engine.get(engine.tempo), 100); // the player takes the new tempo at its switch
    CStyle* waiting = engine.styles[0];

    // Pending: nothing more is loaded, the waiting style stays.
    EXPECT_EQ(load(styleFile(140), "Styles/Three.sty"), -2);
    EXPECT_EQ(engine.styles[0], waiting);
    EXPECT_EQ(engine.styles[1], playing);
    EXPECT_EQ(engine.get(engine.styleName), "Styles/Two.sty");

    // The player's switch at the bar line.
    engine.selectStyleSlot(engine.get(engine.pendingStyleSlot));
    EXPECT_EQ(std::make_pair(current(), pending()), std::make_pair(0, 0));
    EXPECT_EQ(engine.get(engine.tempo), 120);
}

TEST_F(StyleSlots, AnUnreadableStyleEmptiesItsSlotOnly)
{
    ASSERT_EQ(load(styleFile(100), "Styles/One.sty"), 1);
    CStyle* inUse = engine.styles[1];
    const Bytes junk = {'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'y', 'l', 'e', '!', '!', '!', '!'};
    EXPECT_EQ(load(junk, "Styles/Junk.sty"), -1);
    EXPECT_EQ(engine.styles[0], nullptr);
    EXPECT_EQ(engine.sequences[100], nullptr);
    EXPECT_EQ(engine.styles[1], inUse);
    EXPECT_EQ(current(), 1);
    // The empty slot takes the next style.
    EXPECT_EQ(load(styleFile(100), "Styles/One.sty"), 0);
    ASSERT_NE(engine.styles[0], nullptr);
    EXPECT_EQ(engine.styles[0]->sequenceId, 100);
}

TEST_F(StyleSlots, TheStyleBeingPlayedIsNeverReplaced)
{
    ASSERT_EQ(load(styleFile(100), "Styles/One.sty"), 1);
    CStyle* playing = engine.styles[1];
    engine.set(engine.playingStyle, playing);
    EXPECT_EQ(load(styleFile(120), "Styles/Two.sty", 1), -2);
    EXPECT_EQ(engine.styles[1], playing);
    EXPECT_EQ(load(styleFile(120), "Styles/Two.sty", 5), -2);
}

} // namespace
