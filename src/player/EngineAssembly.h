#pragma once
// The engine with what sits above it: the live input, the melody and the
// player threads, which the engine reaches only through the parts installed
// here (it includes nothing above itself).
class CKvSeq;

// Installs the entries of the player threads, the routing, the melody's
// and the style set-up's operations. Enough for an engine that only plays
// (the companion tool's, the benchmarks').
void installEngineParts(CKvSeq& engine);

// The whole engine: its parts, a live input and a melody, then init(flag),
// which opens the port. Shut-down releases them.
void assembleEngine(CKvSeq& engine, int flag);
