#pragma once
// What every MIDI-handling object shares: the notes it has started and not yet
// ended, and the last program and controller values it sent per channel.
#include "base/MidiStatus.h"

#include <cstdint>
#include <pthread.h>
#include <vector>

struct SoundingNote {
    int32_t channel;
    int32_t pitch;         // as sent
    int32_t velocity;      // of the note on
    int32_t pNoteOn;       // event index that caused the note on, 0 = none
    int32_t pitchOriginal; // before the sender's transposition, 0 = none
};

// What tracking one note changed in the remembered notes, so that it can be
// undone (newest first) when the note is taken back before it sounds.
struct NoteTrackUndo {
    int32_t index = -1; // where the note stood; -1: nothing changed
    bool added = false; // a note on added it at the end; otherwise a note off removed it
    SoundingNote note{};
};

class CMidiDevice {
public:
    // The controllers whose values are remembered, in memory order.
    static constexpr int kRememberedControllers[9] = {0, 1, 5, 7, 10, 11, 32, 91, 93};

    CMidiDevice();
    virtual ~CMidiDevice();
    CMidiDevice(const CMidiDevice&) = delete;
    CMidiDevice& operator=(const CMidiDevice&) = delete;

    // Turns one remembered note off, each kind of device in its own way.
    // Called by releaseAll with deviceMutex held.
    virtual void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) = 0;

    void trackEvent(int status, int d1, int d2, int pNoteOn, bool alreadyLocked, int pitchOriginal);
    void trackEvent(int status, int d1, int d2) { trackEvent(status, d1, d2, 0, false, 0); }
    // Tracks a note as trackEvent does and says how to undo it.
    NoteTrackUndo trackNote(int status, int d1, int d2, int pNoteOn);
    void undoTrackNote(const NoteTrackUndo& undo);
    int acceptsEvent(int status, int d1, int d2, int* pNoteOn);
    int acceptsEvent(int status, int d1, int d2) { return acceptsEvent(status, d1, d2, nullptr); }
    void releaseAll();
    // Drop remembered notes, all or one channel's, without ending them.
    void forgetAll();
    void forgetChannel(int channel);
    void resetControllers();
    int programOf(int channel);
    int controllerOf(int channel, int controller);
    // Remembers a controller value as the channel's own without sending it.
    void rememberController(int channel, int controller, int value);

    // Copy of the sounding-note list, for diagnostics and tests.
    std::vector<SoundingNote> soundingSnapshot();
    int soundingCount();

protected:
    // Index 0-8 of a remembered controller number, -1 for any other.
    static int controllerSlot(int controller);
    // First entry with this channel and pitch, -1 when none. deviceMutex held.
    int findSounding(int channel, int pitch) const;
    // A note on or off into the remembered notes; how to undo it into `undo`
    // when given. deviceMutex held.
    void trackNoteLocked(int status, int d1, int d2, int pNoteOn, int pitchOriginal, NoteTrackUndo* undo);

    std::vector<SoundingNote> soundingNotes;
    int32_t programs[16];
    int32_t programBankMsb[16];
    int32_t programBankLsb[16];
    int32_t controllers[9][16];
    pthread_mutex_t deviceMutex;
};
