#include "chords/Chord.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Intervals = std::array<int, 5>;

Intervals intervalsOf(const Chord& c) { return {c.intervals[0], c.intervals[1], c.intervals[2], c.intervals[3], c.intervals[4]}; }

bool terminatedWithin(const char* buf, size_t size) { return std::memchr(buf, '\0', size) != nullptr; }

// ---- chord-type table ----------------------------------------------------

struct TypeRow {
    int type;
    const char* name;
    Intervals intervals;
};

const TypeRow kExpectedTypes[] = {
    {0, "", {0, 4, 7, -1, -1}},          {1, "6", {0, 4, 7, 9, -1}},
    {2, "Maj7", {0, 4, 7, 11, -1}},      {3, "Maj7(#11)", {0, 4, 6, 11, -1}},
    {4, "add(9)", {0, 4, 7, 2, -1}},     {5, "Maj7(9)", {0, 4, 7, 11, 2}},
    {6, "6(9)", {0, 4, 7, 9, 2}},        {7, "aug", {0, 4, 8, -1, -1}},
    {8, "m", {0, 3, 7, -1, -1}},         {9, "m6", {0, 3, 7, 9, -1}},
    {10, "m7", {0, 3, 7, 10, -1}},       {11, "m7b5", {0, 3, 6, 10, -1}},
    {12, "madd(9)", {0, 3, 7, 2, -1}},   {13, "m7(9)", {0, 3, 7, 10, 2}},
    {14, "m7(11)", {0, 3, 7, 10, 5}},    {15, "mMaj7", {0, 3, 7, 11, -1}},
    {16, "mMaj7(9)", {0, 3, 7, 11, 2}},  {17, "dim", {0, 3, 6, -1, -1}},
    {18, "dim7", {0, 3, 6, 9, -1}},      {19, "7", {0, 4, 7, 10, -1}},
    {20, "7sus4", {0, 5, 7, 10, -1}},    {21, "7b5", {0, 4, 6, 10, -1}},
    {22, "7(9)", {0, 4, 7, 10, 2}},      {23, "7(#11)", {0, 4, 6, 10, -1}},
    {24, "7(13)", {0, 4, 7, 10, 9}},     {25, "7(b9)", {0, 4, 7, 10, 1}},
    {26, "7(b13)", {0, 4, 7, 10, 8}},    {27, "7(#9)", {0, 4, 7, 10, 3}},
    {28, "Maj7aug", {0, 4, 7, 11, 8}},   {29, "7aug", {0, 4, 8, 10, -1}},
    {30, "1+8", {0, 0, 0, -1, -1}},      {31, "1+5", {0, 7, 7, -1, -1}},
    {32, "sus4", {0, 5, 7, -1, -1}},     {33, "1+2+5", {0, 2, 7, -1, -1}},
};
static_assert(std::size(kExpectedTypes) == kChordTypeCount);

class ChordTypeTable : public ::testing::TestWithParam<TypeRow> {};

TEST_P(ChordTypeTable, NameIntervalsAndBuiltChord)
{
    const TypeRow& row = GetParam();
    EXPECT_STREQ(chordTypeName(row.type), row.name);
    const int* iv = chordTypeIntervals(row.type);
    EXPECT_EQ((Intervals{iv[0], iv[1], iv[2], iv[3], iv[4]}), row.intervals);

    Chord c;
    buildChord(c, 2, row.type, -1);
    EXPECT_EQ(c.type, row.type);
    EXPECT_STREQ(c.typeName, row.name);
    EXPECT_EQ(intervalsOf(c), row.intervals);
    EXPECT_EQ(std::string(c.symbol), std::string("D") + row.name);
}

