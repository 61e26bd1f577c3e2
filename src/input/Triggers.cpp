// Trigger matching, the attention mechanism, the keyboard menu and the
// registrations it loads.
#include "input/Triggers.h"

#include "base/CClock.h"
#include "base/MidiStatus.h"
#include "base/Text.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"

#include <algorithm>

namespace {
constexpr size_t kMaxMenuDepth = 64;
constexpr int kCommandTarget = -1; // a menu-key press that ran a key command
} // namespace

bool CLiveInput::matchTrigger(int status, int d1, int d2)
{
    CKvSeq& e = *engine;
    const int c = status & 0x0F;
    if (isNote(status)) {
        const int note = d1 & 127;
        int32_t& target = pressTarget(c, note);
        if (!isNoteOn(status, d2)) {
            // A release goes where its press went.
            const int32_t was = target;
            target = kPressRouted;
            return was != kPressRouted && releaseAsPressed(note, was);
        }
        const int handled = attention(note + kNoteCodeBase, true, true, c, note);
        if (handled != 0) {
            target = handled > 0 ? (lastMenuPress >= 0 ? kPressMenu + lastMenuPress : kCommandTarget) : kPressAttention;
            return true;
        }
        const int i = findTrigger(note + kNoteCodeBase, c);
        target = i < 0 ? kPressRouted : kPressTrigger + i;
        if (i >= 0) executeFunction(i, 1);
        return i >= 0;
    }

    int code = 0;
    if (isController(status)) {
        if (d1 + 1 == view.areas.chordFixationController) {
            e.toggleChordFixation();
            return true;
        }
        code = d1 + kControllerCodeBase;
    } else if (isProgramChange(status)) {
        if (view.areas.programChangeSelectsPreset == 1) {
            if (e.melody) e.melody->selectPreset(d1);
            e.markChanged();
            return true;
        }
        code = d1 + kProgramCodeBase;
    } else {
        return false;
    }
    if (attention(code, false, false, c, d1) != 0) return true;

    const int i = findTrigger(code, c);
    if (i < 0) return false;
    const int64_t now = nowMs();
    // The falling half of a pedal or button press only lets go; a repeat
    // within the debounce time is a bounce.
    if (isController(status) && (d2 < 64 || now - lastControlTriggerTime <= kDebounceMs)) return true;
    executeFunction(i, 0);
    lastControlTriggerTime = now;
    return true;
}

int CLiveInput::findTrigger(int code, int channel) const
{
    if (code <= 0 || code >= kTriggerCodeLimit) return -1;
    for (int i = triggerFirst[code]; i >= 0; i = triggerNext[i]) {
        const int wanted = triggerChannels[i];
        if (wanted == 0 || wanted == channel + 1 || (wanted == kAfterAttention && attentionContext > 0)) return i;
    }
    return -1;
}

void CLiveInput::setTrigger(int entry, int code, int channel)
{
    if (entry < 0 || entry >= kTriggerCount) return;
    triggerCodes[entry] = code;
    triggerChannels[entry] = channel;
    indexTriggers();
}

void CLiveInput::indexTriggers()
{
    std::fill(std::begin(triggerFirst), std::end(triggerFirst), int16_t{-1});
    // Built from the last entry down, so each code's chain runs in entry order.
    for (int i = kTriggerCount - 1; i >= 0; --i) {
        const int code = triggerCodes[i];
        const bool indexed = code > 0 && code < kTriggerCodeLimit;
        triggerNext[i] = indexed ? triggerFirst[code] : int16_t{-1};
        if (indexed) triggerFirst[code] = static_cast<int16_t>(i);
    }
}

int CLiveInput::attention(int code, bool isKey, bool press, int channel, int d1)
{
    CKvSeq& e = *engine;
    if (view.attention.attentionEnabled != 1) return 0;
    const int wantedChannel = view.attention.attentionChannel;
    if (wantedChannel != 0 && wantedChannel != channel + 1) return 0;
    const int trigger = view.attention.attentionTrigger;
    const int64_t now = nowMs();
    if (trigger > 0 && code == trigger && now - lastControlTriggerTime > kDebounceMs) {
        if (isKey)
            e.setSetting(&AttentionSettings::attentionActive, 1, kChangeNone);
        else
            e.toggleSetting(&AttentionSettings::attentionActive, kChangeNone);
        lastControlTriggerTime = now;
        return -1;
    }
    if (!isKey || !press) return 0;
    if (trigger > 0 && !view.attention.attentionActive) return 0;
    // A menu key: its key command, else its entry in the current set.
    lastMenuPress = -1;
    const ApplicationHooks h = e.get(e.hooks);
    if (h.runKeyCommand)
        h.runKeyCommand(h.context, d1);
    else if (d1 >= kLowestMenuKey)
        executeMenuEntry(d1 - kLowestMenuKey, false);
    return 1;
}

