#pragma once
// The melody voices: the four layers of the selected preset. Right-hand keys
// sound through layers 1-4 with automatic harmony from the chord in force,
// chord-area keys through the left-hand layers and split-area keys through the
// split layers. Every note started here is remembered with the key that caused
// it, so one key release ends exactly that key's notes.
#include "base/CMidiDevice.h"
#include "engine/CKvSeq.h"
#include "engine/Preset.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <vector>

class CKvSeq;
struct Chord;

enum LayerType : int32_t {
    kLayerOff = 0,
    kLayerSingle = 1,
    kLayerClose = 2,
    kLayerWide = 3,
    kLayerCloseWide = 4,
    kLayerLeft = 5,
    kLayerSplit = 6,
};

class CMelody : public CMidiDevice {
public:
    // pNoteOn of a sounding note is its layer's type; harmony notes carry this
    // bit as well, so that a chord change tells them from main notes even when
    // a harmony note shares the key's pitch class (power chords, "1+8").
    static constexpr int32_t kHarmonyNote = 0x100;

    explicit CMelody(CKvSeq* owner);
    ~CMelody() override;

    // Copies preset n into the layers and sends each layer's set-up.
    void selectPreset(int n);
    void updateVolumes(bool alreadyLocked);
    int hasSplitVoice();
    // A chord-area (area 5) or split-area (area 6) key.
    void areaVoice(int status, int pitch, int velocity, int area);

    // Close and wide harmony below a melody pitch; negative = none.
    void computeHarmony(int pitch, int& close, int& wide);
    // rebuild is for chordChanged only, which holds melodyMutex.
    void keyOn(int pitch, int velocity, bool rebuild = false);
    void keyOff(int pitch, int velocity);
    void chordChanged();
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override;

    // Harmony search on a chord alone: the chord tone at least three semitones
    // below `from`, or a negative value when the search passes below 0.
    static int chordToneBelow(const Chord& chord, int from);

    std::vector<SoundingNote> releasedNotes;
    PresetLayer layers[4] = {};
    CKvSeq* engine;
    pthread_mutex_t melodyMutex;

private:
    void playKey(const MelodyView& view, int pitch, int velocity, bool rebuild);
    static void harmonyOf(const MelodyView& view, int pitch, int& close, int& wide);
    // Sends and tracks one note on; a note already sounding on that channel
    // gets its note off first, so no note is ever started twice.
    void startNote(int channel, int pitch, int velocity, int pNoteOn, int key);
    // Ends every note the key started; melodyMutex held.
    void endKey(int key, int velocity);
    // Removes this very entry, not merely the first with its channel and pitch.
    void forget(const SoundingNote& note);
    // A split layer in the preset; read on every key without the melody's lock.
    std::atomic<bool> splitVoice{false};

    // Velocity of the last press of each key, for re-harmonising it.
    int32_t keyVelocity[128] = {};
};
