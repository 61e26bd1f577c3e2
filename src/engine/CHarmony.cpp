#include "engine/CHarmony.h"

#include "engine/CAccomp.h"

CHarmony::CHarmony()
{
    for (auto& row : voicePitch) row[0] = row[1] = -1;
}

void CHarmony::noteOff(int channel, int pitch, int, int pNoteOn, int)
{
    if (writeSequence) insertLinkedNoteOff(*writeSequence, pNoteOn, channel, pitch, writeTicks);
    for (auto& voice : voicePitch[channel & 0x0F])
        if (voice == pitch) voice = -1;
}
