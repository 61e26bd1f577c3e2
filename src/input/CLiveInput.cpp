#include "input/CLiveInput.h"

#include "base/CLockGuard.h"
#include "base/CMidiDevice.h"
#include "chords/ChordRecognition.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"

#include <algorithm>

namespace {
constexpr int kFirstSwitchPedal = 64; // sustain, portamento, sostenuto, soft, legato, hold 2
constexpr int kSwitchPedals = 6;
} // namespace

CLiveInput::CLiveInput(CKvSeq* owner) : engine(owner)
{
    initSharedMutex(inputMutex);
    const FunctionInfo* catalogue = functionCatalogue();
    functions.assign(catalogue, catalogue + kFunctionCount);
    for (int i = 0; i < kFunctionCount; ++i) functionOrder[i] = functionOrderInverse[i] = i;
    indexTriggers();
    triggerSets.resize(1); // the root menu, empty until settings fill it
    setStack.reserve(64);
    setStack.push_back(0);
}

CLiveInput::~CLiveInput() { pthread_mutex_destroy(&inputMutex); }

void CLiveInput::routeKeyboard(int status, int d1, int d2)
{
    {
        CLockGuard guard(inputMutex);
        view = engine->inputView();
        if (view.inputSuspended) return;
        if (view.inputMode == kLiveMode) {
            routeLocked(status, d1, d2);
            return;
        }
    }
    // Before live mode everything played passes straight through.
    engine->sendEvent(status, d1, d2);
}

void CLiveInput::route(int status, int d1, int d2)
{
    CLockGuard guard(inputMutex);
    view = engine->inputView();
    routeLocked(status, d1, d2);
}

void CLiveInput::routeLocked(int status, int d1, int d2)
{
    if (matchTrigger(status, d1, d2) || matchSlider(status, d1, d2)) {
        if (isController(status)) releasePedal(status & 0x0F, d1);
        return;
    }
    if (isNote(status)) {
        // A note never passes through, whatever the areas make of it.
        handleNote(status, d1, d2);
        return;
    }
    if (isController(status)) rememberPedal(status & 0x0F, d1, d2);
    engine->sendEvent(status, d1, d2);
}

void CLiveInput::rememberPedal(int channel, int controller, int value)
{
    if (controller >= kFirstSwitchPedal && controller < kFirstSwitchPedal + kSwitchPedals)
        pedalHeld[channel][controller - kFirstSwitchPedal] = value >= 64 ? 1 : 0;
}

void CLiveInput::releasePedal(int channel, int controller)
{
    if (controller >= kFirstSwitchPedal && controller < kFirstSwitchPedal + kSwitchPedals) {
        uint8_t& held = pedalHeld[channel][controller - kFirstSwitchPedal];
        if (!held) return;
        held = 0;
        engine->sendEvent(controllerStatus(channel), controller, 0);
    } else if (controller == kCtlExpression && engine->port) {
        // An expression left low would keep everything on the channel quiet.
        const int level = engine->port->controllerOf(channel, kCtlExpression);
        if (level >= 0 && level < 127) engine->sendEvent(controllerStatus(channel), kCtlExpression, 127);
    }
}

bool CLiveInput::matchSlider(int status, int d1, int d2)
{
    if (!isController(status)) return false;
    const int channel = (status & 0x0F) + 1;
    for (int slot = 0; slot < 6; ++slot) {
        if (sliders[slot][0] != d1 + 1) continue;
        if (sliders[slot][1] != 0 && sliders[slot][1] != channel) continue;
        applySlider(slot, d2);
        return true;
    }
    return false;
}

void CLiveInput::applySlider(int slot, int value)
{
    value = std::clamp(value, 0, 127);
    if (slot == 0) {
        engine->setTempo(2 * value); // the engine keeps it within 10-250
        return;
    }
    static constexpr int32_t Mixer::*kLevelOfSlot[] = {nullptr, &Mixer::drumsVolume, &Mixer::bassVolume,
                                                       &Mixer::otherVolume, &Mixer::accompVolume, &Mixer::melodyVolume};
    engine->setSetting(kLevelOfSlot[std::min(slot, 5)], value * settingrange::kVolume / 127);
    if (slot == 5) {
        if (engine->melody) engine->melody->updateVolumes(false);
        return;
    }
    static constexpr int kGroupOfSlot[] = {0, 1, 2, 3, 0};
    resendGroupVolumes(kGroupOfSlot[slot]);
}

