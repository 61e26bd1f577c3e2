// Input routing: which keyboard area a message belongs to, sliders, the
// chord-area and split-key definitions, and pass-through of everything else.
#include "support/LiveEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    return std::any_of(out.begin(), out.end(), [](const CapturedMessage& m) { return isNote(m.status); });
}

struct RouteCase {
    const char* what;
    int splitKey, splitChannel, chordChannel, method, leftVoicesOff, channel, note;
    bool chordKey;
    NoteTarget target;
};

std::ostream& operator<<(std::ostream& os, const RouteCase& c) { return os << c.what; }

class RoutingTable : public LiveEngineFixture<::testing::TestWithParam<RouteCase>> {};

// The chord area ends at 54 in every case. No note ever passes through.
TEST_P(RoutingTable, NoteGoesToItsAreaAndNeverPassesThrough)
{
    const RouteCase& c = GetParam();
    engine.set(engine.areas.highestChordKey, 54);
    engine.set(engine.areas.splitKey, c.splitKey);
    engine.set(engine.areas.splitChannel, c.splitChannel);
    engine.set(engine.areas.chordChannel, c.chordChannel);
    engine.set(engine.areas.chordMethod, c.method);
    engine.set(engine.mixer.leftVoicesOff, c.leftVoicesOff);
    press(c.note, 90, c.channel);
    EXPECT_EQ(std::make_tuple(live().lastRoute.chordKey, live().lastRoute.target, live().heldChordKeys.size()),
              std::make_tuple(c.chordKey, c.target, c.chordKey ? 1 : 0));
    release(c.note, c.channel, true);
    EXPECT_EQ(std::make_pair(live().lastRoute.target, live().heldChordKeys.size()), std::make_pair(c.target, 0));
    EXPECT_FALSE(anyNote(sent()));
}

INSTANTIATE_TEST_SUITE_P(Areas, RoutingTable, ::testing::Values(
    // what                                                  split sCh cCh m off ch note chord  target
    RouteCase{"chord area sounds left voices",                  -1, -1, 0, 0, 0, 0, 48, true,  NoteTarget::LeftVoice},
    RouteCase{"highest chord key is chord area",                -1, -1, 0, 0, 0, 0, 54, true,  NoteTarget::LeftVoice},
    RouteCase{"above chord area is melody",                     -1, -1, 0, 0, 0, 0, 55, false, NoteTarget::Melody},
    RouteCase{"left voices off: chord key is silent",           -1, -1, 0, 0, 1, 0, 48, true,  NoteTarget::ChordOnly},
    RouteCase{"fingered on bass sounds left voices",            -1, -1, 0, 3, 0, 0, 48, true,  NoteTarget::LeftVoice},
    RouteCase{"single finger Y has no left voices",             -1, -1, 0, 1, 0, 0, 48, true,  NoteTarget::ChordOnly},
    RouteCase{"single finger R has no left voices",             -1, -1, 0, 2, 0, 0, 48, true,  NoteTarget::ChordOnly},
    RouteCase{"full keyboard low key: chord and melody",        -1, -1, 0, 4, 0, 0, 48, true,  NoteTarget::Melody},
    RouteCase{"full keyboard high key: chord and melody",       -1, -1, 0, 4, 0, 0, 90, true,  NoteTarget::Melody},
    RouteCase{"guitar high key: chord and melody",              -1, -1, 0, 5, 0, 0, 90, true,  NoteTarget::Melody},
    RouteCase{"free form high key: chord and melody",           -1, -1, 0, 6, 0, 0, 90, true,  NoteTarget::Melody},
    // Split key or channel without a split voice: a key goes on as if there
    // were no split; a key on the split channel is dropped.
    RouteCase{"split key above: split key itself",              72, -1, 0, 0, 0, 0, 72, false, NoteTarget::Melody},
    RouteCase{"split key inside chord area",                    40, -1, 0, 0, 0, 0, 40, true,  NoteTarget::LeftVoice},
    RouteCase{"split channel drops chord-area key",             -1, 11, 0, 0, 0, 11, 48, false, NoteTarget::Dropped},
    RouteCase{"split channel drops free-form key",              -1,  3, 0, 6, 0, 3, 90, false, NoteTarget::Dropped},
    RouteCase{"split channel leaves other channels",            -1,  3, 0, 0, 0, 11, 48, true,  NoteTarget::LeftVoice},
    RouteCase{"split channel wins over split key",              72,  3, 0, 0, 0, 0, 80, false, NoteTarget::Melody},
    // Chord channel 2 (index 1) or 16; channels above 8 are not those below.
    RouteCase{"chord channel: key above the area",              -1, -1, 16, 0, 0, 15, 80, true,  NoteTarget::LeftVoice},
    RouteCase{"chord channel: other channel low key",           -1, -1, 2, 0, 0, 9, 48, false, NoteTarget::Melody},
    RouteCase{"chord channel: full keyboard is silent",         -1, -1, 2, 4, 0, 1, 80, true,  NoteTarget::ChordOnly},
    RouteCase{"chord channel: bass method, voices off",         -1, -1, 2, 3, 1, 1, 80, true,  NoteTarget::ChordOnly},
    RouteCase{"chord channel: free form takes every key",       -1, -1, 2, 6, 0, 0, 48, true,  NoteTarget::Melody},
    RouteCase{"chord channel: free form left hand plays",       -1, -1, 2, 6, 0, 1, 80, true,  NoteTarget::Melody}));

