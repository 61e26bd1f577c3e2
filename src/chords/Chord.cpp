#include "chords/Chord.h"

#include "base/Text.h"

#include <cstddef>

// These run on the MIDI input thread for every recognised chord, so nothing
// here allocates: texts are compared in place, case-folded byte by byte.

namespace {

struct ChordTypeRow {
    const char* name;
    int intervals[5];
    const char* parseText;
};

// Rows are indexed by chord type. The odd rows are deliberate: 30 and 31
// repeat notes, 28 keeps the plain fifth, 23 has the intervals of 21.
constexpr ChordTypeRow kChordTypes[kChordTypeCount] = {
    {"", {0, 4, 7, -1, -1}, ""},
    {"6", {0, 4, 7, 9, -1}, "6"},
    {"Maj7", {0, 4, 7, 11, -1}, "maj7"},
    {"Maj7(#11)", {0, 4, 6, 11, -1}, "maj7(#11)"},
    {"add(9)", {0, 4, 7, 2, -1}, "add(9)"},
    {"Maj7(9)", {0, 4, 7, 11, 2}, "maj7(9)"},
    {"6(9)", {0, 4, 7, 9, 2}, "6(9)"},
    {"aug", {0, 4, 8, -1, -1}, "aug"},
    {"m", {0, 3, 7, -1, -1}, "m"},
    {"m6", {0, 3, 7, 9, -1}, "m6"},
    {"m7", {0, 3, 7, 10, -1}, "m7"},
    {"m7b5", {0, 3, 6, 10, -1}, "m7b5"},
    {"madd(9)", {0, 3, 7, 2, -1}, "madd(9)"},
    {"m7(9)", {0, 3, 7, 10, 2}, "m7(9)"},
    {"m7(11)", {0, 3, 7, 10, 5}, "m7(11)"},
    {"mMaj7", {0, 3, 7, 11, -1}, "mmaj7"},
    {"mMaj7(9)", {0, 3, 7, 11, 2}, "mmaj7(9)"},
    {"dim", {0, 3, 6, -1, -1}, "dim"},
    {"dim7", {0, 3, 6, 9, -1}, "dim7"},
    {"7", {0, 4, 7, 10, -1}, "7"},
    {"7sus4", {0, 5, 7, 10, -1}, "7sus4"},
    {"7b5", {0, 4, 6, 10, -1}, "7b5"},
    {"7(9)", {0, 4, 7, 10, 2}, "7(9)"},
    {"7(#11)", {0, 4, 6, 10, -1}, "7(#11)"},
    {"7(13)", {0, 4, 7, 10, 9}, "7(13)"},
    {"7(b9)", {0, 4, 7, 10, 1}, "7(b9)"},
    {"7(b13)", {0, 4, 7, 10, 8}, "7(b13)"},
    {"7(#9)", {0, 4, 7, 10, 3}, "7(#9)"},
    {"Maj7aug", {0, 4, 7, 11, 8}, "maj7aug"},
    {"7aug", {0, 4, 8, 10, -1}, "7aug"},
    {"1+8", {0, 0, 0, -1, -1}, "1+8"},
    {"1+5", {0, 7, 7, -1, -1}, "1+5"},
    {"sus4", {0, 5, 7, -1, -1}, "sus4"},
    {"1+2+5", {0, 2, 7, -1, -1}, "1+2+5"},
};

constexpr const char* kNoteNames[12] = {"C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B"};

// ASCII only, like vtn::toLower: bytes of other encodings pass unchanged.
char lowerByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whole text equal to an already lower-case pattern, ignoring case.
bool equalsFolded(std::string_view text, std::string_view lowerPattern)
{
    if (text.size() != lowerPattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (lowerByte(text[i]) != lowerPattern[i]) return false;
    return true;
}

bool startsWithFolded(std::string_view text, std::string_view lowerPrefix)
{
    return text.size() >= lowerPrefix.size() && equalsFolded(text.substr(0, lowerPrefix.size()), lowerPrefix);
}

// Appends src at *pos, always leaving dst terminated; whatever does not fit
// is dropped.
void appendBounded(char* dst, size_t capacity, size_t* pos, const char* src)
{
    while (*src && *pos + 1 < capacity) dst[(*pos)++] = *src++;
    dst[*pos] = '\0';
}

template <size_t N>
void copyBounded(char (&dst)[N], const char* src)
{
    size_t pos = 0;
    appendBounded(dst, N, &pos, src);
}

const ChordTypeRow& rowOf(int type) { return kChordTypes[(type >= 0 && type < kChordTypeCount) ? type : 0]; }

} // namespace

const char* noteName(int pitchClass)
{
    return (pitchClass >= 0 && pitchClass < 12) ? kNoteNames[pitchClass] : "";
}

int parseNoteName(std::string_view text)
{
    const std::string_view t = vtn::trimView(text);
    if (t.empty()) return -1;
    const char letter = lowerByte(t[0]);
    int pc;
    switch (letter) {
    case 'c': pc = 0; break;
    case 'd': pc = 2; break;
    case 'e': pc = 4; break;
    case 'f': pc = 5; break;
    case 'g': pc = 7; break;
    case 'a': pc = 9; break;
    case 'b': pc = 11; break;
    default: return -1;
    }
    if (t.size() > 1) {
        // The accidental never wraps: b# stays B and cb stays C.
        const char accidental = lowerByte(t[1]);
        if (accidental == '#') {
            if (letter != 'b') ++pc;
        } else if (accidental == 'b') {
            if (letter != 'c') --pc;
        }
    }
    return pc;
}

int parseChordType(std::string_view text)
{
    const std::string_view t = vtn::trimView(text);
    if (t.empty()) return 0;
    for (int type = 1; type < kChordTypeCount; ++type)
        if (equalsFolded(t, kChordTypes[type].parseText)) return type;
    // Loose spellings such as "min" or "dim9" fall back to the nearest family.
    if (startsWithFolded(t, "dim")) return 17;
    if (startsWithFolded(t, "aug")) return 7;
    if (startsWithFolded(t, "maj")) return 0;
    if (lowerByte(t[0]) == 'm') return 8;
    return 0;
}

const char* chordTypeName(int type) { return rowOf(type).name; }

const int* chordTypeIntervals(int type) { return rowOf(type).intervals; }

void buildChord(Chord& chord, int root, int type, int bass)
{
    for (int32_t& interval : chord.intervals) interval = -1;
    if (root < 0 || root > 11) {
        copyBounded(chord.symbol, "none");
        chord.root = -1;
        chord.bass = -1;
        chord.type = 0;
        return;
    }
    chord.type = (type >= 0 && type < kChordTypeCount) ? type : 0;
    chord.root = root;
    chord.bass = (bass >= -1 && bass <= 11) ? bass : -1;

    const ChordTypeRow& row = kChordTypes[chord.type];
    copyBounded(chord.typeName, row.name);
    for (int i = 0; i < 5; ++i) chord.intervals[i] = row.intervals[i];

    size_t pos = 0;
    appendBounded(chord.symbol, sizeof chord.symbol, &pos, noteName(root));
    appendBounded(chord.symbol, sizeof chord.symbol, &pos, row.name);
    if (chord.bass >= 0) {
        appendBounded(chord.symbol, sizeof chord.symbol, &pos, "/");
        appendBounded(chord.symbol, sizeof chord.symbol, &pos, noteName(chord.bass));
    }
}

void parseChordSymbol(Chord& chord, std::string_view text)
{
    // The accidental is recognised before any case folding, so a capital
    // second B ("BBmaj7") is part of the type text, not a flat.
    size_t start = 1;
    if (text.size() > 1 && (text[1] == '#' || text[1] == 'b')) start = 2;
    const std::string_view rootPart = text.substr(0, start < text.size() ? start : text.size());

    const size_t slash = text.find('/');
    std::string_view typePart;
    std::string_view bassPart;
    if (start >= text.size()) {
        typePart = {};
    } else if (slash == std::string_view::npos || slash < start) {
        typePart = text.substr(start);
    } else {
        typePart = text.substr(start, slash - start);
        bassPart = text.substr(slash + 1);
    }

    const int root = parseNoteName(rootPart);
    const int type = parseChordType(typePart);
    const int bass = bassPart.empty() ? -1 : parseNoteName(bassPart);
    buildChord(chord, root, type, bass);
}

bool chordsEqual(const Chord& a, const Chord& b)
{
    if (a.bass != b.bass || a.root != b.root || a.type != b.type) return false;
    for (int i = 0; i < 5; ++i)
        if (a.intervals[i] != b.intervals[i]) return false;
    return true;
}