bool CLiveInput::releaseAsPressed(int note, int32_t target)
{
    CKvSeq& e = *engine;
    if (target == kPressAttention) {
        // Held attention ends with its key, however short the press.
        e.setSetting(&AttentionSettings::attentionActive, 0, kChangeNone);
        return true;
    }
    if (target >= kPressTrigger && target < kPressMenu) {
        executeFunction(target - kPressTrigger, 2);
        return true;
    }
    if (target >= kPressMenu) {
        MenuResult ignored;
        const int pressed = target - kPressMenu;
        runMenuEntry(pressed / kMenuKeyCount, pressed % kMenuKeyCount, true, ignored);
    }
    // A menu key's release goes on to routing, as the menu never took it.
    return false;
}

void CLiveInput::runTriggerCode(int code)
{
    if (code <= 0 || code >= kTriggerCodeLimit) return;
    // Copied first: a function may change the table it was found in.
    int16_t found[kTriggerCount];
    int count = 0;
    for (int i = triggerFirst[code]; i >= 0; i = triggerNext[i]) found[count++] = static_cast<int16_t>(i);
    for (int k = 0; k < count; ++k) executeFunction(found[k], 0);
}

MenuResult CLiveInput::executeMenuEntry(int k, bool release)
{
    MenuResult result;
    if (k < 0 || k >= kMenuKeyCount) return result;
    const int set = currentSet;
    runMenuEntry(set, k, release, result);
    if (!release && result.carriedOut) lastMenuPress = set * kMenuKeyCount + k;
    return result;
}

void CLiveInput::runMenuEntry(int set, int k, bool release, MenuResult& result)
{
    if (set < 0 || set >= static_cast<int>(triggerSets.size()) || k < 0 || k >= kMenuKeyCount) return;
    const TriggerEntry& entry = triggerSets[static_cast<size_t>(set)].entries[k];
    CKvSeq& e = *engine;
    if (release) {
        // Only a function, a note and a MIDI text answer the release of their
        // key: a fill or an attention held by a menu key ends with it.
        if (entry.type == kEntryFunction)
            executeFunction(entry.values[0], 2);
        else if (entry.type == kEntryNote && e.melody && entry.values[0] >= 0 && entry.values[0] < 128)
            e.melody->keyOff(entry.values[0], 100);
        else if (entry.type == kEntryMidiText && e.port)
            e.port->sendMidiText(entry.releaseText);
        return;
    }
    switch (entry.type) {
    case kEntryEmpty: break;
    case kEntryFunction: executeFunction(entry.values[0], 1); break;
    case kEntryPreset:
        if (e.melody) e.melody->selectPreset(entry.values[0]);
        e.markChanged();
        break;
    case kEntryChord: e.setChord(entry.values[0], entry.values[1], entry.values[2]); break;
    case kEntryNote:
        if (e.melody && entry.values[0] >= 0 && entry.values[0] < 128) e.melody->keyOn(entry.values[0], 100);
        break;
    case kEntryMidiText:
        if (e.port) e.port->sendMidiText(entry.pressText);
        break;
    case kEntryStyle: triggerStyleEntry(entry.values[0], result); break;
    case kEntrySubMenu: {
        const int nested = entry.values[0];
        if (nested < 0 || nested >= static_cast<int>(triggerSets.size())) return;
        currentSet = nested;
        if (setStack.size() < kMaxMenuDepth)
            setStack.push_back(nested);
        else
            setStack.back() = nested; // a menu nested past all reason keeps its depth
        result.carriedOut = true;
        return; // opening a menu is no reason to leave one
    }
    default: return; // an unknown entry is not carried out
    }
    result.carriedOut = true;
    if (currentSet != 0 && currentSet < static_cast<int>(triggerSets.size()) &&
        triggerSets[static_cast<size_t>(currentSet)].attribute == 1)
        exitMenu();
}

void CLiveInput::exitMenu()
{
    auto autoreturn = [this](int set) {
        return set >= 1 && set < static_cast<int>(triggerSets.size()) &&
               triggerSets[static_cast<size_t>(set)].attribute == 1;
    };
    if (setStack.size() > 1) setStack.pop_back();
    currentSet = setStack.back();
    // Leaving a menu climbs over the autoreturn menus that led to it.
    while (setStack.size() > 1 && autoreturn(currentSet)) {
        setStack.pop_back();
        currentSet = setStack.back();
    }
}

