#pragma once
// The engine's harmony side as a device: the harmony notes it ends are written
// as note offs into the sequence it writes to, and its voices forget them.
#include "base/CMidiDevice.h"
#include "chords/Chord.h"

#include <cstdint>

class CKvSeq;
class CMidiSequence;

class CHarmony : public CMidiDevice {
public:
    CHarmony();
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override;

    CKvSeq* harmonyEngine = nullptr;
    Chord harmonyDeviceChord;
    CMidiSequence* writeSequence = nullptr;
    int32_t writeTicks = 0;
    // The pitch each of the two harmony voices sounds per channel, -1 = silent.
    int32_t voicePitch[16][2];
};
