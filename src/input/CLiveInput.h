#pragma once
// Live input: decides what each message played into the arranger is for
// (slider, chord area, split area, left hand, melody or plain pass-through)
// and keeps the chord-recognition state. Runs on the MIDI input thread; its
// own members have no lock, engine fields are touched one at a time.
#include "chords/Chord.h"
#include "chords/HeldKeyList.h"

#include <cstdint>

class CKvSeq;

// Where a note went.
enum class NoteTarget : uint8_t {
    None,
    Definition, // taken by a pending chord-area or split-key definition
    SplitVoice, // the split voice of the melody
    Dropped,    // split channel without a split voice
    LeftVoice,  // the left-hand layers
    ChordOnly,  // a chord key that makes no sound of its own
    Melody,     // the right-hand layers with harmony
};

struct NoteRoute {
    bool chordKey = false; // fed chord recognition
    NoteTarget target = NoteTarget::None;
};

// The engine fields one routing decision reads.
struct AreaSettings {
    int splitKey = -1;
    int splitChannel = -1;
    int highestChordKey = 54;
    int chordChannel = 0;
    int chordMethod = 0;
    int leftVoicesOff = 0;
    bool splitVoice = false; // the preset has a split layer
};

class CLiveInput {
public:
    explicit CLiveInput(CKvSeq* owner);
    CLiveInput(const CLiveInput&) = delete;
    CLiveInput& operator=(const CLiveInput&) = delete;

    void route(int status, int d1, int d2);
    bool matchSlider(int status, int d1, int d2);
    void handleNote(int status, int note, int velocity);

    // Keeps heldChordKeys: a note on appends the key if absent, a note off removes it.
    void updateHeldKeys(int status, int note, int velocity);
    // Turns the held keys into a chord with the engine's method and installs it.
    void recogniseChord();

    // The routing rules for one note, from the area settings alone.
    static NoteRoute decideRoute(const AreaSettings& areas, int channel, int note);

    CKvSeq* engine;
    HeldKeyList heldChordKeys;
    uint8_t chordKeyDefinePending = 0;
    uint8_t splitKeyDefinePending = 0;
    // Per slot: controller number + 1 (0 = empty), channel 1-16 (0 = any).
    // Slot 0 tempo, 1 drums, 2 bass, 3 other, 4 accompaniment, 5 melody.
    int32_t sliders[6][2] = {};

    Chord recognisedChord;
    int32_t lastBassKey = 0;     // Fingered on bass: lowest key of the last chord, 0 = none
    int64_t lastChordTime = 0;   // engine clock, ms, when a recognised chord was last installed

    // What the last note and the last recognition decided, for diagnostics:
    // the route, the cluster trigger code (0 = none) and the Main function
    // chosen by key velocity (-1 = none).
    NoteRoute lastRoute;
    int32_t lastClusterCode = 0;
    int32_t lastMainFunction = -1;

private:
    // A pending definition takes the next key; true when the message is used up.
    bool takeForDefinition(bool noteOn, int channel, int note, bool live);
    void applySlider(int slot, int value);
    int64_t nowMs() const;
    void recogniseFullFingered();
    // False when a bass change was installed instead of a recognition.
    bool recogniseFingeredOnBass();

    // Keys whose press a definition took, per channel and note, so that their
    // release is taken too and every other release goes its normal way.
    uint64_t definitionKeys[16 * 128 / 64] = {};
};
