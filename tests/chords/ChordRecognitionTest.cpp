// Chord recognition from keys played into the engine, method by method, and
// what installing a chord does to the engine's two chords.
#include "chords/ChordRecognition.h"
#include "support/LiveEngine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testsupport::key;
using testsupport::LiveEngineFixture;
using testsupport::LiveEngineTest;

std::vector<std::string> split(const std::string& keys)
{
    std::istringstream in(keys);
    std::vector<std::string> out;
    for (std::string k; in >> k;) out.push_back(k);
    return out;
}

struct RecognitionCase {
    int method;
    const char* keys;   // pressed in this order
    const char* symbol; // of the last recognition; "none" = no chord
};

std::ostream& operator<<(std::ostream& os, const RecognitionCase& c) { return os << c.method << ": " << c.keys; }

class Recognition : public LiveEngineFixture<::testing::TestWithParam<RecognitionCase>> {};

TEST_P(Recognition, KeysGiveChord)
{
    const RecognitionCase& c = GetParam();
    engine.set(engine.areas.highestChordKey, 127); // every key is chord area
    engine.set(engine.areas.chordMethod, c.method);
    pressAll(split(c.keys));
    EXPECT_STREQ(live().recognisedChord.symbol, c.symbol);
    if (live().recognisedChord.root >= 0) {
        EXPECT_EQ(current() + "|" + accomp(), std::string(c.symbol) + "|" + c.symbol);
    }
    releaseAll(split(c.keys));
    EXPECT_TRUE(live().heldChordKeys.empty());
}

INSTANTIATE_TEST_SUITE_P(Methods, Recognition, ::testing::ValuesIn(std::vector<RecognitionCase>{
    // Full fingered: rotations, one doubling dropped, the first five keys only.
    {0, "C4 E4 G4", "C"}, {0, "E4 G4 C5", "C"}, {0, "C4 G4 E5", "none"}, {0, "C4 E4 G4 C5", "C"},
    {0, "C4 E4 G4 C5 E5", "none"}, {0, "C4 E4 G4 B4 D5 F5", "CMaj7(9)"}, {0, "C4 E4 F#4", "none"},
    {0, "C4 E4", "none"}, {0, "C4 E4 A4", "Am"}, {0, "B3 D4 F4 G4", "G7"}, {0, "C4 Eb4 Bb4", "Cm7"},
    // Single finger (Yamaha): black key below minor, white seventh; only the three highest count.
    {1, "C4", "C"}, {1, "Bb3 C4", "Cm"}, {1, "B3 C4", "C7"}, {1, "A3 Bb3 C4", "Cm7"}, {1, "Ab3 Bb3 C4", "Cm"},
    {1, "Ab3 B3 C4", "Cm7"}, {1, "C2 G3 A3 C4", "C7"},
    // Single finger (Roland): with three keys only dim and m7 are read; four keys are no chord.
    {2, "C4", "C"}, {2, "C4 Eb4", "Cm"}, {2, "C4 Bb4", "C7"}, {2, "C4 B4", "CMaj7"}, {2, "C4 Eb4 F#4", "Cdim"},
    {2, "C4 Eb4 Bb4", "Cm7"}, {2, "C4 Eb4 G4", "C"}, {2, "C4 E4 G4 B4", "none"},
    // Fingered on bass: the root in the bass is no separate bass.
    {3, "E4 G4 C5", "C/E"}, {3, "C4 E4 G4", "C"}, {3, "G3 C4 E4 G4 Bb4", "C7/G"}, {3, "C4 G4 E5", "none"},
    // Full keyboard: the lowest group of three keys without a gap over 6; none without such a group.
    {4, "E2 C3 E3 G3 C6", "C"}, {4, "D2 F#2 A2 C6 E6 G6", "D"}, {4, "C3 G3", "none"}, {4, "C2 E2 C4 E4", "none"},
    {4, "C3 E3 Bb3", "C7"},
    // Guitar: triads only.
    {5, "E2 B2 E3 G#3 B3 E4", "E"}, {5, "E2 B2 E3 G3 B3 E4", "Em"}, {5, "C4 E4", "none"}, {5, "C4 E4 G4 Bb4", "C"},
    // Free form: three to five keys, named from the lowest.
    {6, "G3 C4 E4", "G C E"}, {6, "C#4 D#4 F#4 G#4 A#4", "C# Eb F# Ab Bb"}, {6, "C4 E4", "none"},
    {6, "C4 D4 E4 F4 G4 A4", "none"},
}));