// With a split voice: above the chord area the split area runs from the
// split key up, inside it from the bottom up to the split key; never without one.
TEST(SplitArea, SplitKeySideDecidesWhenThereIsASplitVoice)
{
    auto split = [](int splitKey, int note) {
        return CLiveInput::decideRoute({splitKey, -1, 54, 0, 0, 0, true}, 0, note).target == NoteTarget::SplitVoice;
    };
    for (int note = 0; note < 128; ++note) EXPECT_FALSE(split(-1, note)) << note;
    EXPECT_EQ((std::vector<bool>{split(72, 71), split(72, 72), split(40, 40), split(40, 41)}),
              (std::vector<bool>{false, true, true, false}));
}

// Controllers 20-25 on any channel drive the six sliders; the tempo slider
// doubles, the others scale to 0-200 %; other messages pass through.
TEST_F(LiveEngineTest, SlidersAndPassThrough)
{
    int32_t* const fields[6] = {&engine.play.tempo, &engine.mixer.drumsVolume, &engine.mixer.bassVolume,
                                        &engine.mixer.otherVolume, &engine.mixer.accompVolume, &engine.mixer.melodyVolume};
    for (int slot = 0; slot < 6; ++slot) live().sliders[slot][0] = 21 + slot;
    const int cases[][3] = {{0, 3, 10}, {0, 60, 120}, {0, 127, 250}, {1, 0, 0},  {1, 64, 100},
                            {1, 127, 200}, {3, 64, 100}, {4, 1, 1},   {5, 127, 200}};
    for (const auto& [slot, value, expected] : cases) {
        engine.processInput(0xB4, 20 + slot, value);
        EXPECT_EQ(engine.get(*fields[slot]), expected) << slot << " " << value;
    }
    EXPECT_TRUE(sent().empty()) << "a slider is not passed on";
    live().sliders[2][0] = 8; // controller 7 on channel 11 only, before an any-channel slot
    live().sliders[2][1] = 11;
    live().sliders[4][0] = 8;
    engine.processInput(0xBA, 7, 127);
    engine.processInput(0xB0, 7, 0);
    EXPECT_EQ(std::make_pair(engine.get(engine.mixer.bassVolume), engine.get(engine.mixer.accompVolume)), std::make_pair(200, 0));
    engine.processInput(0x92, 7, 100); // a note is never a slider
    const int messages[][3] = {{0xB3, 9, 100}, {0xC2, 5, 0}, {0xE5, 0, 64}, {0xA1, 60, 30}, {0xD0, 40, 0}};
    for (const auto& m : messages) engine.processInput(m[0], m[1], m[2]);
    const auto out = sent();
    ASSERT_EQ(out.size(), std::size(messages));
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(std::make_pair(out[i].status, out[i].d1), std::make_pair(messages[i][0], messages[i][1])) << i;
}

