#pragma once
// The settings file (vtn.cfg): a musician's whole set-up. It is decoded into a
// SettingsRecord first, without touching the arranger, so that a file refused
// halfway leaves everything as it was; applySettings then hands the record to
// the engine, the live input and the port. The companion tool reads and writes
// the same record, and the writer serves the tests and the demo set-up.
#include "engine/Preset.h"
#include "input/Triggers.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CKvSeq;
struct SequenceOptions;

constexpr int kSettingsVersion = 13;         // the version the writer writes
constexpr size_t kSettingsMaxBytes = 4 << 20; // far above any real set-up
constexpr int kBlockAWords = 18;
constexpr int kBlockBWords = 242;            // 240 fixed words and two optional ones
constexpr int kFunctionOrderWords = 77;
constexpr int kInputSlots = 20;
// Limits against hostile files: a real menu is a few levels deep.
constexpr int kMaxTriggerSets = 512;
constexpr int kMaxTriggerDepth = 32;
constexpr int kMaxStyleEntries = 4096;
constexpr int kMaxListItems = 32767;
constexpr int kEmbeddedPresetsMaxBytes = 100000;

// Words of block A, by position.
enum BlockAWord : int {
    kAOutputPort = 1, // default output port number (0 None, 1 kvSynth, 2.. writable ports)
    kATransposition = 2,
    kADrumsOff = 3,   // kept, not read
    kADrumsVolume = 4,
    kABassOff = 5,    // kept, not read
    kABassVolume = 6,
    kAOtherOff = 7,   // kept, not read
    kAOtherVolume = 8,
    kALeftVoicesOff = 9,
    kALeftVolume = 10,
    kAAccompVolume = 11,
    kAMelodyVolume = 12,
    kAChordFixationController = 13,
    kAChordMethod = 14,
    kALevelMode = 15,
    kASplitKey = 16,
    kAConfirmRestart = 17,
};

// Words of block B, by position.
enum BlockBWord : int {
    kBPresetIndex = 0,
    kBStyleBankSelect = 1,
    kBTargetVolume = 3,
    kBProgramChangeSelectsPreset = 4,
    kBTargetVelocity = 5,
    kBKept6 = 6,
    kBHighestChordKey = 7,
    kBChordChannel = 8,
    kBFunctionSetting = 9,
    kBKept10 = 10,
    kBUnused11 = 11,
    kBDefaultModulation = 12,
    kBDefaultVolume = 13,
    kBDefaultPan = 14,
    kBDefaultReverb = 19,
    kBDefaultChorus = 20,
    kBPresetButtons = 21, // four words
    kBSliders = 25,       // six pairs: controller + 1, channel
    kBTriggers = 37,      // trigger table entries 0-99: code, channel
    kBRecordKeepTracks = 237,
    kBHarmonyVolume = 238,
    kBStyleSysEx = 239,
    kBKept240 = 240,      // version 5 on; default 1
    kBSeqSpecificChords = 241, // version 12 on
};

struct SettingsRecord {
    std::string header = "Veltrona configuration file";
    int32_t version = kSettingsVersion;
    int32_t editorFlag = 0; // version 4 on
    int32_t blockA[kBlockAWords] = {};
    // As the arranger resolves them: folders end in their separator, and a
    // start style without a folder has the style folder in front.
    std::string styleFolder = "Styles/";
    std::string secondFolder;
    std::string startStyle;
    int32_t blockB[kBlockBWords] = {};
    // Entries 100-198 of the trigger table (entries 0-99 are in block B).
    int32_t upperTriggers[99][2] = {};
    // Set 0 is the root; a type-7 entry names a later set, a type-6 entry a
    // style entry.
    std::vector<TriggerSet> triggerSets{TriggerSet{}};
    std::vector<StyleEntry> styleEntries;
    bool hasFunctionOrder = false; // version 6 on
    int32_t functionOrder[kFunctionOrderWords] = {};
    // Version 6 and before keep the presets as a MIDI file; it stays with the
    // engine as sequence 99, the presets are taken from it.
    std::vector<uint8_t> embeddedPresets;
    std::vector<Preset> presets; // always kPresetCount
    int32_t channelPorts[16] = {};
    int32_t bankMsb = 0;
    int32_t bankLsb = 0;
    int32_t chordRecognitionOff = 0;
    int32_t splitChannel = -1; // none: the split area is decided by the split key
    int32_t inputFlags[kInputSlots] = {};
    int32_t velocityVariety = 0;
    int32_t pitchVariety = 0;
    int32_t bassVariety = 0;
    int32_t attentionEnabled = 0;
    int32_t attentionChannel = 2;
    int32_t attentionTrigger = 0;
    int32_t attentionReserve = 3;
    std::vector<std::array<int16_t, 13>> records13;
    std::vector<std::array<int16_t, 6>> records6;
    std::vector<int16_t> integers;
    std::vector<std::string> texts;

    SettingsRecord();
};

// A layer of a free preset slot.
PresetLayer emptyLayer(int layer);

struct SettingsProblem {
    size_t offset = 0;   // where in the file
    std::string what;    // empty: none
    explicit operator bool() const { return !what.empty(); }
};

// Decodes a whole file. `baseFolder` goes before the default folders and
// before bare file names of registrations. The embedded presets of old files
// are read with `options`. Values the arranger cannot take are clamped; a
// file that is not a settings file, is cut short or oversteps the limits
// above is refused: the problem says where.
SettingsProblem decodeSettings(const uint8_t* bytes, size_t size, const std::string& baseFolder,
                               const SequenceOptions& options, SettingsRecord& record);

// The file a record makes, in the layout of `version` (the default is what
// the editor writes; older layouts are for the tests). Version 6 and before
// write the embedded presets as kept.
std::vector<uint8_t> encodeSettings(const SettingsRecord& record, int version = kSettingsVersion);

// Reads a settings file into the arranger: incoming MIDI is suspended, and
// the live input's lock and then the engine lock are held while the file is
// decoded and its fields are handed over, so no message and no function sees
// half a set-up. Nothing called under the locks takes them again; what needs
// other objects (connections, the start style, sequence 99 of old files) is
// left in the record for the caller. A refused file changes nothing.
SettingsProblem loadSettings(CKvSeq& engine, const uint8_t* bytes, size_t size, const std::string& baseFolder,
                             SettingsRecord& record);