// Full fingered: three adjacent lowest keys are a cluster trigger, not a chord;
// with velocitySelectsMain the average velocity of a chord picks a Main.
TEST_F(LiveEngineTest, ClusterAndVelocitySelectedMain)
{
    engine.set(engine.areas.highestChordKey, 127);
    live().setTrigger(29, 385 + 60, 0); // the C4 cluster runs Tempo up
    const std::pair<const char*, int> clusters[] = {
        {"C4 C#4 D4", 385 + 60}, {"B3 C4 C#4 E5", 385 + 59}, {"C4 D4 E4", 0}, {"C4 C#4 E4 D5", 0}};
    for (const auto& [keys, code] : clusters) {
        pressAll(split(keys));
        EXPECT_EQ(std::make_pair(live().lastClusterCode, live().recognisedChord.root), std::make_pair(code, -1)) << keys;
        releaseAll(split(keys));
    }
    EXPECT_EQ(engine.get(engine.play.tempo), 125);
    const int velocities[][2] = {{1, 6}, {33, 6}, {34, 10}, {66, 10}, {67, 14}, {99, 14}, {100, 17}, {127, 17}};
    for (bool enabled : {false, true}) {
        engine.set(engine.areas.velocitySelectsMain, enabled);
        for (const auto& [velocity, main] : velocities) {
            press(key("C4"), velocity);
            press(key("E4"), velocity + (velocity == 33)); // 33, 34, 34 average below 34
            press(key("G4"), velocity + (velocity == 33));
            EXPECT_EQ(live().lastMainFunction, enabled ? main : -1) << velocity;
            releaseAll({"C4", "E4", "G4"});
        }
    }
    pressAll({"C4", "C#4", "E4", "G4"}); // no chord: no Main
    EXPECT_EQ(live().lastMainFunction, -1);
}

// Fingered on bass: a lower key more than 500 ms after the chord only
// changes the bass; earlier it is a full recognition (A E G C: no chord).
class BassChange : public LiveEngineFixture<::testing::TestWithParam<int>> {};

TEST_P(BassChange, LowerBassAfterAPauseOnlyChangesTheBass)
{
    engine.set(engine.areas.highestChordKey, 127);
    engine.set(engine.areas.chordMethod, kFingeredOnBass);
    pressAll({"E4", "G4", "C5"});
    ASSERT_EQ(live().lastBassKey, key("E4"));
    const int64_t installed = live().lastChordTime;
    engine.clock->advanceMs(GetParam());
    press(key("A2"));
    const std::string expected = GetParam() > 500 ? "C/A" : "C/E";
    EXPECT_EQ(current() + "|" + accomp(), expected + "|" + expected);
    // Neither path moves the bass key or the chord time.
    EXPECT_EQ(std::make_pair(live().lastBassKey, live().lastChordTime), std::make_pair(key("E4"), installed));
}

INSTANTIATE_TEST_SUITE_P(Delays, BassChange, ::testing::Values(400, 500, 501));

TEST_F(LiveEngineTest, BassChangeTakesTheAccompanimentChordAndPedal)
{
    engine.set(engine.areas.highestChordKey, 127);
    engine.set(engine.areas.chordMethod, kFingeredOnBass);
    pressAll({"G3", "C4", "E4", "G4", "Bb4"});
    ASSERT_EQ(current(), "C7/G");
    engine.clock->advanceMs(600);
    press(key("C3")); // the root as the new bass: the plain chord
    EXPECT_EQ(current(), "C7");
    engine.clock->advanceMs(600);
    engine.set(engine.play.minorPending, 1);
    press(key("F2"));
    EXPECT_EQ(std::make_pair(current(), engine.get(engine.play.minorPending)), std::make_pair(std::string("Cm/F"), uint8_t{0}));
    engine.setChordRecognition(0); // no accompaniment chord to put a bass under: the keys are recognised
    engine.clock->advanceMs(600);
    press(key("C2"));
    EXPECT_EQ(current(), "C7");
}

