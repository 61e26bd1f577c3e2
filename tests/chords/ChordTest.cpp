#include "chords/Chord.h"
#include "chords/ChordRecognition.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Intervals = std::array<int, 5>;

Intervals intervalsOf(const int* iv) { return {iv[0], iv[1], iv[2], iv[3], iv[4]}; }

// root, type, bass and symbol in one text, e.g. "1 10 7 C#m7/G".
std::string fields(const Chord& c)
{
    return std::to_string(c.root) + " " + std::to_string(c.type) + " " + std::to_string(c.bass) + " " + c.symbol;
}

// Every chord type as a musician spells it on C, each note above the one
// before, and what recognition makes of those keys where that is not the type
// itself: 7(#11) sounds as 7b5, and a doubled root or fifth is no chord.
const char* const kTypes[kChordTypeCount][3] = {
    {"C", "C E G"},          {"C6", "C E G A"},         {"CMaj7", "C E G B"},      {"CMaj7(#11)", "C E F# B"},
    {"Cadd(9)", "C E G D"},  {"CMaj7(9)", "C E G B D"}, {"C6(9)", "C E G A D"},    {"Caug", "C E G#"},
    {"Cm", "C Eb G"},        {"Cm6", "C Eb G A"},       {"Cm7", "C Eb G Bb"},      {"Cm7b5", "C Eb Gb Bb"},
    {"Cmadd(9)", "C Eb G D"}, {"Cm7(9)", "C Eb G Bb D"}, {"Cm7(11)", "C Eb G Bb F"}, {"CmMaj7", "C Eb G B"},
    {"CmMaj7(9)", "C Eb G B D"}, {"Cdim", "C Eb Gb"},   {"Cdim7", "C Eb Gb A"},    {"C7", "C E G Bb"},
    {"C7sus4", "C F G Bb"},  {"C7b5", "C E Gb Bb"},     {"C7(9)", "C E G Bb D"},   {"C7(#11)", "C E F# Bb", "C7b5"},
    {"C7(13)", "C E G Bb A"}, {"C7(b9)", "C E G Bb Db"}, {"C7(b13)", "C E G Bb Ab"}, {"C7(#9)", "C E G Bb D#"},
    {"CMaj7aug", "C E G B G#"}, {"C7aug", "C E G# Bb"}, {"C1+8", "C C C", "none"}, {"C1+5", "C G G", "none"},
    {"Csus4", "C F G"},      {"C1+2+5", "C D G"},
};

// Keys of spelled notes moved up by `shift` semitones, each the lowest key above the one before.
std::vector<HeldKey> keysOf(const char* notes, int shift)
{
    std::istringstream in(notes);
    std::vector<HeldKey> keys;
    for (std::string name; in >> name;) {
        const int pc = parseNoteName(name) + shift;
        int note = keys.empty() ? 48 + pc : keys.back().note + 1;
        while ((note - pc) % 12) ++note;
        keys.push_back({note, 100, 0});
    }
    return keys;
}

// The spelled notes are recognised as their chord on every root. The symbol
// built for every root, type and bass must parse back to the same chord: no
// type name may be mistaken for an accidental, a slash or a different type
// (e.g. through the "m"/"maj"/"aug"/"dim" fallbacks).
TEST(ChordTypes, SpelledNotesAndSymbolsForEveryRootTypeAndBass)
{
    for (int type = 0; type < kChordTypeCount; ++type) {
        const auto& [symbol, notes, heardAs] = kTypes[type];
        const std::string name = symbol + 1, heard = heardAs ? heardAs : symbol;
        Intervals intervals{-1, -1, -1, -1, -1};
        const std::vector<HeldKey> spelled = keysOf(notes, 0);
        for (size_t i = 0; i < spelled.size(); ++i) intervals[i] = (spelled[i].note - spelled[0].note) % 12;
        EXPECT_STREQ(chordTypeName(type), name.c_str());
        EXPECT_EQ(intervalsOf(chordTypeIntervals(type)), intervals) << type;
        for (int root = 0; root < 12; ++root) {
            Chord recognised;
            parseChordSymbol(recognised, "x");
            const std::vector<HeldKey> keys = keysOf(notes, root);
            rotationSearch(recognised, keys.data(), static_cast<int>(keys.size()));
            EXPECT_EQ(recognised.symbol, heard == "none" ? heard : noteName(root) + heard.substr(1)) << notes;
            for (int bass = -1; bass < 12; ++bass) {
                Chord built, parsed;
                buildChord(built, root, type, bass);
                ASSERT_EQ(fields(built), std::to_string(root) + " " + std::to_string(type) + " " + std::to_string(bass) +
                                             " " + noteName(root) + name + (bass < 0 ? "" : "/") + noteName(bass));
                ASSERT_EQ(std::make_pair(std::string(built.typeName), intervalsOf(built.intervals)),
                          std::make_pair(name, intervals));
                parseChordSymbol(parsed, built.symbol);
                ASSERT_EQ(fields(parsed), fields(built));
                ASSERT_TRUE(chordsEqual(parsed, built)) << built.symbol;
            }
        }
    }
    for (int type : {-1, kChordTypeCount, -1000}) {
        EXPECT_STREQ(chordTypeName(type), "");
        EXPECT_EQ(chordTypeIntervals(type), chordTypeIntervals(0));
    }
}

