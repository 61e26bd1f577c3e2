#pragma once
// The engine: the one object that owns all run-time state of the arranger.
// Every run-time field is read and written under engineMutex; no lock is ever
// held across a call into another object. Its state lives in the records of
// EngineSettings.h. Outside the engine they are read (get, snapshot, the views)
// and changed through the operations below: the settable numbers through
// setSetting and its kin, which clamp by the records' tables.
#include "base/CClock.h"
#include "base/CLockGuard.h"
#include "base/CRandom.h"
#include "chords/Chord.h"
#include "engine/CAccomp.h"
#include "engine/CHarmony.h"
#include "engine/EngineEvents.h"
#include "engine/EngineSettings.h"
#include "engine/Preset.h"

#include <cstdint>
#include <pthread.h>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

class CApplication;
class CLiveInput;
class CMelody;
class CMidiPort;
class CMidiSequence;
class CSettingsStore;
class CStyle;
struct SequenceOptions;

constexpr int kSequenceCount = 200;
constexpr int kStyleSlotBase = 100; // sequence id of style slot n is 100 + n
constexpr int kSongId = 1; // the song loaded by "play:"
// Recordings stay in the engine under ids 11 to 90, in turn.
constexpr int kFirstRecordingId = 11;
constexpr int kRecordingIds = 80;

// What the engine asks of the application, which installs these at start-up:
// saving a finished recording, the command of a key (a key command, else the
// menu entry of the key), and playing back the latest recording.
struct ApplicationHooks {
    void* context = nullptr;
    void (*saveRecording)(void* context, CMidiSequence* recording) = nullptr;
    void (*runKeyCommand)(void* context, int note) = nullptr;
    void (*playSongSlot)(void* context) = nullptr;
};

// What the engine reaches above itself, installed by whoever builds it
// (assembleEngine in the player layer) before init opens the port: the live
// input that routes what is played, the melody, the player threads and the
// style's set-up. Plain function pointers, as the port's hooks; an engine
// without them (the companion tool's) routes nothing and starts no player.
struct EngineParts {
    void (*routeKeyboard)(CLiveInput* input, int status, int d1, int d2) = nullptr;
    void (*route)(CLiveInput* input, int status, int d1, int d2) = nullptr;
    void (*applyStyleEntry)(CLiveInput* input, int entry) = nullptr;
    void (*chordChanged)(CMelody* melody) = nullptr;
    void (*selectPreset)(CMelody* melody, int preset) = nullptr;
    void* (*stylePlayer)(void* engine) = nullptr;
    void* (*songPlayer)(void* engine) = nullptr;
    void (*sendStyleSetup)(CKvSeq& engine) = nullptr;
    // Deletes the live input and the melody, once no thread reaches them.
    void (*release)(CKvSeq& engine) = nullptr;
};

// What the bass transposition remembers across notes: the chord of the last
// bass note on, the last bass pitch and the pitch it was replaced by. One for
// the whole run, shared by everything that transforms style events.
struct BassMemory {
    Chord chord;
    bool hasChord = false;
    int32_t lastPitch = -1;
    int32_t replacedBy = 0;
    void reset() { *this = BassMemory(); }
};

// What a message sent ahead of its moment left behind, so that it can be
// taken back before it sounds.
struct SentEvent {
    int32_t status = 0;
    int32_t d1 = 0; // as sent: transposed
    int32_t d2 = 0;
    int32_t recorded = 0; // its event in the recording, 0 none
    CMidiSequence* recording = nullptr;
};

// What a key of the right hand needs of the engine, in one lock section.
struct MelodyView {
    Chord chord;              // the chord the harmony follows
    bool harmonyAllowed = false; // a style chord with a hand free for the melody
    int32_t harmonyVolume = 70;
    bool recordsMelody = false; // the melody itself goes into the recording
    bool pinned = false;        // the recording's stamp is pinned (unpinRecordTime ends it)
};

// What a settings file sets in the engine.
struct StoredSettings {
    Mixer mixer;
    KeyboardAreas areas;
    AttentionSettings attention;
    RecordingSettings recordState;
    Defaults defaults;
    int32_t transposition = 0;
    int32_t presetIndex = 0;
    int32_t confirmRestart = 0; // 1 pauses at once
};

// What one message of the keyboard needs of the engine: the keyboard areas,
// chord recognition and attention, read together in one lock section.
struct InputView {
    uint8_t inputSuspended = 0;
    int32_t inputMode = 0;
    uint8_t chordFixation = 0;
    int32_t leftVoicesOff = 0;
    KeyboardAreas areas;
    AttentionSettings attention;
};

