// Chord recognition from keys played into the engine, method by method, and
// what installing a chord does to the engine's two chords.
#include "chords/ChordRecognition.h"
#include "support/LiveEngine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using testsupport::key;
using testsupport::LiveEngineFixture;
using testsupport::LiveEngineTest;

struct RecognitionCase {
    int method;
    std::vector<std::string> keys; // pressed in this order
    const char* symbol;            // of the last recognition; "none" = no chord
};

std::ostream& operator<<(std::ostream& os, const RecognitionCase& c)
{
    os << "method " << c.method << ":";
    for (const std::string& k : c.keys) os << " " << k;
    return os;
}

class Recognition : public LiveEngineFixture<::testing::TestWithParam<RecognitionCase>> {};

TEST_P(Recognition, KeysGiveChord)
{
    const RecognitionCase& c = GetParam();
    engine.set(engine.highestChordKey, 127); // every key is chord area
    engine.set(engine.chordMethod, c.method);
    pressAll(c.keys);
    EXPECT_STREQ(live().recognisedChord.symbol, c.symbol);
    if (live().recognisedChord.root >= 0) {
        EXPECT_EQ(current(), c.symbol);
        EXPECT_EQ(accomp(), c.symbol);
    }
    releaseAll(c.keys);
    EXPECT_TRUE(live().heldChordKeys.empty());
}

const RecognitionCase kFullFingeredCases[] = {
    {0, {"C4", "E4", "G4"}, "C"},
    {0, {"E4", "G4", "C5"}, "C"},                     // third rotation
    {0, {"C4", "G4", "E5"}, "none"},                  // 7 4 is no shape
    {0, {"C4", "E4", "G4", "C5"}, "C"},               // one doubling dropped
    {0, {"C4", "E4", "G4", "C5", "E5"}, "none"},      // two doublings
    {0, {"C4", "E4", "G4", "B4", "D5", "F5"}, "CMaj7(9)"}, // first five keys only
    {0, {"C4", "E4", "F#4"}, "none"},
    {0, {"C4", "E4", "F#4", "B4"}, "CMaj7(#11)"},
    {0, {"C4", "E4", "F#4", "Bb4"}, "C7b5"},
    {0, {"C4", "C#4", "D4"}, "none"},
    {0, {"C4", "E4"}, "none"},                        // two keys never match
    {0, {"C4", "E4", "A4"}, "Am"},
    {0, {"B3", "D4", "F4", "G4"}, "G7"},
    {0, {"C4", "Eb4", "Gb4", "A4"}, "Cdim7"},
    {0, {"C4", "E4", "G4", "Bb4", "Db5"}, "C7(b9)"},
    {0, {"F#3", "A#3", "C#4"}, "F#"},
    {0, {"C4", "F4", "G4"}, "Csus4"},
    {0, {"C4", "E4", "G#4", "Bb4"}, "C7aug"},
};
INSTANTIATE_TEST_SUITE_P(FullFingered, Recognition, ::testing::ValuesIn(kFullFingeredCases));

const RecognitionCase kSingleFingerYamahaCases[] = {
    {1, {"C4"}, "C"},
    {1, {"Bb3", "C4"}, "Cm"},          // black key below: minor
    {1, {"B3", "C4"}, "C7"},           // white key below: seventh
    {1, {"A3", "Bb3", "C4"}, "Cm7"},   // black, then white
    {1, {"Ab3", "Bb3", "C4"}, "Cm"},   // black, black
    {1, {"G3", "A3", "C4"}, "C7"},     // white, white
    {1, {"Ab3", "B3", "C4"}, "Cm7"},   // white, black
    {1, {"C2", "G3", "A3", "C4"}, "C7"}, // only the three highest count
};
INSTANTIATE_TEST_SUITE_P(SingleFingerYamaha, Recognition, ::testing::ValuesIn(kSingleFingerYamahaCases));

const RecognitionCase kSingleFingerRolandCases[] = {
    {2, {"C4"}, "C"},
    {2, {"C4", "Eb4"}, "Cm"},
    {2, {"C4", "Bb4"}, "C7"},
    {2, {"C4", "B4"}, "CMaj7"},
    {2, {"C4", "Eb4", "F#4"}, "Cdim"},
    {2, {"C4", "Eb4", "Bb4"}, "Cm7"},
    {2, {"C4", "Eb4", "G4"}, "C"}, // three keys: only dim and m7 are read, the rest is major
    {2, {"C4", "Bb4", "D5"}, "C"},
    {2, {"C4", "E4", "G4", "B4"}, "none"}, // four keys: no chord
};
INSTANTIATE_TEST_SUITE_P(SingleFingerRoland, Recognition, ::testing::ValuesIn(kSingleFingerRolandCases));

