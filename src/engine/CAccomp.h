#pragma once
// The engine's accompaniment side as a device: the notes it ends are written
// as note offs into the sequence it writes to.
#include "base/CMidiDevice.h"
#include "chords/Chord.h"

#include <cstdint>

class CMidiSequence;

class CAccomp : public CMidiDevice {
public:
    CAccomp() = default;
    // Inserts a note off after the event that started the note and links the
    // note on to it.
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override;

    Chord accompDeviceChord;
    CMidiSequence* writeSequence = nullptr; // none = nothing is written
    int32_t writeTicks = 0;                 // position the writer has reached
};

// Inserts a note off (channel, pitch, velocity 100) at `ticks` (not before the note on),
// after the note on at index noteOn, and links the two. Returns the new index,
// 0 when noteOn names no event of the sequence.
int insertLinkedNoteOff(CMidiSequence& seq, int noteOn, int channel, int pitch, int ticks);