TEST_F(LiveEngineTest, ReleasingTheBassEndsTheBassChange)
{
    engine.set(engine.areas.highestChordKey, 127);
    engine.set(engine.areas.chordMethod, kFingeredOnBass);
    pressAll({"E4", "G4", "C5"});
    release(key("D2")); // a release below the bass leaves it
    EXPECT_EQ(live().lastBassKey, key("E4"));
    release(key("E4")); // the bass itself ends it, and so does any key above it
    EXPECT_EQ(live().lastBassKey, 0);
    press(key("E4"));
    release(key("G4"));
    EXPECT_EQ(live().lastBassKey, 0);
}

TEST_F(LiveEngineTest, FixationPedalFreezesRecognition)
{
    engine.set(engine.areas.highestChordKey, 127);
    pressAll({"C4", "E4", "G4"});
    releaseAll({"C4", "E4", "G4"});
    engine.set(engine.areas.chordFixationController, 67); // a pedal on controller 66 holds the chord while down
    engine.processInput(0xB0, 66, 127);
    pressAll({"F4", "A4", "C5"});
    EXPECT_EQ(std::string(live().recognisedChord.symbol) + "|" + current(), "C|C"); // not even recognised
    EXPECT_EQ(live().heldChordKeys.size(), 3); // but the keys are followed
    engine.processInput(0xB0, 66, 0);
    releaseAll({"C5"});
    pressAll({"C5"});
    EXPECT_EQ(current(), "F");
}

struct InstallCase {
    const char* what;
    int recognitionOff, playMode, styleRunning, paused, minorPending, free;
    const char* chords; // current|accompaniment after setChord(0, 19, 4) or the free chord C7/E; "|" = untouched
};

std::ostream& operator<<(std::ostream& os, const InstallCase& c) { return os << c.what; }

class InstallTable : public LiveEngineFixture<::testing::TestWithParam<InstallCase>> {};

TEST_P(InstallTable, ChordFollowsSwitchesAndPlayer)
{
    const InstallCase& c = GetParam();
    engine.set(engine.areas.chordRecognitionOff, c.recognitionOff);
    engine.set(engine.songState.playMode, c.playMode);
    engine.set(engine.play.paused, c.paused);
    engine.set(engine.play.minorPending, c.minorPending);
    if (c.styleRunning) engine.set(engine.play.playingStyle, engine.styles[0]);
    Chord free;
    parseChordSymbol(free, "C7/E");
    if (c.free) engine.setFreeChord(free);
    else engine.setChord(0, 19, 4);
    EXPECT_EQ(current() + "|" + accomp(), c.chords);
    EXPECT_EQ(engine.get(engine.play.minorPending), c.chords[0] == '|' || c.free ? c.minorPending : 0);
}

INSTANTIATE_TEST_SUITE_P(Switches, InstallTable, ::testing::Values(
    InstallCase{"plain", 0, 0, 0, 0, 0, 0, "C7/E|C7/E"}, InstallCase{"minor pedal", 0, 0, 0, 0, 1, 0, "Cm/E|Cm/E"},
    InstallCase{"recognition off", 1, 0, 0, 0, 1, 0, "|"}, InstallCase{"song loaded", 0, 1, 0, 0, 0, 0, "|"},
    InstallCase{"style player takes it over", 0, 0, 1, 0, 0, 0, "C7/E|"},
    InstallCase{"paused style player", 0, 0, 1, 1, 0, 0, "C7/E|C7/E"},
    InstallCase{"free chord ignores switches and pedal", 1, 1, 0, 0, 1, 1, "C7/E|C7/E"},
    InstallCase{"free chord waits for a paused player", 0, 0, 1, 1, 0, 1, "C7/E|"}));

TEST_F(LiveEngineTest, SwitchingRecognitionResetsChordsAndSilences)
{
    engine.setChord(9, 8, -1);
    ASSERT_EQ(accomp(), "Am");
    sent();
    engine.setChordRecognition(1);
    EXPECT_EQ(engine.get(engine.areas.chordRecognitionOff) * 10 + engine.get(engine.stateChanged), 11);
    EXPECT_EQ(current() + "|" + accomp(), "none|none");
    int allNotesOff = 0;
    for (const CapturedMessage& m : sent()) allNotesOff += (m.status & 0xF0) == 0xB0 && m.d1 == 123;
    EXPECT_EQ(allNotesOff, 16);
}

} // namespace
