// Input routing: which keyboard area a message belongs to, sliders, the
// chord-area and split-key definitions, and pass-through of everything else.
#include "support/LiveEngine.h"

#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <random>
#include <set>
#include <tuple>
#include <utility>

namespace {

using testsupport::LiveEngineFixture;
using testsupport::LiveEngineTest;

bool anyNote(const std::vector<CapturedMessage>& out)
{
    for (const CapturedMessage& m : out)
        if (m.status >= 0x80 && m.status <= 0x9F) return true;
    return false;
}

// ---- keyboard areas ------------------------------------------------------

struct RouteCase {
    const char* what;
    int splitKey, splitChannel, chordChannel, method, leftVoicesOff;
    int channel, note;
    bool chordKey;
    NoteTarget target;
};

std::ostream& operator<<(std::ostream& os, const RouteCase& c) { return os << c.what; }

// The chord area ends at 54 in every case.
const RouteCase kRouteCases[] = {
    // what                                      split  sCh cCh m  off  ch note chord   target
    {"chord area sounds left voices",             -1, -1, 0, 0, 0,  0, 48, true,  NoteTarget::LeftVoice},
    {"highest chord key is chord area",           -1, -1, 0, 0, 0,  0, 54, true,  NoteTarget::LeftVoice},
    {"above chord area is melody",                -1, -1, 0, 0, 0,  0, 55, false, NoteTarget::Melody},
    {"left voices off: chord key is silent",      -1, -1, 0, 0, 1,  0, 48, true,  NoteTarget::ChordOnly},
    {"fingered on bass sounds left voices",       -1, -1, 0, 3, 0,  0, 48, true,  NoteTarget::LeftVoice},
    {"single finger Y has no left voices",        -1, -1, 0, 1, 0,  0, 48, true,  NoteTarget::ChordOnly},
    {"single finger R has no left voices",        -1, -1, 0, 2, 0,  0, 48, true,  NoteTarget::ChordOnly},
    {"full keyboard low key: chord and melody",   -1, -1, 0, 4, 0,  0, 48, true,  NoteTarget::Melody},
    {"full keyboard high key: chord and melody",  -1, -1, 0, 4, 0,  0, 90, true,  NoteTarget::Melody},
    {"guitar high key: chord and melody",         -1, -1, 0, 5, 0,  0, 90, true,  NoteTarget::Melody},
    {"free form low key: chord and melody",       -1, -1, 0, 6, 0,  0, 48, true,  NoteTarget::Melody},
    {"free form high key: chord and melody",      -1, -1, 0, 6, 0,  0, 90, true,  NoteTarget::Melody},
    // Split key without a split voice: the key goes on as if there were no split.
    {"split key above: split key itself",         72, -1, 0, 0, 0,  0, 72, false, NoteTarget::Melody},
    {"split key above: key below it",             72, -1, 0, 0, 0,  0, 71, false, NoteTarget::Melody},
    {"split key inside chord area",               40, -1, 0, 0, 0,  0, 40, true,  NoteTarget::LeftVoice},
    // Split channel without a split voice: dropped before the chord area.
    {"split channel drops chord-area key",        -1,  3, 0, 0, 0,  3, 48, false, NoteTarget::Dropped},
    {"split channel drops free-form key",         -1,  3, 0, 6, 0,  3, 90, false, NoteTarget::Dropped},
    {"split channel leaves other channels",       -1,  3, 0, 0, 0,  0, 48, true,  NoteTarget::LeftVoice},
    {"split channel wins over split key",         72,  3, 0, 0, 0,  0, 80, false, NoteTarget::Melody},
    // Chord channel 2 (index 1).
    {"chord channel: key above the area",         -1, -1, 2, 0, 0,  1, 80, true,  NoteTarget::LeftVoice},
    {"chord channel: other channel low key",      -1, -1, 2, 0, 0,  0, 48, false, NoteTarget::Melody},
    {"chord channel: other channel high key",     -1, -1, 2, 0, 0,  0, 80, false, NoteTarget::Melody},
    {"chord channel: full keyboard is silent",    -1, -1, 2, 4, 0,  1, 80, true,  NoteTarget::ChordOnly},
    {"chord channel: bass method, voices off",    -1, -1, 2, 3, 1,  1, 80, true,  NoteTarget::ChordOnly},
    {"chord channel: free form takes every key",  -1, -1, 2, 6, 0,  0, 48, true,  NoteTarget::Melody},
    {"chord channel: free form left hand plays",  -1, -1, 2, 6, 0,  1, 80, true,  NoteTarget::Melody},
};

class RoutingTable : public LiveEngineFixture<::testing::TestWithParam<RouteCase>> {};

TEST_P(RoutingTable, NoteGoesToItsAreaAndNeverPassesThrough)
{
    const RouteCase& c = GetParam();
    engine.set(engine.highestChordKey, 54);
    engine.set(engine.splitKey, c.splitKey);
    engine.set(engine.splitChannel, c.splitChannel);
    engine.set(engine.chordChannel, c.chordChannel);
    engine.set(engine.chordMethod, c.method);
    engine.set(engine.leftVoicesOff, c.leftVoicesOff);

    press(c.note, 90, c.channel);
    EXPECT_EQ(live().lastRoute.chordKey, c.chordKey);
    EXPECT_EQ(live().lastRoute.target, c.target);
    EXPECT_EQ(live().heldChordKeys.size(), c.chordKey ? 1 : 0);

    release(c.note, c.channel, true);
    EXPECT_EQ(live().lastRoute.target, c.target);
    EXPECT_TRUE(live().heldChordKeys.empty());
    EXPECT_FALSE(anyNote(sent()));
}

INSTANTIATE_TEST_SUITE_P(Areas, RoutingTable, ::testing::ValuesIn(kRouteCases));

TEST(SplitArea, SplitKeySideDecidesWhenThereIsASplitVoice)
{
    auto split = [](int splitKey, int note) {
        return CLiveInput::decideRoute({splitKey, -1, 54, 0, 0, 0, true}, 0, note).target == NoteTarget::SplitVoice;
    };
    for (int note = 0; note < 128; ++note) EXPECT_FALSE(split(-1, note)) << note; // no split key: never
    EXPECT_FALSE(split(72, 71)); // above the chord area: from the split key up
    EXPECT_TRUE(split(72, 72));
    EXPECT_TRUE(split(40, 40));  // inside it: from the bottom up to the split key
    EXPECT_FALSE(split(40, 41));
}

// ---- everything that is not a note ---------------------------------------

TEST_F(LiveEngineTest, OtherMessagesPassThroughOnTheirOwnChannel)
{
    const int messages[][3] = {
        {0xB3, 7, 100}, // controller, no slider
        {0xC2, 5, 0},   // program change
        {0xE5, 0, 64},  // pitch bend
        {0xA1, 60, 30}, // key pressure
        {0xD0, 40, 0},  // channel pressure
    };
    for (const auto& m : messages) engine.processInput(m[0], m[1], m[2]);
    const auto out = sent();
    ASSERT_EQ(out.size(), std::size(messages));
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].status, messages[i][0]);
        EXPECT_EQ(out[i].d1, messages[i][1]);
    }
}