void CLiveInput::triggerStyleEntry(int index, MenuResult& result)
{
    if (index < 0 || index >= static_cast<int>(styleEntries.size())) return;
    CKvSeq& e = *engine;
    const int mode = e.get(e.songState.playMode);
    if ((mode == 1 || mode == 2) && e.isSongPlaying()) {
        e.requestStop();
        while (e.isSongPlaying()) e.sleepMs(10);
    }
    const StyleEntry& entry = styleEntries[static_cast<size_t>(index)];
    e.setSetting(&SongSettings::playMode, entry.kind);
    result.kind = entry.kind;
    result.fileName = entry.fileName;
    result.text2 = entry.text2;
    entryText4 = entry.text4;
    entryKeptValues[0] = entry.keptValues[0];
    entryKeptValues[1] = entry.keptValues[1];
    entryText5 = entry.text5;
    // The registration is applied when its style is selected.
    if (entry.kind == 0) e.setPendingRegistration(index);
}

void CLiveInput::callStyleEntry(int index, MenuResult& result)
{
    CLockGuard guard(inputMutex);
    triggerStyleEntry(index, result);
}

void CLiveInput::applyStyleEntry(int index)
{
    CKvSeq& e = *engine;
    if (index < 0 || index >= static_cast<int>(styleEntries.size())) {
        e.setPendingRegistration(-1);
        return;
    }
    const StyleEntry& entry = styleEntries[static_cast<size_t>(index)];
    if (!vtn::startsWith(entry.partName, "*")) {
        selectVariation(entry.partName, 0, 0);
        e.selectPart(e.pendingRequest());
    }
    const int32_t* v = entry.values;
    auto given = [](int32_t value) { return value > kEntryUnchanged; };

    if (given(v[kValueTempo]) && !e.get(e.play.blockTempo)) e.setTempo(v[kValueTempo]);
    if (given(v[kValuePreset])) {
        if (e.melody) e.melody->selectPreset(v[kValuePreset]);
        e.setPresetButton(0, v[kValuePreset]);
    }
    for (int b = 1; b < 4; ++b)
        if (given(v[kValuePreset + b])) e.setPresetButton(b, v[kValuePreset + b]);
    // A new transposition cuts what sounds, or notes would end at another pitch.
    if (given(v[kValueTransposition]) && v[kValueTransposition] != e.get(e.play.transposition))
        e.changeTransposition(v[kValueTransposition], false);

    bool mixer = false, melodyLevels = false;
    struct Pair {
        int offValue, volumeValue, group;
        int32_t Mixer::*off;
        int32_t Mixer::*volume;
    };
    static constexpr Pair kGroups[] = {{kValueDrumsOff, kValueDrumsVolume, 1, &Mixer::drumsOff, &Mixer::drumsVolume},
                                       {kValueBassOff, kValueBassVolume, 2, &Mixer::bassOff, &Mixer::bassVolume},
                                       {kValueOtherOff, kValueOtherVolume, 3, &Mixer::otherOff, &Mixer::otherVolume},
                                       {kValueLeftOff, kValueLeftVolume, 0, &Mixer::leftVoicesOff, &Mixer::leftVolume}};
    for (const Pair& p : kGroups) {
        if (!given(v[p.volumeValue])) continue;
        const int was = e.setting(p.off);
        const int off = v[p.offValue] > kEntryUnchanged && v[p.offValue] != 0 ? 1 : 0;
        e.setSetting(p.off, off);
        e.setSetting(p.volume, v[p.volumeValue]);
        // A group switched off stops at once, as with its on/off function.
        if (p.group && off && !was) silenceGroup(p.group);
        (p.group ? mixer : melodyLevels) = true;
    }
    if (given(v[kValueAccompVolume])) {
        e.setSetting(&Mixer::accompVolume, v[kValueAccompVolume]);
        mixer = true;
    }
    if (given(v[kValueMelodyVolume])) {
        e.setSetting(&Mixer::melodyVolume, v[kValueMelodyVolume]);
        melodyLevels = true;
    }
    if (given(entry.entrySplitKey)) e.setSetting(&KeyboardAreas::splitKey, entry.entrySplitKey);
    if (given(entry.entryHighestChordKey)) e.setSetting(&KeyboardAreas::highestChordKey, entry.entryHighestChordKey);
    // The new levels are heard at once, not from the next preset or style.
    if (melodyLevels && e.melody) e.melody->updateVolumes(false);
    if (mixer) resendGroupVolumes(0);
    e.setPendingRegistration(-1);
}