bool CLiveInput::takeForDefinition(bool noteOn, int channel, int note, bool live)
{
    const bool keyed = note >= 0 && note < 128;
    const int bit = channel * 128 + note;
    uint64_t& word = definitionKeys[keyed ? bit / 64 : 0];
    const uint64_t mask = keyed ? uint64_t{1} << (bit % 64) : 0;

    bool takenKey = false;
    if (!noteOn) {
        takenKey = (word & mask) != 0;
        word &= ~mask;
    }
    if (live && (chordKeyDefinePending || splitKeyDefinePending)) {
        if (noteOn) {
            engine->setSetting(chordKeyDefinePending ? &KeyboardAreas::highestChordKey : &KeyboardAreas::splitKey, note);
            view = engine->inputView();
            word |= mask;
            return true;
        }
        // Any release ends the definition; a release of a key held from
        // before still goes on, or that key would never be let go.
        if (chordKeyDefinePending)
            chordKeyDefinePending = 0;
        else
            splitKeyDefinePending = 0;
    }
    return takenKey;
}

NoteRoute CLiveInput::decideRoute(const AreaSettings& a, int channel, int note)
{
    const bool splitByKey = a.splitChannel == -1 && a.splitKey >= 0 &&
                            ((a.splitKey > a.highestChordKey && note >= a.splitKey) ||
                             (a.splitKey <= a.highestChordKey && note <= a.splitKey));
    if (channel == a.splitChannel || splitByKey) {
        if (a.splitVoice) return {false, NoteTarget::SplitVoice};
        if (a.splitChannel >= 0) return {false, NoteTarget::Dropped};
    }

    const bool onChordChannel = a.chordChannel == 0 || channel == a.chordChannel - 1;
    const bool wholeKeyboard = a.chordMethod == kFullKeyboard || a.chordMethod == kGuitar;
    // With a chord channel every key on it is chord part; without one only the chord area is.
    bool chordPart = onChordChannel;
    if (note > a.highestChordKey && !wholeKeyboard && a.chordChannel == 0) chordPart = false;

    NoteRoute r;
    r.chordKey = chordPart || a.chordMethod == kFreeForm;
    const bool leftHand = ((note <= a.highestChordKey && !wholeKeyboard) || a.chordChannel != 0) && onChordChannel;
    if (leftHand && a.chordMethod != kFreeForm) {
        const bool voices = a.leftVoicesOff == 0 && (a.chordMethod == kFullFingered || a.chordMethod == kFingeredOnBass);
        r.target = voices ? NoteTarget::LeftVoice : NoteTarget::ChordOnly;
    } else {
        r.target = NoteTarget::Melody;
    }
    return r;
}

void CLiveInput::handleNote(int status, int note, int velocity)
{
    const bool noteOn = isNoteOn(status, velocity);
    const int channel = status & 0x0F;
    const bool live = view.inputMode == kLiveMode;

    if (takeForDefinition(noteOn, channel, note, live)) {
        lastRoute = {false, NoteTarget::Definition};
        return;
    }

    AreaSettings areas;
    areas.splitKey = view.areas.splitKey;
    areas.splitChannel = view.areas.splitChannel;
    areas.highestChordKey = view.areas.highestChordKey;
    areas.chordChannel = view.areas.chordChannel;
    areas.chordMethod = view.areas.chordMethod;
    areas.leftVoicesOff = view.leftVoicesOff;
    CMelody* melody = engine->melody;
    areas.splitVoice = melody && melody->hasSplitVoice();
    NoteRoute r = decideRoute(areas, channel, note);
    r.chordKey = r.chordKey && live;
    lastRoute = r;

    const int heldBefore = heldChordKeys.size();
    if (r.chordKey) {
        updateHeldKeys(status, note, velocity);
        if (noteOn) recogniseHeld();
    } else if (!noteOn) {
        // The areas may have changed since this key went down as a chord
        // key; its release must still leave the held list.
        const int i = heldChordKeys.find(note);
        if (i >= 0 && heldChordKeys[i].channel == channel) updateHeldKeys(status, note, velocity);
    }
    // Sync stop: lifting the left hand stops the accompaniment.
    if (!noteOn && heldBefore > 0 && heldChordKeys.empty() && view.areas.syncStop &&
        engine->isStylePlaying())
        engine->requestStop();

    if (!melody) return;
    switch (r.target) {
    case NoteTarget::SplitVoice: melody->areaVoice(status, note, velocity, kLayerSplit); break;
    case NoteTarget::LeftVoice: melody->areaVoice(status, note, velocity, kLayerLeft); break;
    case NoteTarget::Melody:
        if (noteOn)
            melody->keyOn(note, velocity);
        else
            melody->keyOff(note, velocity);
        break;
    default:
        // The areas may have changed while the key was held (left voices
        // switched off, split voice gone): its release still ends what it
        // started, or the note would hang.
        if (!noteOn) melody->areaVoice(status, note, velocity, kLayerLeft);
        break;
    }
}

