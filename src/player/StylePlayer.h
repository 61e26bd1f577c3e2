#pragma once
// The style player thread: plays the current part of the current style in a
// loop, in time with the clock, following the chord and the part requests.
// The engine starts it (startStylePlayer) and stops it through stopRequest.

// Entry of the style player thread; the argument is the engine.
void* stylePlayerThread(void* engine);