// ---- sliders ---------------------------------------------------------------

struct SliderCase {
    int slot, value, expected;
};

std::ostream& operator<<(std::ostream& os, const SliderCase& c) { return os << "slot " << c.slot << " value " << c.value; }

class SliderTable : public LiveEngineFixture<::testing::TestWithParam<SliderCase>> {};

TEST_P(SliderTable, ValueScalesToPercentOrTempo)
{
    const SliderCase& c = GetParam();
    int32_t CKvSeq::*const fields[6] = {&CKvSeq::tempo, &CKvSeq::drumsVolume, &CKvSeq::bassVolume,
                                        &CKvSeq::otherVolume, &CKvSeq::accompVolume, &CKvSeq::melodyVolume};
    for (int slot = 0; slot < 6; ++slot) live().sliders[slot][0] = 21 + slot; // controllers 20-25, any channel
    engine.processInput(0xB4, 20 + c.slot, c.value);
    EXPECT_EQ(engine.get(engine.*fields[c.slot]), c.expected);
    EXPECT_TRUE(sent().empty()); // a slider is not passed on
}

const SliderCase kSliderCases[] = {
    {0, 3, 10}, {0, 60, 120}, {0, 127, 250}, // tempo = 2 × value, clamped
    {1, 0, 0},  {1, 64, 100}, {1, 127, 200}, {2, 127, 200}, {3, 64, 100}, {4, 1, 1}, {5, 0, 0}, {5, 127, 200},
};
INSTANTIATE_TEST_SUITE_P(Slots, SliderTable, ::testing::ValuesIn(kSliderCases));

TEST_F(LiveEngineTest, SliderChannelAndSlotOrder)
{
    live().sliders[2][0] = 8; // controller 7 on channel 3 only
    live().sliders[2][1] = 3;
    live().sliders[4][0] = 8; // controller 7 on any channel, second in line
    engine.processInput(0xB2, 7, 127);
    EXPECT_EQ(engine.get(engine.bassVolume), 200);
    EXPECT_EQ(engine.get(engine.accompVolume), 100);
    engine.processInput(0xB0, 7, 0);
    EXPECT_EQ(engine.get(engine.accompVolume), 0);
    engine.processInput(0xB0, 0, 50);  // empty slots match no controller
    engine.processInput(0x92, 7, 100); // a note is never a slider
    const auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].status, 0xB0);
}

// ---- chord-area and split-key definitions ----------------------------------

class DefinitionTable : public LiveEngineFixture<::testing::TestWithParam<std::tuple<bool, bool>>> {};