const RecognitionCase kFingeredOnBassCases[] = {
    {3, {"E4", "G4", "C5"}, "C/E"},
    {3, {"C4", "E4", "G4"}, "C"}, // the root in the bass is no separate bass
    {3, {"G3", "C4", "E4", "G4", "Bb4"}, "C7/G"},
    {3, {"C4", "G4", "E5"}, "none"},
};
INSTANTIATE_TEST_SUITE_P(FingeredOnBass, Recognition, ::testing::ValuesIn(kFingeredOnBassCases));

const RecognitionCase kFullKeyboardCases[] = {
    {4, {"E2", "C3", "E3", "G3", "C6"}, "C"}, // E2 alone, C6 beyond a gap
    {4, {"D2", "F#2", "A2", "C6", "E6", "G6"}, "D"}, // the lowest group of three wins
    {4, {"C3", "G3"}, "none"},
    {4, {"C2", "E2", "C4", "E4"}, "none"},    // no group of three: the last group
    {4, {"A1", "C5", "E5", "G5", "B5"}, "CMaj7"},
};
INSTANTIATE_TEST_SUITE_P(FullKeyboard, Recognition, ::testing::ValuesIn(kFullKeyboardCases));

const RecognitionCase kGuitarCases[] = {
    {5, {"E2", "B2", "E3", "G#3", "B3", "E4"}, "E"},
    {5, {"E2", "B2", "E3", "G3", "B3", "E4"}, "Em"},
    {5, {"C4", "E4"}, "none"},
    {5, {"A2", "E3", "A3", "C#4", "E4"}, "A"},
    {5, {"C4", "E4", "G4", "Bb4"}, "C"}, // only triads
    {5, {"E4", "G4", "C5"}, "C"},
};
INSTANTIATE_TEST_SUITE_P(Guitar, Recognition, ::testing::ValuesIn(kGuitarCases));

const RecognitionCase kFreeFormCases[] = {
    {6, {"G3", "C4", "E4"}, "G C E"},
    {6, {"C4", "E4", "G4", "B4", "D5"}, "C E G B D"},
    {6, {"C#4", "D#4", "F#4", "G#4", "A#4"}, "C# Eb F# Ab Bb"},
    {6, {"C4", "E4"}, "none"},
    {6, {"C4", "D4", "E4", "F4", "G4", "A4"}, "none"},
};
INSTANTIATE_TEST_SUITE_P(FreeForm, Recognition, ::testing::ValuesIn(kFreeFormCases));

TEST_F(LiveEngineTest, FreeFormChordKeepsIntervalsFromTheLowestKey)
{
    engine.set(engine.highestChordKey, 127);
    engine.set(engine.chordMethod, kFreeForm);
    engine.set(engine.minorPending, 1); // not for free-form chords
    pressAll({"G3", "C4", "E4"});
    const Chord c = engine.get(engine.currentChord);
    EXPECT_EQ(c.root, 7);
    EXPECT_EQ(c.type, 0);
    EXPECT_EQ(c.bass, -1);
    const int expected[5] = {0, -7, -3, -1, -1};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.intervals[i], expected[i]) << i;
    EXPECT_STREQ(c.typeName, "");
    EXPECT_EQ(engine.get(engine.minorPending), 1);
}

// ---- Full fingered: cluster trigger and the velocity-selected Main ----------

TEST_F(LiveEngineTest, ClusterOfThreeAdjacentLowestKeys)
{
    engine.set(engine.highestChordKey, 127);
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"C4", "C#4", "D4"}, 385 + 60},
        {{"B3", "C4", "C#4", "E5"}, 385 + 59},
        {{"C4", "D4", "E4"}, 0},
        {{"C4", "C#4", "E4", "D5"}, 0}, // not the three lowest
    };
    for (const auto& [keys, code] : cases) {
        pressAll(keys);
        EXPECT_EQ(live().lastClusterCode, code) << keys[0];
        EXPECT_EQ(live().recognisedChord.root, -1);
        releaseAll(keys);
    }
}

