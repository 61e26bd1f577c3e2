#pragma once
// The engine's state, record by record, and for each record the table of its
// settable numbers: a row names a field, the range that the code using the
// field can take and the value the field starts with. Whatever sets a number
// from outside the engine (the settings file, the functions, the console, the
// tools) goes through the field's row: CKvSeq::setSetting and changeSetting
// clamp by it. A new setting is a field here, a row in its record's table and,
// where it means more than a number, an operation of CKvSeq.
#include "chords/Chord.h"
#include "chords/ChordRecognition.h"
#include "engine/Preset.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

class CMidiSequence;
class CStyle;

constexpr int kLiveMode = 4; // the input mode in which the keyboard areas decide

// The play state: what plays, what is asked of the players and where they are.
struct PlayState {
    CStyle* playingStyle = nullptr;
    CMidiSequence* playingSong = nullptr;
    uint8_t stopRequest = 0;
    uint8_t setupResend = 0; // the style player sends the style's set-up before its next event
    uint8_t inputSuspended = 0;
    uint8_t paused = 0;
    int32_t confirmRestart = 0;
    int32_t inputMode = 0;
    int32_t currentPart = 1;
    int32_t fillRequest = 0;
    int32_t partRequest = 0;
    int32_t returnPart = 0;
    uint8_t repeatFill = 0;
    // The position played: 480 per quarter note while a style plays;
    // thousandths of the song's ticks while a song plays.
    int64_t songPosition = 0;
    int32_t lastBeat = 0;
    int64_t recordTime = -1; // the stamp of what is recorded now, in songPosition's units; -1: the position played
    int64_t positionAnchorUs = 0; // when songPosition was set by the player
    int64_t positionLimit = 0;
    int64_t positionRate = 0;     // units per minute; 0: songPosition stands
    int32_t tempo = 120;
    int32_t userTempo = 0;
    int32_t blockTempo = 0;
    // For the benchmark: the style player's wait as a plain 1 ms poll with
    // millisecond budgets and a millisecond clock. Read when the player starts.
    int32_t plainMillisecondWait = 0;
    int32_t transposition = 0;
    uint8_t transpositionBusy = 0;
    Chord currentChord;
    Chord accompChord;
    uint8_t minorPending = 0;
    uint8_t chordFixation = 0;
    int32_t presetIndex = 0;
    int32_t activePreset = -1; // the registration waiting for its style; -1 none
};

// The mixer: the groups' levels and switches, the humanisation amounts.
struct Mixer {
    int32_t accompVolume = 100;
    int32_t drumsVolume = 100;
    int32_t bassVolume = 100;
    int32_t otherVolume = 100;
    int32_t melodyVolume = 100;
    int32_t leftVolume = 100;
    int32_t harmonyVolume = 70;
    int32_t drumsOff = 0;
    int32_t bassOff = 0;
    int32_t otherOff = 0;
    int32_t leftVoicesOff = 0;
    int32_t velocityVariety = 0;
    int32_t pitchVariety = 0;
    int32_t bassVariety = 0;
};

// The keyboard areas and chord recognition.
struct KeyboardAreas {
    int32_t chordMethod = 0;
    int32_t splitKey = -1;
    int32_t splitChannel = -1;
    int32_t highestChordKey = 54;
    int32_t chordChannel = 0;
    int32_t metronomeChannel = 9;
    int32_t syncStop = 0;
    int32_t chordRecognitionOff = 0;
    int32_t velocitySelectsMain = 0;
    int32_t programChangeSelectsPreset = 0;
    int32_t chordFixationController = 0;
};

// Attention and the keyboard menu.
struct AttentionSettings {
    int32_t attentionEnabled = 0;
    int32_t attentionChannel = 2;
    int32_t attentionTrigger = 0; // note number + 1, 0 = none
    int32_t attentionActive = 1;
    int32_t attentionReserve = 3;
};

// Song playback.
struct SongSettings {
    int32_t playMode = 0;
    int32_t barLoop = 0;
    int32_t songStartBar = 0;
    int32_t songEndBar = 0;
    int32_t songLoop = 0;
    int32_t songBassChannel = 2;
    int32_t songRecord = 0;
    int32_t songClick = 0;
    int32_t songPassLimit = 0; // a looping range ends after this many passes; 0: until stopped
};

// Recording.
struct RecordingSettings {
    int32_t recording = 0;
    int32_t recordKeepTracks = 0;
    int32_t recordChordsSeqSpecific = 0;
};

// What the sound generator and the styles start from.
struct Defaults {
    int32_t bankMsb = 0;
    int32_t bankLsb = 0;
    int32_t styleBankSelect = 0;
    int32_t defaultModulation = 0;
    int32_t defaultVolume = 100;
    int32_t defaultPan = 64;
    int32_t defaultReverb = 40;
    int32_t defaultChorus = 0;
    int32_t levelMode = 2;
    int32_t targetVolume = 100;
    int32_t targetVelocity = 100;
    int32_t styleSysEx = 1;
    int32_t presetButtons[4] = {};
};

