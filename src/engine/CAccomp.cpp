#include "engine/CAccomp.h"

#include "sequence/CMidiSequence.h"

#include <algorithm>

int insertLinkedNoteOff(CMidiSequence& seq, int noteOn, int channel, int pitch, int ticks)
{
    if (noteOn < kFirstEvent || noteOn >= seq.eventCount()) return 0;
    const int at = std::max(ticks, seq.events[static_cast<size_t>(noteOn)].ticks);
    const int after = seq.findAfter(at, noteOn);
    const int off = seq.insertEvent(after, at, noteOffStatus(channel), pitch, 100, {}, noteOn, 0);
    if (off == after) return 0;
    seq.events[static_cast<size_t>(noteOn)].onoff = off;
    return off;
}

void CAccomp::noteOff(int channel, int pitch, int, int pNoteOn, int)
{
    if (writeSequence) insertLinkedNoteOff(*writeSequence, pNoteOn, channel, pitch, writeTicks);
}
