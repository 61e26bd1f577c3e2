// Start-up from the settings file: the record goes into the engine, the live
// input and the port in one locked step, then the connections, the start style
// and the selected preset follow.
#include "app/CApplication.h"
#include "app/SettingsFile.h"
#include "base/CLockGuard.h"
#include "base/FileReader.h"
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "engine/CSettingsStore.h"
#include "input/CLiveInput.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"
#include "sequence/SequenceOptions.h"

#include <algorithm>

namespace {

// Called with the live input's lock and the engine lock held: plain fields
// only. The engine clamps every number by its row as it takes them.
void handOver(CKvSeq& e, SettingsRecord& r)
{
    const int32_t* a = r.blockA;
    const int32_t* b = r.blockB;
    StoredSettings stored = e.storedSettingsLocked();
    Mixer& mixer = stored.mixer;
    KeyboardAreas& areas = stored.areas;
    AttentionSettings& attention = stored.attention;
    Defaults& defaults = stored.defaults;
    RecordingSettings& recording = stored.recordState;
    stored.transposition = a[kATransposition];
    mixer.drumsVolume = a[kADrumsVolume];
    mixer.bassVolume = a[kABassVolume];
    mixer.otherVolume = a[kAOtherVolume];
    mixer.leftVoicesOff = a[kALeftVoicesOff];
    mixer.leftVolume = a[kALeftVolume];
    mixer.accompVolume = a[kAAccompVolume];
    mixer.melodyVolume = a[kAMelodyVolume];
    areas.chordFixationController = a[kAChordFixationController];
    areas.chordMethod = a[kAChordMethod];
    defaults.levelMode = a[kALevelMode];
    areas.splitKey = a[kASplitKey];
    stored.confirmRestart = a[kAConfirmRestart];

    stored.presetIndex = b[kBPresetIndex];
    defaults.styleBankSelect = b[kBStyleBankSelect];
    defaults.targetVolume = b[kBTargetVolume];
    areas.programChangeSelectsPreset = b[kBProgramChangeSelectsPreset];
    defaults.targetVelocity = b[kBTargetVelocity];
    areas.highestChordKey = b[kBHighestChordKey];
    areas.chordChannel = b[kBChordChannel];
    defaults.defaultModulation = b[kBDefaultModulation];
    defaults.defaultVolume = b[kBDefaultVolume];
    defaults.defaultPan = b[kBDefaultPan];
    defaults.defaultReverb = b[kBDefaultReverb];
    defaults.defaultChorus = b[kBDefaultChorus];
    std::copy_n(b + kBPresetButtons, 4, defaults.presetButtons);
    recording.recordKeepTracks = b[kBRecordKeepTracks] != 0;
    mixer.harmonyVolume = b[kBHarmonyVolume];
    defaults.styleSysEx = b[kBStyleSysEx];
    recording.recordChordsSeqSpecific = b[kBSeqSpecificChords] != 0;

    defaults.bankMsb = r.bankMsb;
    defaults.bankLsb = r.bankLsb;
    areas.chordRecognitionOff = r.chordRecognitionOff != 0;
    areas.splitChannel = r.splitChannel;
    mixer.velocityVariety = r.velocityVariety;
    mixer.pitchVariety = r.pitchVariety;
    mixer.bassVariety = r.bassVariety;
    attention.attentionEnabled = r.attentionEnabled;
    attention.attentionChannel = r.attentionChannel;
    attention.attentionTrigger = r.attentionTrigger;
    attention.attentionActive = r.attentionTrigger == 0;
    attention.attentionReserve = r.attentionReserve;
    e.adoptSettingsLocked(stored);
    std::copy(r.presets.begin(), r.presets.begin() + kPresetCount, e.presets);

    CSettingsStore& store = *e.settingsStore;
    store.records13 = std::move(r.records13);
    store.records6 = std::move(r.records6);
    store.integers = std::move(r.integers);
    store.texts = std::move(r.texts);

    CLiveInput& in = *e.liveInput;
    for (int i = 0; i < 6; ++i) {
        in.sliders[i][0] = b[kBSliders + 2 * i];
        in.sliders[i][1] = b[kBSliders + 2 * i + 1];
    }
    for (int i = 0; i < kTriggerCount; ++i) {
        const bool lower = i < kPresetButtonBase;
        const int upper = i - kPresetButtonBase;
        in.triggerCodes[i] = lower ? b[kBTriggers + 2 * i] : upper < 99 ? r.upperTriggers[upper][0] : 0;
        in.triggerChannels[i] = lower ? b[kBTriggers + 2 * i + 1] : upper < 99 ? r.upperTriggers[upper][1] : 0;
    }
    in.indexTriggers();
    if (r.hasFunctionOrder) {
        for (int i = 0; i < kFunctionOrderWords; ++i) {
            const int o = r.functionOrder[i];
            in.functionOrder[i] = o;
            if (o >= 0 && o < kFunctionCount) in.functionOrderInverse[o] = i;
        }
    }
    in.triggerSets = std::move(r.triggerSets);
    if (in.triggerSets.empty()) in.triggerSets.resize(1);
    in.styleEntries = std::move(r.styleEntries);
    in.currentSet = 0;
    in.setStack.assign(1, 0);

    e.port->defaultPortNumber = a[kAOutputPort];
    for (int c = 0; c < 16; ++c) e.port->setChannelPort(c, r.channelPorts[c]);
}

} // namespace

