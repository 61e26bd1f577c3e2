#pragma once
// The chord record, the chord-type table, note names and chord symbols.
// Pure functions without state: any thread may call them.
#include <cstdint>
#include <string_view>

struct Chord {
    int32_t bass = -1;        // pitch class of a separate bass note, -1 = none
    int32_t root = -1;        // pitch class of the root, -1 = no chord
    int32_t type = 0;         // row of the chord-type table, 0-33
    char symbol[24] = "";     // e.g. "C#m7/G"; "none" without a chord; note names for free form
    int32_t intervals[5] = {-1, -1, -1, -1, -1};
    char typeName[12] = "";   // e.g. "m7"; empty for major
};

constexpr int kChordTypeCount = 34;

// Name of a pitch class ("C", "C#", "D", "Eb", ...); empty for any other value.
const char* noteName(int pitchClass);
// Pitch class of a note name, -1 when the text is no note name.
int parseNoteName(std::string_view text);
// Chord type 0-33 of a type text such as "m7" or "maj7(9)".
int parseChordType(std::string_view text);
// Name text and intervals of a chord type (type outside 0-33: those of type 0).
const char* chordTypeName(int type);
const int* chordTypeIntervals(int type);

void buildChord(Chord& chord, int root, int type, int bass);
void parseChordSymbol(Chord& chord, std::string_view text);
// Equal when bass, root, type and the five intervals are equal (texts are not compared).
bool chordsEqual(const Chord& a, const Chord& b);
