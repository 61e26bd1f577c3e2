#pragma once
// A style: an event list divided into named parts, with per-part channel
// settings that say where each channel plays and how it follows the chord.
#include "chords/Chord.h"
#include "sequence/CMidiSequence.h"

#include <cstdint>
#include <string>
#include <vector>

// Part kinds.
enum PartType : int32_t { kPartMain = 0, kPartFillIn = 1, kPartIntro = 2, kPartEnding = 3, kPartBreak = 4 };

struct PartChannel {
    int32_t dest = -1;
    std::string name;
    int32_t editable = 1;
    uint8_t noteMute[2] = {0x0F, 0xFF};
    uint8_t drum = 0;
    uint8_t chordMute[5] = {0x03, 0xFF, 0xFF, 0xFF, 0xFF};
    Chord sourceChord;
    int32_t ntr = 0;
    int32_t ntt = 2;
    int32_t highKey = 6;
    int32_t lowLimit = 0;
    int32_t highLimit = 127;
    int32_t rtr = 3;

    // The defaults depend on the source channel: drums on 9, bass on 2 and 10.
    void setDefaults(int sourceChannel);
};

struct StylePart {
    std::string name;
    int32_t bars = 0;
    int32_t offsettime = 0;
    int32_t startevent = -1;
    PartChannel channels[16];
    int32_t type = kPartMain;
    int32_t level1 = 0;
    int32_t level2 = 0;
    int32_t tracks[16] = {};

    StylePart();
};

class CStyle : public CMidiSequence {
public:
    explicit CStyle(CKvSeq* engineOwner);

    int partCount() const { return static_cast<int>(parts.size()); }
    // Type of a part; -1 when the index names no part.
    int partType(int index) const;

    uint8_t destUsed[16] = {};
    uint8_t destBank8[16] = {};
    std::vector<StylePart> parts;
    int32_t averageVolume = 90;
    int32_t averageVelocity = 80;
};
