#pragma once
// The song player thread: plays a Standard MIDI File's channel messages in
// time, a range of bars once or in a loop, through the accompaniment's mixer
// groups, with a click while the musician records over it. The engine
// starts it (startSongPlayer) and stops it through stopRequest.

// Entry of the song player thread; the argument is the engine.
void* songPlayerThread(void* engine);