TEST_F(LiveEngineTest, AverageVelocitySelectsMainPart)
{
    engine.set(engine.highestChordKey, 127);
    const int cases[][4] = {
        // velocities of C4 E4 G4, Main function
        {1, 1, 1, 6}, {33, 34, 34, 6}, {34, 34, 34, 10}, {66, 66, 66, 10},
        {67, 67, 67, 14}, {99, 99, 99, 14}, {100, 100, 100, 17}, {127, 127, 127, 17},
    };
    for (bool enabled : {false, true}) {
        engine.set(engine.velocitySelectsMain, enabled);
        for (const auto& c : cases) {
            press(key("C4"), c[0]);
            press(key("E4"), c[1]);
            press(key("G4"), c[2]);
            EXPECT_EQ(live().lastMainFunction, enabled ? c[3] : -1) << c[0];
            releaseAll({"C4", "E4", "G4"});
        }
    }
    pressAll({"C4", "C#4", "E4", "G4"}); // no chord: no Main
    EXPECT_EQ(live().lastMainFunction, -1);
}

// ---- Fingered on bass: the bass change -------------------------------------

struct BassChangeCase {
    int delayMs;
    const char* expected; // installed chord after A2 is pressed
};

class BassChange : public LiveEngineFixture<::testing::TestWithParam<BassChangeCase>> {};

TEST_P(BassChange, LowerBassAfterAPauseOnlyChangesTheBass)
{
    engine.set(engine.highestChordKey, 127);
    engine.set(engine.chordMethod, kFingeredOnBass);
    pressAll({"E4", "G4", "C5"});
    ASSERT_EQ(current(), "C/E");
    ASSERT_EQ(live().lastBassKey, key("E4"));
    const int64_t installed = live().lastChordTime;

    engine.clock->advanceMs(GetParam().delayMs);
    press(key("A2"));
    EXPECT_EQ(current(), GetParam().expected);
    EXPECT_EQ(accomp(), GetParam().expected);
    // Neither path moves the bass key or the chord time: the full
    // recognition of A E G C finds no chord.
    EXPECT_EQ(live().lastBassKey, key("E4"));
    EXPECT_EQ(live().lastChordTime, installed);
}

INSTANTIATE_TEST_SUITE_P(Delays, BassChange,
                         ::testing::Values(BassChangeCase{400, "C/E"}, BassChangeCase{500, "C/E"},
                                           BassChangeCase{501, "C/A"}, BassChangeCase{600, "C/A"}));

TEST_F(LiveEngineTest, BassChangeTakesTheAccompanimentChordAndPedal)
{
    engine.set(engine.highestChordKey, 127);
    engine.set(engine.chordMethod, kFingeredOnBass);
    pressAll({"G3", "C4", "E4", "G4", "Bb4"});
    ASSERT_EQ(current(), "C7/G");
    engine.clock->advanceMs(600);
    press(key("C3")); // the root as the new bass: the plain chord
    EXPECT_EQ(current(), "C7");
    engine.clock->advanceMs(600);
    engine.set(engine.minorPending, 1);
    press(key("F2"));
    EXPECT_EQ(current(), "Cm/F");
    EXPECT_EQ(engine.get(engine.minorPending), 0);

    // With no accompaniment chord to put a bass under, the keys are recognised.
    engine.setChordRecognition(0);
    engine.clock->advanceMs(600);
    press(key("C2"));
    EXPECT_EQ(current(), "C7");
}

TEST_F(LiveEngineTest, ReleasingTheBassEndsTheBassChange)
{
    engine.set(engine.highestChordKey, 127);
    engine.set(engine.chordMethod, kFingeredOnBass);
    pressAll({"E4", "G4", "C5"});
    release(key("D2")); // a release below the bass leaves it
    EXPECT_EQ(live().lastBassKey, key("E4"));
    release(key("G4")); // at or above the bass ends it
    EXPECT_EQ(live().lastBassKey, 0);
    press(key("G4"));
    press(key("C3")); // lower, but within 500 ms: a full recognition
    EXPECT_EQ(current(), "C");
    EXPECT_EQ(live().lastBassKey, key("C3"));
}

// ---- switches around recognition -------------------------------------------