TEST_P(DefinitionTable, NextKeyDefinesAndItsReleaseEndsTheDefinition)
{
    const auto [chordArea, zeroVelocityRelease] = GetParam();
    uint8_t& pending = chordArea ? live().chordKeyDefinePending : live().splitKeyDefinePending;
    int32_t& field = chordArea ? engine.highestChordKey : engine.splitKey;
    pending = 1;
    press(67);
    EXPECT_EQ(engine.get(field), 67);
    EXPECT_EQ(pending, 1);
    release(67, 0, zeroVelocityRelease);
    EXPECT_EQ(pending, 0);
    EXPECT_EQ(live().lastRoute.target, NoteTarget::Definition);
    EXPECT_TRUE(live().heldChordKeys.empty());
    press(67); // an ordinary key again
    EXPECT_NE(live().lastRoute.target, NoteTarget::Definition);
    EXPECT_FALSE(anyNote(sent()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DefinitionTable, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST_F(LiveEngineTest, ReleaseOfAKeyHeldBeforeTheDefinitionIsNotSwallowed)
{
    engine.set(engine.highestChordKey, 54);
    press(48, 100, 0); // a chord key, held
    live().chordKeyDefinePending = 1;
    release(48);
    EXPECT_EQ(live().chordKeyDefinePending, 0); // any release ends the definition
    EXPECT_TRUE(live().heldChordKeys.empty());   // but this key is let go as usual
    EXPECT_EQ(engine.get(engine.highestChordKey), 54);

    // Keys taken by a definition are told apart by channel too.
    press(48, 100, 0);
    live().splitKeyDefinePending = 1;
    press(48, 100, 1);
    EXPECT_EQ(engine.get(engine.splitKey), 48);
    release(48, 1);
    EXPECT_EQ(live().heldChordKeys.size(), 1);
    engine.set(engine.splitKey, -1);
    release(48, 0);
    EXPECT_TRUE(live().heldChordKeys.empty());
}

// ---- held chord keys ---------------------------------------------------------

TEST_F(LiveEngineTest, ChordKeyLeavesTheListWhenTheAreasChangedWhileHeld)
{
    int32_t CKvSeq::*const fields[] = {&CKvSeq::chordMethod, &CKvSeq::highestChordKey, &CKvSeq::splitChannel,
                                       &CKvSeq::chordChannel};
    const int changed[] = {0, 30, 0, 5}; // each makes key 80, channel 1, no chord key
    for (int i = 0; i < 4; ++i) {
        engine.set(engine.chordMethod, 4); // Full keyboard: 80 is a chord key
        engine.set(engine.highestChordKey, 54);
        engine.set(engine.splitChannel, -1);
        engine.set(engine.chordChannel, 0);
        press(80);
        ASSERT_EQ(live().heldChordKeys.size(), 1) << i;
        engine.set(engine.*fields[i], changed[i]);
        release(80);
        EXPECT_TRUE(live().heldChordKeys.empty()) << i;
    }
    // The same note released on another channel is another key.
    engine.set(engine.chordMethod, 4);
    engine.set(engine.chordChannel, 0);
    press(80, 100, 0);
    engine.set(engine.chordChannel, 1);
    release(80, 1);
    EXPECT_EQ(live().heldChordKeys.size(), 1);
}

TEST_F(LiveEngineTest, RandomPlayingLeavesNoChordKeyBehind)
{
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::set<std::pair<int, int>> down; // (channel, note)

    for (int step = 0; step < 20000; ++step) {
        const int action = pick(0, 99);
        if (action < 45) {
            const int ch = pick(0, 2), note = pick(24, 100);
            if (down.insert({ch, note}).second) press(note, pick(1, 127), ch);
        } else if (action < 85 && !down.empty()) {
            auto it = down.begin();
            std::advance(it, pick(0, static_cast<int>(down.size()) - 1));
            release(it->second, it->first, pick(0, 1) == 1);
            down.erase(it);
        } else if (action < 97) {
            switch (pick(0, 6)) {
            case 0: engine.set(engine.chordMethod, pick(0, 6)); break;
            case 1: engine.set(engine.highestChordKey, pick(36, 72)); break;
            case 2: engine.set(engine.chordChannel, pick(0, 3)); break;
            case 3: engine.set(engine.splitKey, pick(0, 3) == 0 ? -1 : pick(30, 90)); break;
            case 4: engine.set(engine.splitChannel, pick(0, 3) == 0 ? pick(0, 2) : -1); break;
            case 5: engine.set(engine.leftVoicesOff, pick(0, 1)); break;
            default: engine.set(engine.chordFixation, pick(0, 3) == 0); break;
            }
        } else {
            (pick(0, 1) ? live().chordKeyDefinePending : live().splitKeyDefinePending) = 1;
        }
        engine.clock->advanceMs(pick(0, 700));

        const HeldKeyList& held = live().heldChordKeys;
        ASSERT_LE(held.size(), HeldKeyList::kCapacity);
        std::set<int> notes;
        for (int i = 0; i < held.size(); ++i) {
            ASSERT_TRUE(notes.insert(held[i].note).second) << "note held twice, step " << step;
            ASSERT_TRUE(down.count({held[i].channel, held[i].note})) << "released key still held, step " << step;
        }
    }
    for (const auto& [ch, note] : down) release(note, ch);
    EXPECT_TRUE(live().heldChordKeys.empty());
    EXPECT_FALSE(anyNote(sent()));
}

} // namespace