// A settable number of record R: its field (for an element of a list, which
// no pointer to member reaches, a function that finds it), the range the code
// that uses it takes, and its starting value.
template <typename R> struct SettingRow {
    const char* name;
    int32_t R::*field;
    int32_t low, high, initial;
    int32_t& (*element)(R&) = nullptr;

    constexpr int32_t& in(R& r) const { return field ? r.*field : element(r); }
    constexpr int32_t clamp(int64_t v) const { return static_cast<int32_t>(std::clamp<int64_t>(v, low, high)); }
};

template <int N> constexpr int32_t& presetButton(Defaults& d) { return d.presetButtons[N]; }

namespace settingrange {
constexpr int32_t kVolume = 200;   // percent of the level the music brings
constexpr int32_t kVariety = 10;   // humanisation steps
constexpr int32_t kValue = 127;    // a MIDI data byte: a key, a controller value
constexpr int32_t kLastChannel = 15;
constexpr int32_t kWord = 32767;   // a word of the settings file
constexpr int32_t kAny = std::numeric_limits<int32_t>::max();
} // namespace settingrange

// Only the numbers that are set from outside the engine; the rest of the
// play state is the players' and the engine's own.
inline constexpr SettingRow<PlayState> kPlayRows[] = {
    {"tempo", &PlayState::tempo, 10, 250, 120},
    {"userTempo", &PlayState::userTempo, 0, 250, 0}, // 0: the style's tempo events rule
    {"blockTempo", &PlayState::blockTempo, 0, 1, 0},
    // Beyond 127 semitones every pitched note lands on 0 or 127. The
    // transposition functions step it without this bound.
    {"transposition", &PlayState::transposition, -settingrange::kValue, settingrange::kValue, 0},
    {"presetIndex", &PlayState::presetIndex, 0, kPresetCount - 1, 0},
    {"confirmRestart", &PlayState::confirmRestart, 0, 1, 0},
    {"inputMode", &PlayState::inputMode, 0, kLiveMode, 0},
    {"plainMillisecondWait", &PlayState::plainMillisecondWait, 0, 1, 0},
};

inline constexpr SettingRow<Mixer> kMixerRows[] = {
    {"accompVolume", &Mixer::accompVolume, 0, settingrange::kVolume, 100},
    {"drumsVolume", &Mixer::drumsVolume, 0, settingrange::kVolume, 100},
    {"bassVolume", &Mixer::bassVolume, 0, settingrange::kVolume, 100},
    {"otherVolume", &Mixer::otherVolume, 0, settingrange::kVolume, 100},
    {"melodyVolume", &Mixer::melodyVolume, 0, settingrange::kVolume, 100},
    {"leftVolume", &Mixer::leftVolume, 0, settingrange::kVolume, 100},
    {"harmonyVolume", &Mixer::harmonyVolume, 0, settingrange::kVolume, 70},
    {"drumsOff", &Mixer::drumsOff, 0, 1, 0},
    {"bassOff", &Mixer::bassOff, 0, 1, 0},
    {"otherOff", &Mixer::otherOff, 0, 1, 0},
    {"leftVoicesOff", &Mixer::leftVoicesOff, 0, 1, 0},
    {"velocityVariety", &Mixer::velocityVariety, 0, settingrange::kVariety, 0},
    {"pitchVariety", &Mixer::pitchVariety, 0, settingrange::kVariety, 0},
    {"bassVariety", &Mixer::bassVariety, 0, settingrange::kVariety, 0},
};

inline constexpr SettingRow<KeyboardAreas> kAreaRows[] = {
    {"chordMethod", &KeyboardAreas::chordMethod, kFullFingered, kFreeForm, kFullFingered},
    {"splitKey", &KeyboardAreas::splitKey, -1, settingrange::kValue, -1}, // -1: no split area
    {"splitChannel", &KeyboardAreas::splitChannel, -1, settingrange::kLastChannel, -1}, // -1: the split key decides
    {"highestChordKey", &KeyboardAreas::highestChordKey, -1, settingrange::kValue, 54}, // -1: no chord area
    {"chordChannel", &KeyboardAreas::chordChannel, 0, 16, 0}, // channel + 1; 0: any
    {"metronomeChannel", &KeyboardAreas::metronomeChannel, 0, settingrange::kLastChannel, 9},
    {"syncStop", &KeyboardAreas::syncStop, 0, 1, 0},
    {"chordRecognitionOff", &KeyboardAreas::chordRecognitionOff, 0, 1, 0},
    {"velocitySelectsMain", &KeyboardAreas::velocitySelectsMain, 0, 1, 0},
    {"programChangeSelectsPreset", &KeyboardAreas::programChangeSelectsPreset, 0, 1, 0},
    {"chordFixationController", &KeyboardAreas::chordFixationController, 0, 128, 0}, // controller + 1; 0: none
};

