#include "sequence/CStyle.h"

void PartChannel::setDefaults(int sourceChannel)
{
    const bool drums = sourceChannel == 9;
    const bool bass = sourceChannel == 2 || sourceChannel == 10;
    dest = -1;
    name = drums ? "drums" : bass ? "bass" : "instrum";
    editable = 1;
    noteMute[0] = 0x0F;
    noteMute[1] = 0xFF;
    drum = drums ? 1 : 0;
    chordMute[0] = drums ? 0x07 : 0x03;
    for (int i = 1; i < 5; ++i) chordMute[i] = 0xFF;
    buildChord(sourceChord, 0, 2, -1);
    ntr = drums ? 1 : 0;
    ntt = drums ? 0 : bass ? 3 : 2;
    highKey = 6;
    lowLimit = 0;
    highLimit = 127;
    rtr = (drums || bass) ? 0 : 3;
}

StylePart::StylePart()
{
    for (int c = 0; c < 16; ++c) channels[c].setDefaults(c);
}

CStyle::CStyle(CKvSeq* engineOwner) : CMidiSequence(engineOwner)
{
    isStyle = 1;
    parts.emplace_back();
    parts.back().name = "Control changes";
}

int CStyle::partType(int index) const
{
    if (index < 0 || index >= partCount()) return -1;
    return parts[static_cast<size_t>(index)].type;
}