class CKvSeq : public CAccomp, public CHarmony {
public:
    CKvSeq();
    ~CKvSeq() override;

    void init(int flag);
    // Stops the players, silences the output, ends the input thread and
    // releases the owned objects. No thread of the engine runs afterwards.
    void shutdown();

    // Field access under the engine lock, one field at a time. Outside the
    // engine, set and update serve the tests only: the rest of the arranger
    // changes the records through the operations below.
    template <typename T> T get(const T& field) const
    {
        CLockGuard guard(engineMutex);
        return field;
    }
    template <typename T, typename V> void set(T& field, V value)
    {
        CLockGuard guard(engineMutex);
        field = static_cast<T>(value);
    }
    // Reads, changes and writes a field in one lock section, so that two
    // threads stepping it at once never lose a step; returns the new value.
    template <typename T, typename F> T update(T& field, F change)
    {
        CLockGuard guard(engineMutex);
        field = static_cast<T>(change(field));
        return field;
    }

    // The settable numbers (EngineSettings.h): each changed in one lock
    // section and clamped by its row; a display is told `changes` (kChangeNone:
    // none shows it), and a mixer change wakes a sleeping player so that the
    // groups sound as set at once. They return the value stored; a field
    // without a row is left alone.
    template <typename R> int32_t setSetting(int32_t R::*field, int64_t value, uint32_t changes = kChangeSetting)
    {
        return changeSetting(field, [value](int32_t) { return value; }, changes);
    }
    // `change` maps the value in force to the new one; two threads stepping
    // a number at once never lose a step.
    template <typename R, typename F> int32_t changeSetting(int32_t R::*field, F change, uint32_t changes = kChangeSetting)
    {
        const SettingRow<R>* row = settingRow(field);
        if (!row) return 0;
        int32_t now = 0;
        {
            CLockGuard guard(engineMutex);
            int32_t& stored = recordOf<R>().*field;
            stored = now = row->clamp(change(stored));
        }
        settingChanged<R>(changes);
        return now;
    }
    // A switch flipped between 0 and 1.
    template <typename R> int32_t toggleSetting(int32_t R::*field, uint32_t changes = kChangeSetting)
    {
        return changeSetting(field, [](int32_t v) { return v ? 0 : 1; }, changes);
    }
    template <typename R> int32_t setting(int32_t R::*field) const
    {
        CLockGuard guard(engineMutex);
        return recordOf<R>().*field;
    }
    // A copy of a whole record, read in one lock section.
    template <typename R> R snapshot() const
    {
        CLockGuard guard(engineMutex);
        return recordOf<R>();
    }
    // Every number of a record back to its row's starting value.
    template <typename R> void restoreInitial()
    {
        {
            CLockGuard guard(engineMutex);
            for (const SettingRow<R>& row : settingRows<R>()) row.in(recordOf<R>()) = row.initial;
        }
        settingChanged<R>(kChangeSetting);
    }
    // The preset of preset-voice function `button` (0-3), clamped by its row.
    void setPresetButton(int button, int preset);
    // What a settings file sets: read and installed by loadSettings with the
    // engine lock held; every number is clamped by its row on the way in.
    StoredSettings storedSettingsLocked() const;
    void adoptSettingsLocked(StoredSettings stored);
    void lock() const { pthread_mutex_lock(&engineMutex); }
    void unlock() const { pthread_mutex_unlock(&engineMutex); }

    int isPlaying() const;
    int isSongPlaying() const;
    int isStylePlaying() const;
    // True while what is sent is recorded: an accompaniment with recording
    // on, or a song started to record over.
    bool isRecordingPerformance() const;
    // The song a song-mode function acts on: the one playing, else the one loaded.
    CMidiSequence* loadedSong() const;
    // Something a display shows changed: recorded, and told to whoever
    // listens to `events`.
    void markChanged(uint32_t changes = kChangeSetting);
    // Wakes a sleeping player at once: what it reacts to has changed (a
    // chord, a part or style request, the tempo, a pause, a stop).
    void wakePlayer();
    // Pauses or resumes the players; the new state (1 paused).
    int togglePause();
    int requestStop();
    void sleepMs(int ms);
    int pendingRequest() const;
    void requestPart(int part);
    void selectPart(int part);
    std::string currentPartName() const;
    void presetName(int index, std::string& buffer) const;
    void setTempo(int bpm);
    // Tempo + delta as the player's own choice: the style's tempo events no
    // longer override it. One lock section for the step.
    void stepTempo(int delta);
    void setUserTempo(int bpm);
    void setTransposition(int semitones);
    // Changes the transposition with every sounding note cut first, while
    // every other sender waits, so that no note ends at another pitch than
    // it started. `relative` adds the value to the transposition in force.
    void changeTransposition(int value, bool relative);
    void setTranspositionBusy(int busy);
    void setPresetIndex(int index);
    // Live mode: the keyboard areas decide where what is played goes.
    void enterLiveMode();
    // Incoming MIDI is dropped while suspended (a settings file being read).
    void suspendInput(bool suspended);
    // The chord the harmony follows, handed to nothing else.
    void setCurrentChord(const Chord& chord);
    // The chord a start of the style plays: the one in force, or none (the
    // drums alone until a chord is played).
    void prepareStyleStart(bool keepChord);
    int toggleChordFixation();
    int toggleMinorPedal();
    // The attention trigger becomes key `note`, inactive until it is pressed.
    void setAttentionKey(int note);
    // A fill repeated while its key is held; the Main a fill returns to.
    void setRepeatFill(bool repeat);
    void setReturnPart(int part);
    // The registration applied when its style is selected; -1 none.
    void setPendingRegistration(int entry);
    // The bars a song plays (0: from its start, to its end), looped or not;
    // dropSongRange plays the song on from where it is.
    void setSongRange(int startBar, int endBar, bool loop);
    void dropSongRange();