void CLiveInput::updateHeldKeys(int status, int note, int velocity)
{
    const bool noteOn = isNoteOn(status, velocity);
    const int i = heldChordKeys.find(note);
    if (i >= 0) {
        if (noteOn) return;
        heldChordKeys.removeAt(i);
    } else if (noteOn) {
        // A full list cannot happen with real keys (each is held once).
        heldChordKeys.append({note, velocity, status & 0x0F});
        return;
    }
    // Letting go of the bass (or anything above it) ends the bass change.
    if (note >= lastBassKey) lastBassKey = 0;
}

int64_t CLiveInput::nowMs() const { return engine->clock ? engine->clock->nowMs() : 0; }

void CLiveInput::recogniseChord()
{
    view = engine->inputView();
    recogniseHeld();
}

void CLiveInput::recogniseHeld()
{
    if (view.chordFixation) return;
    recognisedChord = Chord{};
    parseChordSymbol(recognisedChord, "x");
    lastClusterCode = 0;
    lastMainFunction = -1;
    heldChordKeys.sortAscending();

    const HeldKey* keys = heldChordKeys.data();
    const int count = heldChordKeys.size();
    const int method = view.areas.chordMethod;
    switch (method) {
    case kFullFingered: recogniseFullFingered(); break;
    case kSingleFingerYamaha: singleFingerYamaha(recognisedChord, keys, count); break;
    case kSingleFingerRoland: singleFingerRoland(recognisedChord, keys, count); break;
    case kFingeredOnBass:
        if (!recogniseFingeredOnBass()) return;
        break;
    case kFullKeyboard: {
        int start = 0;
        const int length = lowestCloseGroup(keys, count, &start);
        rotationSearch(recognisedChord, keys + start, length);
        break;
    }
    case kGuitar: guitarChord(recognisedChord, keys, count); break;
    case kFreeForm: freeFormChord(recognisedChord, keys, count); break;
    default: break; // an unknown method recognises nothing
    }

    if (recognisedChord.root < 0 || view.areas.chordRecognitionOff) return;
    if (method == kFreeForm)
        engine->setFreeChord(recognisedChord);
    else
        engine->setChord(recognisedChord.root, recognisedChord.type, recognisedChord.bass);
    lastChordTime = nowMs();
}

void CLiveInput::recogniseFullFingered()
{
    const HeldKey* keys = heldChordKeys.data();
    const int count = heldChordKeys.size();
    const int base = clusterBase(keys, count);
    if (base >= 0) {
        lastClusterCode = kClusterCodeBase + base;
        runTriggerCode(lastClusterCode);
    }

    if (!rotationSearch(recognisedChord, keys, count)) return;
    if (view.areas.velocitySelectsMain) {
        int sum = 0;
        for (int i = 0; i < count; ++i) sum += keys[i].velocity;
        lastMainFunction = mainFunctionForVelocity(sum / count);
        executeFunction(lastMainFunction, 0);
    }
}

bool CLiveInput::recogniseFingeredOnBass()
{
    if (heldChordKeys.empty()) return true;
    const int lowest = heldChordKeys[0].note;
    const int bass = ((lowest % 12) + 12) % 12;

    // A new, lower bass under a chord that has stood a while only changes the
    // bass of the accompaniment's chord. Without a chord there is nothing to
    // put the bass under, so the keys are recognised as usual.
    if (lowest < lastBassKey && nowMs() - lastChordTime > 500) {
        const Chord accomp = engine->get(engine->play.accompChord);
        if (accomp.root >= 0) {
            engine->setChord(accomp.root, accomp.type, bass == accomp.root ? -1 : bass);
            return false;
        }
    }

    if (!rotationSearch(recognisedChord, heldChordKeys.data(), heldChordKeys.size())) return true;
    if (recognisedChord.root != bass) buildChord(recognisedChord, recognisedChord.root, recognisedChord.type, bass);
    lastBassKey = lowest;
    return true;
}