class DefinitionTable : public LiveEngineFixture<::testing::TestWithParam<std::tuple<bool, bool>>> {};

TEST_P(DefinitionTable, NextKeyDefinesAndItsReleaseEndsTheDefinition)
{
    const auto [chordArea, zeroVelocityRelease] = GetParam();
    uint8_t& pending = chordArea ? live().chordKeyDefinePending : live().splitKeyDefinePending;
    pending = 1;
    press(67);
    EXPECT_EQ(engine.get(chordArea ? engine.areas.highestChordKey : engine.areas.splitKey), 67);
    EXPECT_EQ(pending, 1);
    release(67, 0, zeroVelocityRelease);
    EXPECT_EQ(std::make_tuple(pending, live().lastRoute.target, live().heldChordKeys.size()),
              std::make_tuple(uint8_t{0}, NoteTarget::Definition, 0));
    press(67); // an ordinary key again
    EXPECT_NE(live().lastRoute.target, NoteTarget::Definition);
    EXPECT_FALSE(anyNote(sent()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DefinitionTable, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST_F(LiveEngineTest, HeldChordKeyIsLetGoByItsOwnReleaseOnly)
{
    engine.set(engine.areas.highestChordKey, 54);
    press(48, 100, 0); // a chord key, held
    live().chordKeyDefinePending = 1;
    release(48);
    EXPECT_EQ(live().chordKeyDefinePending, 0); // any release ends the definition
    EXPECT_TRUE(live().heldChordKeys.empty());   // but this key is let go as usual
    EXPECT_EQ(engine.get(engine.areas.highestChordKey), 54);
    // Keys taken by a definition are told apart by channel too.
    press(48, 100, 0);
    live().splitKeyDefinePending = 1;
    press(48, 100, 1);
    EXPECT_EQ(engine.get(engine.areas.splitKey), 48);
    release(48, 1);
    EXPECT_EQ(live().heldChordKeys.size(), 1);
    engine.set(engine.areas.splitKey, -1);
    release(48, 0);
    EXPECT_TRUE(live().heldChordKeys.empty());
    // A chord key on channel 11: the same key released on another channel,
    // outside the chord part, leaves it; its own release after the chord
    // channel changed still lets it go.
    engine.set(engine.areas.chordChannel, 11);
    press(80, 100, 10);
    release(80, 0);
    EXPECT_EQ(live().heldChordKeys.size(), 1);
    engine.set(engine.areas.chordChannel, 0);
    release(80, 10);
    EXPECT_TRUE(live().heldChordKeys.empty());
}

// Keys pressed and released at random while the areas, the method, the
// fixation pedal and the definitions change under them: no key stays held
// after its release, none twice, and no note passes through.
TEST_F(LiveEngineTest, RandomPlayingLeavesNoChordKeyBehind)
{
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int32_t* const fields[] = {&engine.areas.chordMethod, &engine.areas.highestChordKey, &engine.areas.chordChannel,
                                       &engine.areas.splitKey, &engine.areas.splitChannel, &engine.mixer.leftVoicesOff};
    std::set<std::pair<int, int>> down; // (channel, note)
    for (int step = 0; step < 20000; ++step) {
        const int action = pick(0, 99);
        if (action < 45) {
            const int ch = pick(0, 2), note = pick(24, 100);
            if (down.insert({ch, note}).second) press(note, pick(1, 127), ch);
        } else if (action < 85 && !down.empty()) {
            auto it = std::next(down.begin(), pick(0, static_cast<int>(down.size()) - 1));
            release(it->second, it->first, pick(0, 1) == 1);
            down.erase(it);
        } else if (action < 97) {
            const int f = pick(0, 6), values[][2] = {{0, 6}, {36, 72}, {0, 3}, {-1, 90}, {-1, 2}, {0, 1}};
            if (f == 6) engine.set(engine.play.chordFixation, pick(0, 3) == 0);
            else engine.set(*fields[f], pick(values[f][0], values[f][1]));
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
