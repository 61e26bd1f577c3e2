#include "player/CPlayer.h"

#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"

CPlayer::CPlayer(CKvSeq* owner) : engine(owner) {}

void CPlayer::noteOff(int channel, int pitch, int, int pNoteOn, int)
{
    if (drumHold && channel == 9) return;
    if (!chordHold) engine->sendEvent(noteOffStatus(channel), pitch, 100);
    engine->lock();
    const bool chordMoved = !chordsEqual(engine->currentChord, engine->accompChord);
    engine->unlock();
    if (chordMoved && pNoteOn > 0 && retriggerCount < kMaxRetrigger) retriggerNotes[retriggerCount++] = pNoteOn;
}