inline constexpr SettingRow<AttentionSettings> kAttentionRows[] = {
    {"attentionEnabled", &AttentionSettings::attentionEnabled, 0, 1, 0},
    {"attentionChannel", &AttentionSettings::attentionChannel, 0, 16, 2}, // channel + 1; 0: any
    {"attentionTrigger", &AttentionSettings::attentionTrigger, 0, 128, 0}, // note + 1; 0: none
    {"attentionActive", &AttentionSettings::attentionActive, 0, 1, 1},
    // Kept for the editor, never read: any word of the file.
    {"attentionReserve", &AttentionSettings::attentionReserve, -settingrange::kWord - 1, settingrange::kWord, 3},
};

inline constexpr SettingRow<SongSettings> kSongRows[] = {
    {"playMode", &SongSettings::playMode, 0, 2, 0}, // 0 style, 1 and 2 song
    {"barLoop", &SongSettings::barLoop, 0, 1, 0},
    {"songStartBar", &SongSettings::songStartBar, 0, settingrange::kAny, 0}, // 0: from the start
    {"songEndBar", &SongSettings::songEndBar, 0, settingrange::kAny, 0},     // 0: to the end
    {"songLoop", &SongSettings::songLoop, 0, 1, 0},
    {"songBassChannel", &SongSettings::songBassChannel, 0, settingrange::kLastChannel, 2},
    {"songRecord", &SongSettings::songRecord, 0, 1, 0},
    {"songClick", &SongSettings::songClick, 0, 1, 0},
    {"songPassLimit", &SongSettings::songPassLimit, 0, settingrange::kAny, 0},
};

inline constexpr SettingRow<RecordingSettings> kRecordingRows[] = {
    {"recording", &RecordingSettings::recording, 0, 1, 0},
    {"recordKeepTracks", &RecordingSettings::recordKeepTracks, 0, 1, 0},
    {"recordChordsSeqSpecific", &RecordingSettings::recordChordsSeqSpecific, 0, 1, 0},
};

inline constexpr SettingRow<Defaults> kDefaultsRows[] = {
    {"bankMsb", &Defaults::bankMsb, 0, settingrange::kValue, 0},
    {"bankLsb", &Defaults::bankLsb, 0, settingrange::kValue, 0},
    {"styleBankSelect", &Defaults::styleBankSelect, 0, 2, 0},
    {"defaultModulation", &Defaults::defaultModulation, 0, settingrange::kValue, 0},
    {"defaultVolume", &Defaults::defaultVolume, 0, settingrange::kValue, 100},
    {"defaultPan", &Defaults::defaultPan, 0, settingrange::kValue, 64},
    {"defaultReverb", &Defaults::defaultReverb, 0, settingrange::kValue, 40},
    {"defaultChorus", &Defaults::defaultChorus, 0, settingrange::kValue, 0},
    {"levelMode", &Defaults::levelMode, 0, 2, 2},
    {"targetVolume", &Defaults::targetVolume, 0, settingrange::kValue, 100},
    {"targetVelocity", &Defaults::targetVelocity, 0, settingrange::kValue, 100},
    {"styleSysEx", &Defaults::styleSysEx, 0, 1, 1},
    // The presets of the four preset-voice functions; -1: none.
    {"presetButton1", nullptr, -1, kPresetCount - 1, 0, &presetButton<0>},
    {"presetButton2", nullptr, -1, kPresetCount - 1, 0, &presetButton<1>},
    {"presetButton3", nullptr, -1, kPresetCount - 1, 0, &presetButton<2>},
    {"presetButton4", nullptr, -1, kPresetCount - 1, 0, &presetButton<3>},
};

template <typename R> constexpr std::span<const SettingRow<R>> settingRows();
template <> constexpr std::span<const SettingRow<PlayState>> settingRows<PlayState>() { return kPlayRows; }
template <> constexpr std::span<const SettingRow<Mixer>> settingRows<Mixer>() { return kMixerRows; }
template <> constexpr std::span<const SettingRow<KeyboardAreas>> settingRows<KeyboardAreas>() { return kAreaRows; }
template <> constexpr std::span<const SettingRow<AttentionSettings>> settingRows<AttentionSettings>() { return kAttentionRows; }
template <> constexpr std::span<const SettingRow<SongSettings>> settingRows<SongSettings>() { return kSongRows; }
template <> constexpr std::span<const SettingRow<RecordingSettings>> settingRows<RecordingSettings>() { return kRecordingRows; }
template <> constexpr std::span<const SettingRow<Defaults>> settingRows<Defaults>() { return kDefaultsRows; }

// The row of a field; null for a number of the play state that is not set
// from outside (a field of the other records always has one).
template <typename R> constexpr const SettingRow<R>* settingRow(int32_t R::*field)
{
    for (const SettingRow<R>& row : settingRows<R>())
        if (field && row.field == field) return &row;
    return nullptr;
}

// Every number of `r` brought into its row's range.
template <typename R> constexpr void clampToRows(R& r)
{
    for (const SettingRow<R>& row : settingRows<R>()) row.in(r) = row.clamp(row.in(r));
}