// The symbol built for every root, type and bass must parse back to the same
// chord: no type name may be mistaken for an accidental, a slash or a
// different type (e.g. through the "m"/"maj"/"aug"/"dim" fallbacks).
TEST_P(ChordTypeTable, SymbolRoundTripsForEveryRootAndBass)
{
    const TypeRow& row = GetParam();
    for (int root = 0; root < 12; ++root) {
        for (int bass = -1; bass < 12; ++bass) {
            Chord built;
            buildChord(built, root, row.type, bass);
            Chord parsed;
            parseChordSymbol(parsed, built.symbol);
            SCOPED_TRACE(built.symbol);
            EXPECT_EQ(parsed.root, root);
            EXPECT_EQ(parsed.type, row.type);
            EXPECT_EQ(parsed.bass, bass);
            EXPECT_STREQ(parsed.symbol, built.symbol);
            EXPECT_TRUE(chordsEqual(parsed, built));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, ChordTypeTable, ::testing::ValuesIn(kExpectedTypes),
                         [](const auto& p) { return "Type" + std::to_string(p.param.type); });

TEST(ChordTypeLookup, OutOfRangeTypesReadAsMajor)
{
    for (int type : {-1, kChordTypeCount, 40, -1000}) {
        EXPECT_STREQ(chordTypeName(type), "");
        EXPECT_EQ(chordTypeIntervals(type), chordTypeIntervals(0));
    }
}

// ---- note names ------------------------------------------------------------

TEST(NoteName, TwelveNamesAndEmptyOtherwise)
{
    const char* expected[12] = {"C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"};
    for (int pc = 0; pc < 12; ++pc) {
        EXPECT_STREQ(noteName(pc), expected[pc]);
        EXPECT_EQ(parseNoteName(noteName(pc)), pc);
    }
    for (int pc : {-1, 12, 127, -2147483647 - 1}) EXPECT_STREQ(noteName(pc), "");
}

struct NoteCase {
    const char* text;
    int pitchClass;
};

class ParseNoteName : public ::testing::TestWithParam<NoteCase> {};

TEST_P(ParseNoteName, Value) { EXPECT_EQ(parseNoteName(GetParam().text), GetParam().pitchClass); }

INSTANTIATE_TEST_SUITE_P(Cases, ParseNoteName,
                         ::testing::Values(NoteCase{"Eb", 3}, NoteCase{"F#", 6}, NoteCase{"bb", 10},
                                           NoteCase{"e#", 5}, NoteCase{"b#", 11}, NoteCase{"cb", 0},
                                           NoteCase{"fb", 4}, NoteCase{"BB", 10}, NoteCase{"G", 7},
                                           NoteCase{"a", 9}, NoteCase{" \tD# \t", 3}, NoteCase{"C#m7", 1},
                                           NoteCase{"Ebx", 3}, NoteCase{"cx", 0}, NoteCase{"c #", 0},
                                           NoteCase{"", -1}, NoteCase{"  ", -1}, NoteCase{"x", -1},
                                           NoteCase{"H", -1}, NoteCase{"#", -1}, NoteCase{"\xc3\xa9", -1},
                                           NoteCase{"\xff", -1}));

// ---- chord types -----------------------------------------------------------

struct TypeTextCase {
    const char* text;
    int type;
};

class ParseChordType : public ::testing::TestWithParam<TypeTextCase> {};

TEST_P(ParseChordType, Value) { EXPECT_EQ(parseChordType(GetParam().text), GetParam().type); }

INSTANTIATE_TEST_SUITE_P(Cases, ParseChordType,
                         ::testing::Values(TypeTextCase{"", 0}, TypeTextCase{" \t ", 0},
                                           TypeTextCase{"m7", 10}, TypeTextCase{" M7 ", 10},
                                           TypeTextCase{"MAJ7(#11)", 3}, TypeTextCase{"mmaj7", 15},
                                           TypeTextCase{"m7b5", 11}, TypeTextCase{"dim7", 18},
                                           TypeTextCase{"min", 8}, TypeTextCase{"dim9", 17},
                                           TypeTextCase{"augx", 7}, TypeTextCase{"major", 0},
                                           TypeTextCase{"maj9", 0}, TypeTextCase{"mx", 8},
                                           TypeTextCase{"sus2", 0}, TypeTextCase{"bmaj7", 0},
                                           TypeTextCase{"7 (9)", 0}, TypeTextCase{"di", 0},
                                           TypeTextCase{"au", 0}, TypeTextCase{"\xff", 0}));

// ---- chord symbols ---------------------------------------------------------

struct SymbolCase {
    const char* text;
    int root;
    int type;
    int bass;
    const char* symbol;
};

class ParseChordSymbol : public ::testing::TestWithParam<SymbolCase> {};

TEST_P(ParseChordSymbol, Fields)
{
    const SymbolCase& sc = GetParam();
    Chord c;
    parseChordSymbol(c, sc.text);
    EXPECT_EQ(c.root, sc.root);
    EXPECT_EQ(c.type, sc.type);
    EXPECT_EQ(c.bass, sc.bass);
    EXPECT_STREQ(c.symbol, sc.symbol);
    if (sc.root < 0) {
        EXPECT_EQ(intervalsOf(c), (Intervals{-1, -1, -1, -1, -1}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseChordSymbol,
    ::testing::Values(SymbolCase{"C#m7/G", 1, 10, 7, "C#m7/G"}, SymbolCase{"Bbmaj7", 10, 2, -1, "BbMaj7"},
                      SymbolCase{"BBmaj7", 11, 0, -1, "B"}, SymbolCase{"Cm7b5", 0, 11, -1, "Cm7b5"},
                      SymbolCase{"Cmin", 0, 8, -1, "Cm"}, SymbolCase{"Cdim9", 0, 17, -1, "Cdim"},
                      SymbolCase{"Caugx", 0, 7, -1, "Caug"}, SymbolCase{"Cmajor", 0, 0, -1, "C"},
                      SymbolCase{"Csus2", 0, 0, -1, "C"}, SymbolCase{"C", 0, 0, -1, "C"},
                      SymbolCase{"C/E", 0, 0, 4, "C/E"}, SymbolCase{"C/", 0, 0, -1, "C"},
                      SymbolCase{"C#/", 1, 0, -1, "C#"}, SymbolCase{"Eb/Bb", 3, 0, 10, "Eb/Bb"},
                      SymbolCase{"c#M7", 1, 10, -1, "C#m7"}, SymbolCase{"C m7 / G", 0, 10, 7, "Cm7/G"},
                      SymbolCase{"C/x", 0, 0, -1, "C"}, SymbolCase{"C/E/G", 0, 0, 4, "C/E"},
                      SymbolCase{"Cm7(9)/Bb", 0, 13, 10, "Cm7(9)/Bb"}, SymbolCase{"C7(#11)", 0, 23, -1, "C7(#11)"},
                      SymbolCase{"x", -1, 0, -1, "none"}, SymbolCase{"N.C.", -1, 0, -1, "none"},
                      SymbolCase{"", -1, 0, -1, "none"}, SymbolCase{"/", -1, 0, -1, "none"},
                      SymbolCase{"/C", -1, 0, -1, "none"}, SymbolCase{" C", -1, 0, -1, "none"},
                      SymbolCase{"#", -1, 0, -1, "none"}, SymbolCase{"\xc3\xa9m7", -1, 0, -1, "none"}));

TEST(ParseChordSymbolHostile, LongAndBinaryTextsStayBounded)
{
    const std::vector<std::string> texts = {
        "C" + std::string(10000, 'm'),
        "Cm7/" + std::string(5000, 'G'),
        std::string(10000, '/'),
        "C#" + std::string(300, '\xff') + "/E",
        std::string("C\0m7", 4),
        "Cmaj7(#11)" + std::string(100, ' ') + "/Bb",
    };
    for (const std::string& t : texts) {
        Chord c;
        parseChordSymbol(c, t);
        EXPECT_TRUE(terminatedWithin(c.symbol, sizeof c.symbol));
        EXPECT_TRUE(terminatedWithin(c.typeName, sizeof c.typeName));
        EXPECT_GE(c.root, -1);
        EXPECT_LE(c.root, 11);
    }
    Chord c;
    parseChordSymbol(c, texts[0]);
    EXPECT_EQ(c.type, 8); // long "mmm..." still falls back to minor
    parseChordSymbol(c, texts[5]);
    EXPECT_STREQ(c.symbol, "CMaj7(#11)/Bb");
}

// ---- buildChord guards -----------------------------------------------------

struct BuildCase {
    int root, type, bass;
    int wantRoot, wantType, wantBass;
    const char* symbol;
};

class BuildChordGuards : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildChordGuards, Fields)
{
    const BuildCase& bc = GetParam();
    Chord c;
    buildChord(c, bc.root, bc.type, bc.bass);
    EXPECT_EQ(c.root, bc.wantRoot);
    EXPECT_EQ(c.type, bc.wantType);
    EXPECT_EQ(c.bass, bc.wantBass);
    EXPECT_STREQ(c.symbol, bc.symbol);
}

INSTANTIATE_TEST_SUITE_P(Cases, BuildChordGuards,
                         ::testing::Values(BuildCase{1, 10, 7, 1, 10, 7, "C#m7/G"}, BuildCase{0, 0, -1, 0, 0, -1, "C"},
                                           BuildCase{0, 40, -1, 0, 0, -1, "C"}, BuildCase{0, -1, -1, 0, 0, -1, "C"},
                                           BuildCase{0, 34, 4, 0, 0, 4, "C/E"}, BuildCase{0, 8, 12, 0, 8, -1, "Cm"},
                                           BuildCase{0, 8, -2, 0, 8, -1, "Cm"}, BuildCase{11, 3, 11, 11, 3, 11, "BMaj7(#11)/B"},
                                           BuildCase{12, 10, 7, -1, 0, -1, "none"}, BuildCase{-1, 10, 7, -1, 0, -1, "none"},
                                           BuildCase{-100, 5, -1, -1, 0, -1, "none"}));

TEST(BuildChord, RebuildingOverwritesEarlierContents)
{
    Chord c;
    buildChord(c, 0, 16, 4);
    ASSERT_STREQ(c.typeName, "mMaj7(9)");
    // "No chord" clears the notes but leaves typeName as it was.
    buildChord(c, 12, 10, 7);
    EXPECT_EQ(intervalsOf(c), (Intervals{-1, -1, -1, -1, -1}));
    EXPECT_STREQ(c.typeName, "mMaj7(9)");
    EXPECT_STREQ(c.symbol, "none");

    buildChord(c, 10, 3, 10); // the longest symbol there is
    EXPECT_STREQ(c.symbol, "BbMaj7(#11)/Bb");
    buildChord(c, 0, 8, -1);
    EXPECT_STREQ(c.symbol, "Cm");
    EXPECT_STREQ(c.typeName, "m");
}

// ---- chordsEqual -----------------------------------------------------------

TEST(ChordsEqual, ComparesFieldsNotTexts)
{
    Chord a;
    Chord b;
    buildChord(a, 1, 10, 7);
    buildChord(b, 1, 10, 7);
    std::strcpy(b.symbol, "free form");
    std::strcpy(b.typeName, "x");
    EXPECT_TRUE(chordsEqual(a, b));

    const auto differs = [&](auto mutate) {
        Chord c = a;
        mutate(c);
        return !chordsEqual(a, c) && !chordsEqual(c, a);
    };
    EXPECT_TRUE(differs([](Chord& c) { c.bass = -1; }));
    EXPECT_TRUE(differs([](Chord& c) { c.root = 2; }));
    EXPECT_TRUE(differs([](Chord& c) { c.type = 9; }));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(differs([i](Chord& c) { c.intervals[i] += 1; })) << i;

    // Types 21 and 23 share their intervals but are different chords.
    Chord t21;
    Chord t23;
    buildChord(t21, 0, 21, -1);
    buildChord(t23, 0, 23, -1);
    EXPECT_FALSE(chordsEqual(t21, t23));

    // Two "no chord" records are equal whatever they were before.
    Chord n1;
    Chord n2;
    buildChord(n1, -1, 0, -1);
    buildChord(n2, 0, 16, 4);
    buildChord(n2, 99, 3, 3);
    EXPECT_TRUE(chordsEqual(n1, n2));
}

} // namespace
