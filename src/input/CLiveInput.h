#pragma once
// Live input: decides what each message played into the arranger is for
// (trigger, menu key, slider, chord area, split area, left hand, melody or
// plain pass-through), keeps the chord-recognition state and runs the
// functions. Its own members are touched under inputMutex, which routing and
// functions called from other threads take; engine fields are touched one at
// a time under the engine lock.
#include "chords/Chord.h"
#include "chords/HeldKeyList.h"
#include "engine/CKvSeq.h"
#include "input/FunctionCatalogue.h"
#include "input/Triggers.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string_view>
#include <vector>

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
    ~CLiveInput();
    CLiveInput(const CLiveInput&) = delete;
    CLiveInput& operator=(const CLiveInput&) = delete;

    // One message played into the arranger, on the MIDI input thread:
    // dropped while input is suspended, passed straight on before live mode.
    void routeKeyboard(int status, int d1, int d2);
    // One message in live mode.
    void route(int status, int d1, int d2);
    bool matchSlider(int status, int d1, int d2);
    void handleNote(int status, int note, int velocity);

    // Keeps heldChordKeys: a note on appends the key if absent, a note off removes it.
    void updateHeldKeys(int status, int note, int velocity);
    // Turns the held keys into a chord with the engine's method and installs it.
    void recogniseChord();

    // The routing rules for one note, from the area settings alone.
    static NoteRoute decideRoute(const AreaSettings& areas, int channel, int note);

    // Functions (FunctionCatalogue.cpp). executeFunction runs on the thread
    // that routes (inputMutex held); callFunction is the door for any other
    // thread. Both return 1 for Exit menu, else 0.
    int executeFunction(int id, int action);
    int callFunction(int id, int action);
    // kind 0 the named part, 1 a Fill In first and then the named Main,
    // 2 the named fill repeated while its key is held.
    void selectVariation(std::string_view name, int kind, int action);
    // The part of the current style that a part name means; 0 = none.
    int findPartByName(std::string_view name) const;
    // Sends controller 7 again so the accompaniment follows the mixer at
    // once: group 0 all, 1 drums, 2 bass, 3 other.
    void resendGroupVolumes(int group);
    // Cuts what sounds on a group's channels: 1 drums, 2 bass, 3 other, 9 all.
    void silenceGroup(int group);
    // Applies registration `index` to the style just selected; safe on the
    // style player thread, which runs it at a style switch.
    void applyStyleEntry(int index);

    // Triggers, attention and menus (Triggers.cpp).
    bool matchTrigger(int status, int d1, int d2);
    // Menu key k of the current set; a release only acts for a note or a
    // MIDI text entry.
    MenuResult executeMenuEntry(int k, bool release);
    void exitMenu();
    // Prepares registration `index` for loading and hands back its file.
    void triggerStyleEntry(int index, MenuResult& result);
    // The same from any other thread.
    void callStyleEntry(int index, MenuResult& result);
    // Carries out, in table order, every trigger entry bound to `code` (the
    // key clusters of chord recognition).
    void runTriggerCode(int code);

    pthread_mutex_t inputMutex;
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

    // The function catalogue, index = id.
    std::vector<FunctionInfo> functions;
    // Requests to a lyrics view, read by a display on a thread of its own.
    std::atomic<int32_t> lyricsMaximized{0};
    std::atomic<int32_t> lyricsBigFont{0};
    std::atomic<int32_t> lyricsScroll{0};
    int64_t lastTapTime = 0; // ms of the engine clock
    int32_t lastTapInterval = 0;

    // Trigger table: entry i is function i (0-78) or preset button i - 100
    // (100-198); code 0 = no trigger; channel 0 any, 1-16 that one,
    // 17 any but only after attention.
    // Written through setTrigger, which keeps the index by code up to date.
    int32_t triggerCodes[kTriggerCount] = {};
    int32_t triggerChannels[kTriggerCount] = {};
    void setTrigger(int entry, int code, int channel);
    // Rebuilds the index after the table was written as a whole.
    void indexTriggers();
    // 0 none; 1 attention called from a controller or program change (until
    // the next function); 2 from a key (until it is released).
    int32_t attentionContext = 0;
    int64_t lastControlTriggerTime = -(int64_t{1} << 40); // ms; long ago
    std::vector<TriggerSet> triggerSets; // set 0 is the root, always present
    int32_t currentSet = 0;
    std::vector<int32_t> setStack;       // the open sets, the current one on top
    std::vector<StyleEntry> styleEntries;
    // The order the editor shows the functions in, and its inverse; kept.
    int32_t functionOrder[kFunctionCount] = {};
    int32_t functionOrderInverse[kFunctionCount] = {};
    // Kept from the registration triggered last.
    std::string entryText4;
    std::string entryText5;
    int32_t entryKeptValues[2] = {};

private:
    friend struct FunctionEffects;
    // Where the press of a key went, so that its release goes there too,
    // whatever changed in between (attention, tables, areas).
    enum PressTarget : int32_t {
        kPressRouted = 0,             // routing (melody, chord area, ...), or never seen
        kPressAttention = 1,          // the attention trigger
        kPressTrigger = 2,            // + trigger entry
        kPressMenu = 2 + kTriggerCount, // + set * 128 + menu key
    };
    int32_t& pressTarget(int channel, int note) { return pressTargets[channel & 15][note & 127]; }
    // A release that its press decides; true when it is used up here.
    bool releaseAsPressed(int note, int32_t target);
    // The first trigger entry bound to `code` whose channel condition holds; -1 none.
    int findTrigger(int code, int channel) const;
    int runFunction(int id, int action);
    void routeLocked(int status, int d1, int d2);
    // recogniseChord with the view of the message being routed.
    void recogniseHeld();
    // The engine's fields one message needs, read when the message arrives
    // and again after a function ran.
    InputView view;
    // The trigger table by code: the first entry of each code (-1 none) and
    // the next entry with the same code, in entry order. Codes a message can
    // make are below the limit; others never match.
    static constexpr int kTriggerCodeLimit = 1024;
    int16_t triggerFirst[kTriggerCodeLimit];
    int16_t triggerNext[kTriggerCount];
    // The engine's attention mechanism: 1 a menu key, -1 the attention
    // trigger, 0 neither (the trigger table comes next).
    int attention(int code, bool isKey, bool press, int channel, int d1);
    // A controller the arranger took: a pedal the sound generator still holds
    // from before is let go, so nothing it held hangs.
    void releasePedal(int channel, int controller);
    void rememberPedal(int channel, int controller, int value);
    void runMenuEntry(int set, int k, bool release, MenuResult& result);
    void stepVariation(int direction);
    void requestAndSelect(int part);
    void startStop();
    void changeSetting(int which, int delta);

    int32_t pressTargets[16][128] = {};
    int32_t lastMenuPress = -1;           // set * 128 + key of the entry a press just carried out
    uint8_t pedalHeld[16][6] = {};        // controllers 64-69 held on at the sound generator

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
