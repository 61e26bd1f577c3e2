#pragma once
// The playback state of one player thread. It lives on the thread's stack
// and no other thread touches it; other threads steer the player only
// through engine fields. As a device it remembers the notes it started, so
// a stop, a part switch or a chord change ends exactly its own notes.
#include "base/CMidiDevice.h"
#include "engine/CKvSeq.h"
#include "player/PlayerTiming.h"
#include "player/Transform.h"

#include <cstdint>

class CMidiSequence;
class CStyle;
struct MidiEvent;

class CPlayer : public CMidiDevice {
public:
    static constexpr int kMaxRetrigger = 256;

    explicit CPlayer(CKvSeq* owner);

    // Ends one remembered note (velocity 100).
    void noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal) override;

    // The whole life of the style player thread: set-up, the part loop, the
    // end. Returns when the player has ended.
    void runStyle();

    // The wait (StylePlayer.cpp): from fromTick to toTick in time with the
    // clock, with the bar starts, fills, chord changes and pauses met on the
    // way.
    void waitUntil();
    void startWait(int from);
    void setPosition(int at);
    void loadEvent(int index);
    void playEvent();
    // The retrigger step: notes cut by a chord change sound again in the new chord.
    void chordChange();

    // Part sequencing (PartSequencing.cpp).
    void barStart();
    void switchPart();
    void endOfPart();
    void switchStyle();
    void startRecording();

    // The song player (SongPlayer.cpp): the pass loop over the song or its
    // range, the wait of `ticks` from fromTick, one event through the mixer.
    // The wait ends `aheadNs` before the moment: what is played then is
    // queued for the moment itself.
    void runSong();
    void songWait(int32_t ticks, int64_t aheadNs = 0);
    // `dueUs` >= 0 queues the message for that moment.
    void playSongEvent(const MidiEvent& m, int64_t dueUs = -1);

    // Humanisation (Humanisation.cpp).
    void varyPitch(StyleEvent& sent);
    void varyBass();

    CKvSeq* engine;
    CStyle* style = nullptr; // the style being played
    CMidiSequence* song = nullptr; // the song being played

    // The event about to be played and where it stands.
    int32_t eventIndex = 0;
    StyleEvent event;

    // Position and wait, in the style's ticks and nanoseconds of the clock.
    int32_t fromTick = 0;
    int32_t toTick = 0;
    int32_t tick = 0;
    int32_t bar = 1;
    int32_t beat = 1;
    int32_t tickInBeat = 0;
    int32_t prevBeat = 1;
    int64_t lastBarStartUs = 0;
    int64_t waitBudgetNs = 0; // time still to wait; negative: lateness carried forward
    int64_t waitStartNs = 0;
    int64_t dueNs = 0;        // the moment the next wait's start was due
    int32_t waitStartTick = 0;
    int32_t waitTempo = 120;  // tempo the current wait was computed with
    bool plainWait = false;   // engine->plainMillisecondWait at the start
    int32_t beatsPerBar = 4;
    int32_t beatUnit = 4;
    int32_t barStartTick = 0;
    int32_t barStartPosition = 0; // songPosition (480 per quarter) at barStartTick
    uint8_t restartPart = 0;
    int32_t switches = 0; // part switches so far
    uint8_t justSwitched = 0;

    // Note ons to sound again after a chord change.
    int32_t retriggerNotes[kMaxRetrigger] = {};
    int32_t retriggerCount = 0;

    // Humanisation.
    int32_t shiftedNoteEnd = -1;
    int32_t shiftedPitch = -1;
    int32_t savedBassProgram = -1;

    // The song: a tempo event played in the current pass; the metronome.
    bool songTempoMoved = false;
    // The song's tempo exactly, and the whole BPM the engine shows for it.
    int32_t songMicros = 500'000;
    int32_t songShownBpm = 120;
    int32_t clickBar = 0;
    int32_t clickBeat = 0;
    int32_t clickPitch = -1; // the click sounding, -1 none
    int64_t clickNs = 0;

    // The song's messages queued ahead of their moment, as far as the player
    // knows not yet delivered: what each left behind, undone when it is
    // taken back, and where the song stood, to play it again from there.
    struct QueuedSongEvent {
        int64_t dueUs = 0;
        int32_t index = 0; // the song's event
        int32_t tick = 0;
        int32_t status = 0; // the note the player remembered; 0 none
        int32_t d1 = 0;
        SentEvent sent;
    };
    static constexpr int kQueueDepth = 128;
    QueuedSongEvent queued[kQueueDepth];
    int32_t queuedCount = 0;
    int64_t queueAheadNs = 0; // 0: each message is sent at its moment
    int64_t queueStartNs = 0; // a queued song's first moment: what comes before it is queued at once
    int64_t lastQueuedUs = -1;
    int32_t queuedMix = 0; // the group switches the queued messages were played with
    bool rewound = false;  // a take-back moved the song back to a queued event

    // The style's messages queued ahead of their moment and not yet surely
    // delivered: each event's source, what its sending left, and the
    // humanisation's state before it, so that a chord change can take it
    // back and play it again in the new chord, drawing what a direct send
    // would have drawn. Those before `sealedCount` came before the last bar
    // start, part switch, pause or chord change: never played again.
    struct QueuedStyleEvent {
        static constexpr int kSends = 4; // a bank, a program; a drum struck again
        int64_t dueUs = 0;
        StyleEvent source;
        int32_t index = 0;
        int32_t tick = 0; // where the walk stood: the recording's position
        uint64_t random = 0;
        BassMemory bass;
        int32_t shiftedNoteEnd = -1;
        int32_t shiftedPitch = -1;
        SentEvent sent[kSends];
        NoteTrackUndo tracked[kSends];
        int32_t sends = 0;
    };
    static constexpr int kStyleQueueDepth = 128;
    QueuedStyleEvent styleQueued[kStyleQueueDepth];
    int32_t styleQueuedCount = 0;
    int32_t sealedCount = 0;
    QueuedStyleEvent* playing = nullptr; // the entry the event being played fills
    int64_t styleAheadNs = 0;            // 0: each message is sent at its moment
    int64_t stampUs = -1;                // the moment what is sent now is queued for; -1 at once
    int64_t lastStampUs = -1;            // the latest stamp queued
    int64_t sealedUntilUs = -1;          // the latest stamp never taken back

    // Engine settings for the transformation, refreshed at every wait step.
    TransformSettings settings;