    // The players' side of the play state.
    // The style player begins: the chord played so far becomes the
    // accompaniment's; returns the style to play.
    CStyle* beginStyleRun();
    // The accompaniment takes up the chord in force, and a display hears of
    // it; returns the chord.
    Chord adoptCurrentChord();
    void setPlayingStyle(CStyle* style);
    void setLastBeat(int beat);
    // True once after the set-up was asked to be sent again.
    bool takeSetupResend();
    void clearPartRequests();
    void setSongPosition(int64_t position);
    // The style player has ended: the stop is done, and with confirm restart
    // the next start waits for the pause function.
    void styleRunEnded();
    // The recording taken out of the engine: nothing records into it any more.
    CMidiSequence* takeRecording();
    // The song's recording (nullptr when the song was not recorded over),
    // taken out of the engine; recording over the song ends.
    CMidiSequence* takeSongRecording();
    // The song player has ended: no song plays, the stop is done, and
    // whoever listens hears of it.
    void songRunEnded();
    // Installs a chord recognised on the keyboard (minor pedal applied).
    void setChord(int root, int type, int bass);
    // Installs a free-form chord as it is.
    void setFreeChord(const Chord& chord);
    void setChordRecognition(int off);
    // Sends a played message (transposed, recorded while a performance is);
    // `dueUs` >= 0 queues it for that moment (see CMidiPort::send).
    SentEvent sendEvent(int status, int d1, int d2, int64_t dueUs = -1);
    // Undoes what a message taken back from the queue left: the port's
    // memory of its note and its event in the recording. A note whose end
    // was taken back sounds on, unless `endStillSounds` is false (every
    // note was cut).
    void takeBackEvent(const SentEvent& sent, bool endStillSounds);
    // Returns the event recorded, 0 when nothing was; `into` gets the
    // recording it went into.
    int recordEvent(int status, int d1, int d2, int extra, std::string_view text, CMidiSequence** into = nullptr);
    // Puts a sequence into table entry `id` (a style into its style slot too)
    // and deletes the one it replaces, unless a player or the recording still
    // uses that one. `asRecording` also makes it the sequence being recorded.
    void installSequence(int id, CMidiSequence* sequence, bool asRecording = false);
    void createRecordSequence(int id);
    // The next recording: numbered, created as the sequence recorded into
    // and named "0001-<title>-<preset>"; returns its sequence id.
    int createNumberedRecording(std::string_view title);
    void createStyleSlot(int slot);
    // Reads a style into a slot (-2: the slot not in use) and selects it, or
    // leaves it for the running style player to switch to at the next bar.
    // Returns the slot; -1 when the bytes are no style (the slot is left
    // empty); -2 when nothing was loaded (a switch is pending, or the slot
    // holds the style being played).
    int loadStyle(int slotRequest, const uint8_t* data, int size, std::string_view name);
    void selectStyleSlot(int slot);
    // Starts the style player with the current part of the current style;
    // does nothing while paused, while a player runs or when the part is
    // not in the style. 0 when started.
    int startStylePlayer();
    // Plays a song on the song player thread: from the first beat of
    // startBar (0: bar 1) to the end of endBar (0: to the end), in a loop
    // when loop is 1; record >= 1 records the performance over it, with a
    // click when click is 1. 1 and nothing done while a player runs.
    int startSongPlayer(CMidiSequence* song, int startBar, int endBar, int loop, int record, int click);
    // The song from its beginning, recorded over with a click when
    // recording is on.
    int playSong(CMidiSequence* song);
    // Asks the player that runs to stop and waits until it has ended.
    void stopAndWait();
    // Sends the current style's set-up events and the channel defaults.
    void sendStyleSetup();
    // Hands a finished recording to whoever saves it (the application). The
    // caller has taken it out of recordSequence, so nothing records into it
    // while it is saved.
    void saveRecording(CMidiSequence* finished);
    // Humanisation repeats exactly from a fixed seed; 0 seeds with the time
    // at every start of the style player.
    void seedRandom(uint32_t seed);
    void processInput(int status, int d1, int d2);
    InputView inputView() const;
    // The position played moves with the clock between the player's steps:
    // the player sets it with the rate it moves at (units per minute, 0
    // standing) and the position it may not pass before its next step.
    void setPlayPosition(int64_t position, int64_t limit, int64_t unitsPerMinute);
    int64_t playPosition() const;
    // The melody's view. Pinned while a performance is recorded, everything
    // recorded until unpinRecordTime is stamped with the position of this
    // moment, so the notes of one key land together.
    MelodyView melodyView(bool pinRecordTime = false);
    void unpinRecordTime();
    CStyle* currentStyle() const;
    // What the sequence readers and the writer take from the engine.
    SequenceOptions sequenceOptions() const;