SettingsProblem loadSettings(CKvSeq& engine, const uint8_t* bytes, size_t size, const std::string& baseFolder,
                             SettingsRecord& record)
{
    engine.suspendInput(true);
    const SequenceOptions options = engine.sequenceOptions();
    SettingsProblem problem;
    {
        // A message being routed when input was suspended is finished first.
        CLockGuard inputGuard(engine.liveInput->inputMutex);
        engine.lock();
        engine.baseFolder = baseFolder;
        problem = decodeSettings(bytes, size, baseFolder, options, record);
        if (!problem) handOver(engine, record);
        engine.unlock();
    }
    engine.suspendInput(false);
    return problem;
}

void CApplication::loadSettingsFile()
{
    std::vector<uint8_t> data;
    const int result = vtn::readWholeFile("vtn.cfg", kSettingsMaxBytes, data);
    if (result == vtn::kFileMissing) {
        vtn::printLine("Unable to open vtn.cfg");
        return;
    }
    if (result != vtn::kFileRead) {
        vtn::printLine("vtn.cfg not read: " + vtn::fileReadError(result, kSettingsMaxBytes));
        return;
    }
    SettingsRecord record;
    if (const SettingsProblem problem = loadSettings(*engine, data.data(), data.size(), "", record)) {
        vtn::printLine("vtn.cfg not read: " + problem.what + " at byte " + std::to_string(problem.offset));
        return;
    }
    data = {};

    if (!record.embeddedPresets.empty()) {
        auto* presets = new CMidiSequence();
        presets->sequenceId = kSettingsSongId;
        const int size = static_cast<int>(record.embeddedPresets.size());
        presets->readMidiFile(record.embeddedPresets.data(), 0, size, engine->sequenceOptions());
        engine->installSequence(kSettingsSongId, presets);
    }
    engine->port->connectOutput(engine->midiOutName);
    // Old files made no input connection; "midiin:" makes it later.
    if (record.version >= 7) {
        for (int slot = 0; slot < kInputSlots; ++slot)
            engine->port->connectInput(slot, record.inputFlags[slot] != 0, engine->midiInName);
    }
    {
        // config.txt names the style folder first; without one, the set-up's.
        CLockGuard guard(folderMutex);
        if (styleFolder.empty()) styleFolder = record.styleFolder;
    }
    if (!record.startStyle.empty()) loadStyleByName(record.startStyle);
    engine->enterLiveMode();
    engine->sendStyleSetup();
    if (engine->melody) engine->melody->selectPreset(engine->get(engine->play.presetIndex));
}
