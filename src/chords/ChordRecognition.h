#pragma once
// The recognition methods proper: pure functions from held keys to a chord.
// Keys are passed sorted ascending by note. A function that finds no chord
// leaves the chord as it was given (the caller starts from "no chord").
// Nothing here allocates; the MIDI input thread runs it for every chord key.
#include "chords/Chord.h"
#include "chords/HeldKeyList.h"

enum ChordMethod : int32_t {
    kFullFingered = 0,
    kSingleFingerYamaha = 1,
    kSingleFingerRoland = 2,
    kFingeredOnBass = 3,
    kFullKeyboard = 4,
    kGuitar = 5,
    kFreeForm = 6,
};

// Trigger code of three adjacent keys n, n+1, n+2 at the bottom is this + n.
constexpr int kClusterCodeBase = 385;

// k1 is the root candidate, k2-k5 follow in that order; -1 = absent. One
// repeated pitch class is dropped, then the intervals must match a shape of
// the table exactly, in order.
void matchChordShape(Chord& chord, int k1, int k2, int k3, int k4, int k5);

// Tries each key in turn as the root, the keys below it moved behind the
// others, looking at the first five of each rotation. True when found.
bool rotationSearch(Chord& chord, const HeldKey* keys, int count);

void singleFingerYamaha(Chord& chord, const HeldKey* keys, int count);
void singleFingerRoland(Chord& chord, const HeldKey* keys, int count);
// Major and minor triads only, with doubled and spread notes allowed.
void guitarChord(Chord& chord, const HeldKey* keys, int count);
// Any three to five keys, taken as they are.
void freeFormChord(Chord& chord, const HeldKey* keys, int count);

// Full keyboard: the first group of three or more keys, each at most six
// semitones above the previous one; else the last group. Returns the group's
// length and its first index in *start.
int lowestCloseGroup(const HeldKey* keys, int count, int* start);

// Lowest note of three adjacent semitones at the bottom, -1 when there are none.
int clusterBase(const HeldKey* keys, int count);

// Function number of the Main part that an average key velocity selects.
int mainFunctionForVelocity(int averageVelocity);
