#pragma once
// What binds the keyboard to functions: trigger codes, the menu sets that the
// keys address while attention is on, and the registrations (style entries)
// that a menu entry loads. The settings file fills them; trigger matching and
// the menu run on the MIDI input thread.
#include "chords/ChordRecognition.h" // kClusterCodeBase: keys n, n+1, n+2 as the lowest chord keys

#include <cstdint>
#include <string>

// Trigger codes: one integer for a message kind and number.
constexpr int kNoteCodeBase = 1;          // note n: n + 1
constexpr int kControllerCodeBase = 129;  // controller c: c + 129
constexpr int kProgramCodeBase = 257;     // program p: p + 257

constexpr int kTriggerCount = 200;        // 0-78 functions, 100-198 preset buttons
constexpr int kPresetButtonBase = 100;
constexpr int kAfterAttention = 17;       // channel condition: any channel, only after attention
constexpr int kMenuKeyCount = 128;
constexpr int kLowestMenuKey = 36;        // menu key k is note k + 36
constexpr int kDebounceMs = 100;

// What a menu entry does.
enum MenuEntryType : int32_t {
    kEntryEmpty = 0,
    kEntryFunction = 1,
    kEntryPreset = 2,
    kEntryChord = 3,
    kEntryNote = 4,
    kEntryMidiText = 5,
    kEntryStyle = 6,
    kEntrySubMenu = 7,
};

struct TriggerEntry {
    int32_t type = kEntryEmpty;
    // By type: function number; preset number; chord root, type and bass;
    // note number; style entry index; nested set index.
    int32_t values[3] = {0, 0, -1};
    std::string label;
    std::string label2;
    std::string pressText;   // MIDI hex bytes
    std::string releaseText;
};

struct TriggerSet {
    int32_t attribute = 0; // 1: autoreturn, the menu climbs back after an entry is carried out
    TriggerEntry entries[kMenuKeyCount];
};

// Values of a style entry at or below this leave the setting unchanged.
constexpr int kEntryUnchanged = -500;

// The seventeen values of a style entry.
enum StyleEntryValue : int {
    kValueTempo = 0,
    kValuePreset = 1, // also preset button 1; buttons 2-4 follow
    kValueTransposition = 5,
    kValueDrumsOff = 6,
    kValueDrumsVolume = 7,
    kValueBassOff = 8,
    kValueBassVolume = 9,
    kValueOtherOff = 10,
    kValueOtherVolume = 11,
    kValueLeftOff = 12,
    kValueLeftVolume = 13,
    kValueAccompVolume = 14,
    kValueMelodyVolume = 15,
    kStyleEntryValues = 17,
};

// A registration: a style or MIDI file to load and the keyboard set-up to
// apply once the loaded style is selected.
struct StyleEntry {
    int32_t kind = 0; // 0 style file, anything else a MIDI file (becomes playMode)
    std::string fileName;
    std::string text2;
    std::string partName; // "*..." selects no part
    int32_t values[kStyleEntryValues];
    std::string text4;
    int32_t keptValues[2] = {};
    std::string text5;
    int32_t entrySplitKey = kEntryUnchanged - 1000;
    int32_t entryHighestChordKey = kEntryUnchanged - 1000;
    StyleEntry()
    {
        for (int32_t& v : values) v = kEntryUnchanged;
    }
};

// What carrying out a menu entry hands back to the caller: a registration's
// kind and file, to be loaded (kind -1: nothing to load).
struct MenuResult {
    bool carriedOut = false;
    int32_t kind = -1;
    std::string fileName;
    std::string text2;
};
