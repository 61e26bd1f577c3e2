#include "chords/ChordRecognition.h"

#include <cstddef>

namespace {

int pitchClass(int note) { return ((note % 12) + 12) % 12; }

bool isBlackKey(int note)
{
    switch (pitchClass(note)) {
    case 1: case 3: case 6: case 8: case 10: return true;
    default: return false;
    }
}

struct ChordShape {
    int length;       // intervals after the root: 2-4
    int intervals[4];
    int type;
};

// Searched in this order; only the exact order of the intervals matches, so
// C G E (7 4) is no chord while C E G (4 7) is.
constexpr ChordShape kShapes[] = {
    {2, {4, 7}, 0},        {3, {4, 7, 9}, 1},     {3, {4, 7, 11}, 2},    {3, {4, 6, 11}, 3},
    {3, {4, 7, 2}, 4},     {4, {4, 7, 11, 2}, 5}, {4, {4, 7, 9, 2}, 6},  {2, {4, 8}, 7},
    {2, {3, 7}, 8},        {3, {3, 7, 9}, 9},     {2, {3, 10}, 10},      {3, {3, 7, 10}, 10},
    {3, {3, 6, 10}, 11},   {3, {3, 7, 2}, 12},    {4, {3, 7, 10, 2}, 13}, {4, {3, 7, 10, 5}, 14},
    {3, {3, 7, 11}, 15},   {4, {3, 7, 11, 2}, 16}, {2, {3, 6}, 17},      {3, {3, 6, 9}, 18},
    {2, {4, 10}, 19},      {3, {4, 7, 10}, 19},   {3, {5, 7, 10}, 20},   {3, {4, 6, 10}, 21},
    {4, {4, 7, 10, 2}, 22}, {4, {4, 7, 10, 9}, 24}, {4, {4, 7, 10, 1}, 25}, {4, {4, 7, 10, 8}, 26},
    {4, {4, 7, 10, 3}, 27}, {4, {4, 7, 11, 8}, 28}, {3, {4, 8, 10}, 29},  {2, {5, 7}, 32},
    {2, {2, 7}, 33},
};

} // namespace

void matchChordShape(Chord& chord, int k1, int k2, int k3, int k4, int k5)
{
    int k[5] = {k1, k2, k3, k4, k5};

    // Drop the first note whose pitch class already sounds below it in the
    // list; only one, so two doublings leave a shape that matches nothing.
    for (int j = 1; j < 5; ++j) {
        if (k[j] < 0) continue;
        bool repeated = false;
        for (int i = 0; i < j && !repeated; ++i) repeated = k[i] >= 0 && pitchClass(k[i]) == pitchClass(k[j]);
        if (!repeated) continue;
        for (int m = j + 1; m < 5; ++m) k[m - 1] = k[m];
        k[4] = -1;
        break;
    }
    if (k[0] < 0 || k[1] < 0 || k[2] < 0) return;

    const int root = pitchClass(k[0]);
    int tuple[4];
    int length = 0;
    for (int j = 1; j < 5; ++j)
        if (k[j] >= 0) tuple[length++] = pitchClass(k[j] - root);

    for (const ChordShape& shape : kShapes) {
        if (shape.length != length) continue;
        bool same = true;
        for (int i = 0; i < length && same; ++i) same = shape.intervals[i] == tuple[i];
        if (same) {
            buildChord(chord, root, shape.type, -1);
            return;
        }
    }
}

bool rotationSearch(Chord& chord, const HeldKey* keys, int count)
{
    // Rotating by index instead of moving entries: the same tries, and the
    // caller's list stays sorted.
    for (int first = 0; first < count; ++first) {
        int k[5] = {-1, -1, -1, -1, -1};
        for (int j = 0; j < 5 && j < count; ++j) k[j] = keys[(first + j) % count].note;
        matchChordShape(chord, k[0], k[1], k[2], k[3], k[4]);
        if (chord.root >= 0) return true;
    }
    return false;
}

void singleFingerYamaha(Chord& chord, const HeldKey* keys, int count)
{
    if (count < 1) return;
    const int root = pitchClass(keys[count - 1].note);
    int type = 0;
    if (count == 2) {
        type = isBlackKey(keys[0].note) ? 8 : 19;
    } else if (count >= 3) {
        const bool secondBlack = isBlackKey(keys[count - 2].note);
        const bool thirdBlack = isBlackKey(keys[count - 3].note);
        if (secondBlack)
            type = thirdBlack ? 8 : 10;
        else
            type = thirdBlack ? 10 : 19;
    }
    buildChord(chord, root, type, -1);
}

void singleFingerRoland(Chord& chord, const HeldKey* keys, int count)
{
    if (count < 1 || count > 3) return;
    const int lowest = keys[0].note;
    int type = 0;
    if (count >= 2) {
        const int d = pitchClass(keys[1].note - lowest);
        if (count == 2) {
            if (d == 3) type = 8;
            else if (d == 10) type = 19;
            else if (d == 11) type = 2;
        } else if (d == 3) {
            // With three keys only the minor third counts, and only as the
            // start of dim or m7; every other three-key shape is major.
            const int e = pitchClass(keys[2].note - lowest);
            if (e == 6) type = 17;
            else if (e == 10) type = 10;
        }
    }
    buildChord(chord, pitchClass(lowest), type, -1);
}

void guitarChord(Chord& chord, const HeldKey* keys, int count)
{
    for (int first = 0; first < count; ++first) {
        const int root = pitchClass(keys[first].note);
        unsigned present = 0;
        for (int j = 1; j <= 4 && j < count; ++j) present |= 1u << pitchClass(keys[(first + j) % count].note - root);
        const bool fifth = present & (1u << 7);
        if (fifth && (present & (1u << 4))) {
            buildChord(chord, root, 0, -1);
            return;
        }
        if (fifth && (present & (1u << 3))) {
            buildChord(chord, root, 8, -1);
            return;
        }
    }
}

void freeFormChord(Chord& chord, const HeldKey* keys, int count)
{
    if (count < 3 || count > 5) return;
    const int root = pitchClass(keys[0].note);
    Chord c;
    c.root = root;
    c.type = 0;
    c.bass = -1;
    size_t pos = 0;
    for (int k = 0; k < count; ++k) {
        const int pc = pitchClass(keys[k].note);
        // Not reduced modulo 12: a key below the root's pitch class is negative.
        c.intervals[k] = pc - root;
        if (k > 0) c.symbol[pos++] = ' ';
        for (const char* name = noteName(pc); *name; ++name) c.symbol[pos++] = *name;
    }
    c.symbol[pos] = '\0'; // at most five names of two letters and four blanks
    chord = c;
}

int lowestCloseGroup(const HeldKey* keys, int count, int* start)
{
    *start = 0;
    if (count < 1) return 0;
    int length = 1;
    for (int i = 1; i < count; ++i) {
        if (keys[i].note - keys[i - 1].note <= 6) {
            ++length;
        } else {
            if (length >= 3) break;
            *start = i;
            length = 1;
        }
    }
    return length;
}

int clusterBase(const HeldKey* keys, int count)
{
    if (count < 3) return -1;
    const int n = keys[0].note;
    return (keys[1].note == n + 1 && keys[2].note == n + 2) ? n : -1;
}

int mainFunctionForVelocity(int averageVelocity)
{
    if (averageVelocity < 34) return 6;   // Main A
    if (averageVelocity < 67) return 10;  // Main B
    if (averageVelocity <= 99) return 14; // Main C
    return 17;                            // Main D
}