private:
    void setUp();
    void endThread();
    int currentPart() const;
    int64_t nowNs() const;
    // The moment the position `tick` was due in the current wait.
    int64_t dueMoment() const;
    // The part's end when its events run out without an end marker.
    int partEndTick(int part);
    // Sends a note, program or controller and remembers it.
    void sendTracked(const StyleEvent& e, int index);
    // Sends a style message, stamped for the walk's moment while the style
    // is queued ahead, and keeps what it left in the entry being played.
    void sendStyle(int status, int d1, int d2);
    void trackStyle(int status, int d1, int d2, int index);
    // The moment the walk stands at: now, or the lookahead ahead of it.
    int64_t walkNowNs() const;
    // The entry of the event about to be played (none when sent at once).
    void beginQueuedEvent();
    // What is queued now is never played again (a bar start, a part or style
    // switch, a pause, a chord change):
    // a chord change leaves it, a cut or a stop only undoes it.
    void sealStyleQueue();
    // The first entry stamped at `fromUs` or later (the count: none; -1 takes none).
    int firstQueuedFrom(int64_t fromUs) const;
    // Undoes the entries from `first` on, newest first.
    void undoStyle(int first, bool endStillSounds);
    // Takes back what is queued from `fromUs` on (`own`: asks the port to;
    // otherwise someone else did), undoes what it left and returns the first
    // entry to play again; the entries from there to the old count stay
    // readable for replayStyle.
    int takeBackStyle(int64_t fromUs, bool own);
    // When a chord played now takes effect while the walk is ahead of the
    // music: now, or the beat after the music's if that is in its last
    // quarter; -1 while the walk has not reached that beat.
    int64_t chordMomentUs() const;
    // The style's tick at a moment near the walk's.
    int tickAtNs(int64_t ns) const;
    // Plays the entries taken back again, each at its own moment.
    void replayStyle(int first, int end);
    // What a cut of every note took back, played again.
    void followStyleTakeBack();
    // Whether a source channel plays drums in the part being played.
    bool playsDrums(int sourceStatus) const;
    // A new chord taken at `atUs` (queued ahead; -1: where the walk stands).
    void takeChordChange(int64_t atUs = -1);
    // Sleeps while the players are paused; resuming or a stop wakes it.
    void waitWhilePaused();
    // The engine's position (480 per quarter) of a tick of the style.
    int64_t positionOf(int at) const;
    void growRecording();
    void setSongPosition(int64_t thousandths);
    void adoptSongTempo(int32_t micros);
    void setSongTempo(int32_t micros);
    // The song's time per tick at the engine's tempo.
    TickRate songRate(int engineTempo) const;
    void click(int64_t thousandths, int64_t now);
    void endClick();
    void endSong();
    void dropRange();
    // The group switches that decide which song notes sound.
    int32_t songMix() const;
    // How far ahead of its moment the next event is played.
    int64_t aheadNow() const;
    // Takes back what is queued and not yet on its way (and what someone
    // else took back from `takenFromUs` on), undoes what it left and, with
    // `rewind`, moves the song back to the first event taken back. True
    // when anything was taken back.
    bool takeBackQueued(bool rewind, int64_t takenFromUs = -1);
    // What someone else (a cut of all notes) took back: handled as above.
    bool followTakeBack();
    // Forgets what the queue has delivered; drainQueue first waits for all of it.
    void forgetDelivered();
    void drainQueue();
    // Keeps what a message queued for `dueUs` left behind (nothing when sent at once).
    void rememberQueued(const MidiEvent& m, int64_t dueUs, const SentEvent& sent);
    // Sends the programs, controllers and bends the song set before `until`.
    void chaseTo(int32_t until);
};