TEST_F(LiveEngineTest, FixationPedalFreezesRecognitionAndSwitchBlocksInstalling)
{
    engine.set(engine.highestChordKey, 127);
    pressAll({"C4", "E4", "G4"});
    releaseAll({"C4", "E4", "G4"});
    engine.set(engine.chordFixation, 1);
    pressAll({"F4", "A4", "C5"});
    EXPECT_STREQ(live().recognisedChord.symbol, "C"); // not even recognised
    EXPECT_EQ(current(), "C");
    EXPECT_EQ(live().heldChordKeys.size(), 3); // but the keys are followed

    engine.set(engine.chordFixation, 0);
    engine.set(engine.chordRecognitionOff, 1);
    const int64_t before = live().lastChordTime;
    engine.clock->advanceMs(10);
    release(key("C5"));
    press(key("C5"));
    EXPECT_STREQ(live().recognisedChord.symbol, "F"); // recognised, not installed
    EXPECT_EQ(current(), "C");
    EXPECT_EQ(live().lastChordTime, before);
}

// ---- installing a chord in the engine ---------------------------------------

struct InstallCase {
    const char* what;
    int recognitionOff, playMode, styleRunning, paused, minorPending;
    const char* current; // after setChord (0, 19, 4); "" = untouched
    const char* accomp;
};

std::ostream& operator<<(std::ostream& os, const InstallCase& c) { return os << c.what; }

class InstallTable : public LiveEngineFixture<::testing::TestWithParam<InstallCase>> {};

TEST_P(InstallTable, SetChordFollowsSwitchesAndPlayer)
{
    const InstallCase& c = GetParam();
    engine.set(engine.chordRecognitionOff, c.recognitionOff);
    engine.set(engine.playMode, c.playMode);
    engine.set(engine.paused, c.paused);
    engine.set(engine.minorPending, c.minorPending);
    if (c.styleRunning) engine.set(engine.playingStyle, engine.styles[0]);
    engine.setChord(0, 19, 4);
    EXPECT_EQ(current(), c.current);
    EXPECT_EQ(accomp(), c.accomp);
    const bool built = *c.current != '\0';
    EXPECT_EQ(engine.get(engine.minorPending), built ? 0 : c.minorPending);
}

const InstallCase kInstallCases[] = {
    {"plain", 0, 0, 0, 0, 0, "C7/E", "C7/E"},
    {"minor pedal", 0, 0, 0, 0, 1, "Cm/E", "Cm/E"},
    {"recognition off", 1, 0, 0, 0, 1, "", ""},
    {"song loaded", 0, 1, 0, 0, 0, "", ""},
    {"style player takes it over", 0, 0, 1, 0, 0, "C7/E", ""},
    {"paused style player", 0, 0, 1, 1, 0, "C7/E", "C7/E"},
};
INSTANTIATE_TEST_SUITE_P(Switches, InstallTable, ::testing::ValuesIn(kInstallCases));

TEST_F(LiveEngineTest, FreeChordIgnoresSwitchesButNotAPausedPlayer)
{
    Chord free;
    parseChordSymbol(free, "Dm7");
    engine.set(engine.chordRecognitionOff, 1);
    engine.set(engine.playMode, 1);
    engine.set(engine.minorPending, 1);
    engine.setFreeChord(free);
    EXPECT_EQ(current(), "Dm7");
    EXPECT_EQ(accomp(), "Dm7");
    EXPECT_EQ(engine.get(engine.minorPending), 1);

    parseChordSymbol(free, "G7");
    engine.set(engine.playingStyle, engine.styles[0]);
    engine.set(engine.paused, 1);
    engine.setFreeChord(free);
    EXPECT_EQ(current(), "G7");
    EXPECT_EQ(accomp(), "Dm7");
}

TEST_F(LiveEngineTest, SwitchingRecognitionResetsChordsAndSilences)
{
    engine.setChord(9, 8, -1);
    ASSERT_EQ(accomp(), "Am");
    sent();
    engine.setChordRecognition(1);
    EXPECT_EQ(engine.get(engine.chordRecognitionOff), 1);
    EXPECT_EQ(current(), "none");
    EXPECT_EQ(accomp(), "none");
    EXPECT_EQ(engine.get(engine.currentChord).root, -1);
    EXPECT_EQ(engine.get(engine.stateChanged), 1);
    int allNotesOff = 0;
    for (const CapturedMessage& m : sent()) allNotesOff += (m.status & 0xF0) == 0xB0 && m.d1 == 123;
    EXPECT_EQ(allNotesOff, 16);
}

} // namespace
