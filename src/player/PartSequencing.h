#pragma once
// When a requested part takes over, and which part follows one that has
// played to its end. Pure decisions; CPlayer carries them out.

// A Fill In starts inside the bar, at once, unless the bar is in its last
// beat or the beat has just fallen back (a new bar is about to start); every
// other request waits for the next bar start.
bool requestStartsNow(int requestedType, int beat, int beatsPerBar, int lastBeat);

// The part to switch to when part `current` of type `type` has played to its
// end; -1 when it simply plays again (Main, Break) or ends the player
// (Ending). An Intro, and a Fill In that has played (not just switched to),
// return to `returnPart`, or the fill repeats while `repeatFill` is set.
int partAfterEnd(int type, bool justSwitched, bool repeatFill, int current, int returnPart);
