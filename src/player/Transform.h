#pragma once
// The transformation of one style event before it is played: whether it
// plays at all (channel mapping, mutes, the chord's note and chord mutes, the
// drum and bank rules), its destination channel, the volume and velocity
// level rules, velocity variety, and the move of a note's pitch from the
// channel's source chord to the chord in force. Pure: everything it reads
// comes in as arguments, so tables test it without a player.
#include "base/CRandom.h"
#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"

#include <cstdint>

class CKvSeq;

// The engine settings the transformation reads, taken in one step.
struct TransformSettings {
    int32_t styleBankSelect = 0;
    int32_t styleSysEx = 1;
    int32_t drumsOff = 0;
    int32_t bassOff = 0;
    int32_t otherOff = 0;
    int32_t accompVolume = 100;
    int32_t drumsVolume = 100;
    int32_t bassVolume = 100;
    int32_t otherVolume = 100;
    int32_t levelMode = 2;
    int32_t targetVolume = 100;
    int32_t targetVelocity = 100;
    bool liveMode = false;      // inputMode 4: the mixer levels and velocity variety apply
    int32_t currentPart = 0;    // the part whose channel records give a note its class
    int32_t velocityVariety = 0; // 0-10
};

// The settings as the engine holds them now (one lock).
TransformSettings transformSettings(const CKvSeq& engine);

// One style event as the transformation sees it; `stat` may be one of the
// arranger's own kinds (-1 SysEx, 81 tempo, ...). Copying it never allocates.
struct StyleEvent {
    int32_t stat = 0;
    int32_t db1 = 0;
    int32_t db2 = 0;
    int32_t onoff = 0;
};

// Channel class of a note for mutes, levels and humanisation.
enum NoteClass : int32_t { kClassOther = 0, kClassDrum = 1, kClassBass = 2 };
NoteClass noteClass(const PartChannel& channel);

// Transforms `event` in place for `chord`, with the channel records of part
// `part`; true when it is played. `random` is used by velocity variety only.
bool transformEvent(const CStyle& style, StyleEvent& event, const Chord& chord, int part,
                    const TransformSettings& settings, BassMemory& bass, CRandom& random);

// The pitch of note `pitch` on a channel with record `channel`, moved from
// the channel's source chord to `chord`; `partType` is the type of the part
// being played.
int transposeNote(int pitch, const Chord& chord, const PartChannel& channel, int partType);
// The same with the rule of the note's range and the channel's source chord.
int transposeNote(int pitch, const Chord& chord, const Chord& source, const NoteRule& rule, int partType);

// Controller 7 value of a channel of class `cls` after the level rule and the
// mixer levels.
int applyVolumeLevel(const CStyle& style, int value, NoteClass cls, const TransformSettings& settings);
// Note-on velocity after the level rule, 1-127.
int applyVelocityLevel(const CStyle& style, int velocity, const TransformSettings& settings);
// Velocity after variety `amount` (0-10).
int varyVelocity(int velocity, int amount, CRandom& random);
// The drum note a pitch plays on channel 10 when bank select mode 0 maps drums there.
int drumNote(int pitch);