TEST(NoteNames, NamesAndParsing)
{
    std::string names;
    for (int pc : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, -1, 12, -2147483647 - 1}) names += noteName(pc) + std::string(",");
    EXPECT_EQ(names, "C,C#,D,Eb,E,F,F#,G,Ab,A,Bb,B,,,,");
    const std::pair<const char*, int> cases[] = {
        {"Eb", 3}, {"F#", 6},  {"bb", 10}, {"e#", 5},  {"b#", 11}, {"cb", 0},  {"fb", 4},  {"BB", 10}, {"a", 9},
        {" \tD# \t", 3}, {"C#m7", 1}, {"cx", 0}, {"c #", 0}, {"", -1}, {"  ", -1}, {"H", -1}, {"#", -1}, {"\xff", -1},
    };
    for (const auto& [text, pc] : cases) EXPECT_EQ(parseNoteName(text), pc) << text;
}

// Long and binary texts too: the record's texts stay bounded and terminated.
TEST(ChordSymbols, ParsedFields)
{
    const std::pair<std::string, const char*> cases[] = {
        {"C#m7/G", "1 10 7 C#m7/G"},   {"Bbmaj7", "10 2 -1 BbMaj7"},  {"BBmaj7", "11 0 -1 B"},
        {"Cm7b5", "0 11 -1 Cm7b5"},    {"Cmin", "0 8 -1 Cm"},         {"Cdim9", "0 17 -1 Cdim"},
        {"Caugx", "0 7 -1 Caug"},      {"Cmajor", "0 0 -1 C"},        {"Csus2", "0 0 -1 C"},
        {"C/E", "0 0 4 C/E"},          {"C/", "0 0 -1 C"},            {"C#/", "1 0 -1 C#"},
        {"c#M7", "1 10 -1 C#m7"},      {"C m7 / G", "0 10 7 Cm7/G"},  {"C/x", "0 0 -1 C"},
        {"C/E/G", "0 0 4 C/E"},        {"x", "-1 0 -1 none"},         {"N.C.", "-1 0 -1 none"},
        {"", "-1 0 -1 none"},          {"/C", "-1 0 -1 none"},        {" C", "-1 0 -1 none"},
        {"\xc3\xa9m7", "-1 0 -1 none"},  {"C M7 ", "0 10 -1 Cm7"},     {"CMAJ7(#11)", "0 3 -1 CMaj7(#11)"},
        {"Cmmaj7", "0 15 -1 CmMaj7"},  {"Cmaj9", "0 0 -1 C"},          {"C7 (9)", "0 0 -1 C"},
        {"Cdi", "0 0 -1 C"},           {"C\xff", "0 0 -1 C"},         {"C" + std::string(10000, 'm'), "0 8 -1 Cm"},
        {"Cmaj7(#11)" + std::string(100, ' ') + "/Bb", "0 3 10 CMaj7(#11)/Bb"}, {std::string(10000, '/'), "-1 0 -1 none"},
        {"C#" + std::string(300, '\xff') + "/E", "1 0 4 C#/E"},
    };
    for (const auto& [text, want] : cases) {
        Chord c;
        parseChordSymbol(c, text);
        ASSERT_TRUE(std::memchr(c.symbol, 0, sizeof c.symbol) && std::memchr(c.typeName, 0, sizeof c.typeName));
        EXPECT_EQ(fields(c), want) << text.substr(0, 20);
        EXPECT_TRUE(c.root >= 0 || intervalsOf(c.intervals) == (Intervals{-1, -1, -1, -1, -1})) << text.substr(0, 20);
    }
}

TEST(BuildChord, OutOfRangeValues)
{
    const std::tuple<int, int, int, const char*> cases[] = {
        {0, 40, -1, "0 0 -1 C"},  {0, -1, -1, "0 0 -1 C"},  {0, 34, 4, "0 0 4 C/E"},     {0, 8, 12, "0 8 -1 Cm"},
        {0, 8, -2, "0 8 -1 Cm"}, {12, 10, 7, "-1 0 -1 none"}, {-1, 10, 7, "-1 0 -1 none"},
    };
    for (const auto& [root, type, bass, want] : cases) {
        Chord c;
        buildChord(c, root, type, bass);
        EXPECT_EQ(fields(c), want) << root << " " << type << " " << bass;
    }
    Chord c;
    buildChord(c, 0, 16, 4);
    buildChord(c, 12, 10, 7); // "no chord" clears the notes of the chord built before
    EXPECT_EQ(intervalsOf(c.intervals), (Intervals{-1, -1, -1, -1, -1}));
}

TEST(ChordsEqual, ComparesFieldsNotTexts)
{
    Chord a, b;
    buildChord(a, 1, 10, 7);
    buildChord(b, 1, 10, 7);
    std::strcpy(b.symbol, "free form");
    std::strcpy(b.typeName, "x");
    EXPECT_TRUE(chordsEqual(a, b));
    for (int field = 0; field < 8; ++field) {
        Chord c = a;
        ++(field == 0 ? c.bass : field == 1 ? c.root : field == 2 ? c.type : c.intervals[field - 3]);
        EXPECT_FALSE(chordsEqual(a, c) || chordsEqual(c, a)) << field;
    }
    buildChord(a, 0, 21, -1); // types 21 and 23 share their intervals but are different chords
    buildChord(b, 0, 23, -1);
    EXPECT_FALSE(chordsEqual(a, b));
    buildChord(a, -1, 0, -1); // two "no chord" records are equal whatever they were before
    buildChord(b, 99, 3, 3);
    EXPECT_TRUE(chordsEqual(a, b));
}

} // namespace
