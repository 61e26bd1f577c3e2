// Humanisation of the accompaniment: now and then a note an octave toward
// the middle, and at a bar line now and then another bass instrument for a
// bar. Velocity variety lives with the transformation.
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "player/CPlayer.h"
#include "sequence/CStyle.h"

#include <algorithm>

namespace {
// Amounts are steps 0-10; larger ones would divide by zero below.
int amount(int value) { return std::clamp(value, 0, 10); }
} // namespace

void CPlayer::varyPitch(StyleEvent& sent)
{
    const PartChannel& ch = style->parts[static_cast<size_t>(currentPart())].channels[channelOf(sent.stat)];
    const bool eligible = isNote(sent.stat) && !ch.drum && ch.ruleFor(event.db1).ntt != 3;
    if (!eligible) return;
    // The shifted note's own note off carries the shifted pitch, so it ends.
    if (eventIndex == shiftedNoteEnd && isNoteOff(sent.stat, sent.db2)) {
        sent.db1 = shiftedPitch;
        shiftedNoteEnd = shiftedPitch = -1;
        return;
    }
    if (!isNoteOn(sent.stat, sent.db2)) return;
    const int p = amount(engine->get(engine->mixer.pitchVariety));
    if (p < 1 || shiftedNoteEnd != -1) return;
    if (engine->random.next() % (20 - p) != 0) return;
    sent.db1 += sent.db1 < 60 ? 12 : -12;
    shiftedPitch = sent.db1;
    shiftedNoteEnd = event.onoff;
}

void CPlayer::varyBass()
{
    const int b = amount(engine->get(engine->mixer.bassVariety));
    if (b <= 0) return;
    int dest = -1;
    for (const PartChannel& ch : style->parts[static_cast<size_t>(currentPart())].channels)
        if (ch.ntt == 3) dest = ch.dest;
    if (dest < 0 || dest > 15) return;
    if (engine->random.next() % (11 - b) == 0) {
        if (savedBassProgram == -1 && engine->port) savedBassProgram = engine->port->programOf(dest);
        engine->sendEvent(programStatus(dest), 32 + engine->random.next() % 8, 0);
    } else if (savedBassProgram >= 0) {
        engine->sendEvent(programStatus(dest), savedBassProgram, 0);
        savedBassProgram = -1;
    }
}
