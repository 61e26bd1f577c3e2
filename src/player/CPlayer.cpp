#include "player/CPlayer.h"

#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"

CPlayer::CPlayer(CKvSeq* owner) : engine(owner) {}

void CPlayer::noteOff(int channel, int pitch, int, int, int) { engine->sendEvent(noteOffStatus(channel), pitch, 100, stampUs); }