    // Owned objects and tables.
    CMidiPort* port = nullptr;
    CLiveInput* liveInput = nullptr;
    CMelody* melody = nullptr;
    CClock* clock = nullptr;
    CSettingsStore* settingsStore = nullptr;
    CMidiSequence* sequences[kSequenceCount] = {};
    CStyle* styles[2] = {};
    int32_t currentStyleSlot = 0;
    int32_t pendingStyleSlot = 0;
    Preset presets[kPresetCount];
    CMidiSequence* recordSequence = nullptr;
    int32_t recordLastEvent = 0;
    int32_t recordCount = -1;
    std::string styleName;
    std::string baseFolder;

    // The engine's state, record by record.
    PlayState play;
    Mixer mixer;
    KeyboardAreas areas;
    AttentionSettings attention;
    SongSettings songState;
    RecordingSettings recordState;
    Defaults defaults;

    // Humanisation and the bass transposition: used by the style player
    // thread (and the tools), never by two threads at once.
    CRandom random;
    uint32_t fixedSeed = 0;
    // The style player queues its messages ahead on the real clock only,
    // unless this is set (a test of the queue on the manual clock).
    bool styleQueueOnManualClock = false;
    BassMemory bassMemory;
    ApplicationHooks hooks;
    EngineParts parts;
    CEngineEvents events;

    uint8_t stateChanged = 0;
    CApplication* application = nullptr;
    std::string midiInName;
    std::string midiOutName;

    mutable pthread_mutex_t engineMutex;
    // Makes "read the transposition, send the note" one step against a
    // transposition change; held for one message at a time.
    pthread_mutex_t sendGate;
    // Held while a player thread (style or song) is started or joined.
    pthread_mutex_t playerStartMutex;
    pthread_t playerThread{};
    bool playerStarted = false;

private:
    template <typename R> const R& recordOf() const
    {
        if constexpr (std::is_same_v<R, PlayState>) return play;
        else if constexpr (std::is_same_v<R, Mixer>) return mixer;
        else if constexpr (std::is_same_v<R, KeyboardAreas>) return areas;
        else if constexpr (std::is_same_v<R, AttentionSettings>) return attention;
        else if constexpr (std::is_same_v<R, SongSettings>) return songState;
        else if constexpr (std::is_same_v<R, RecordingSettings>) return recordState;
        else return defaults;
    }
    template <typename R> R& recordOf() { return const_cast<R&>(std::as_const(*this).template recordOf<R>()); }
    template <typename R> void settingChanged(uint32_t changes)
    {
        if (changes) markChanged(changes);
        if constexpr (std::is_same_v<R, Mixer>) wakePlayer();
    }
    // A style replaced in its slot lives on until the next replacement, so
    // that a function that has just read the slot never reads freed memory.
    CMidiSequence* retiredStyle = nullptr;
    void releaseOwned();
    bool recordingPerformanceLocked() const; // engineMutex held
    int64_t positionNowLocked() const;        // engineMutex held
    // Waits for the last player thread to have ended completely; called
    // with playerStartMutex held.
    void joinPlayerLocked();
    void joinPlayer();
    // Starts a player thread; ends the process when the system cannot.
    void createPlayerThread(void* (*entry)(void*));
    // Hands currentChord to the accompaniment unless the running style player
    // takes it over itself.
    void handChordOver(bool evenWhilePaused);
};
