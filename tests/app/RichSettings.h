#pragma once
// A settings record with something in every section, shared by the tests of
// the file and of the companion tool's JSON form of it.
#include "SmfBuilder.h"
#include "app/SettingsFile.h"
#include "input/FunctionCatalogue.h"

#include <string>
#include <vector>

namespace richsettings {

// Presets as files before version 7 carry them: a "voice:" marker in bar n
// names preset n - 1; channels 1-4 fill its layers.
inline std::vector<uint8_t> embeddedPresets()
{
    smftest::Bytes t;
    t.meta(0, 0x06, "voice:Piano");
    t.vlq(0).u8({0xC0, 0});
    t.meta(2 * 4 * 480, 0x06, "voice:Warm Pad"); // bar 3: preset 2
    t.meta(0, 0x06, "channelvoice:5;1;02");
    t.vlq(0).u8({0xC1, 89}).vlq(0).u8({0xB1, 7, 90}).vlq(0).u8({0xB1, 91, 64}).vlq(0).u8({0xC5, 12});
    t.meta(0, 0x2F, "");
    return smftest::smf(0, 480, {t}).v;
}

// Each value its own; texts with bytes JSON must escape; sets and
// registrations numbered in the order the file nests them.
inline SettingsRecord richRecord()
{
    SettingsRecord r;
    r.header = std::string("Set\0up \xE9\xFF\"\\\n", 12);
    r.editorFlag = 7;
    r.blockA[kAOutputPort] = 3;
    r.blockA[kATransposition] = -2;
    r.blockA[kADrumsVolume] = 90;
    r.blockA[kAChordMethod] = 1;
    r.blockA[kASplitKey] = 59;
    r.blockA[kAConfirmRestart] = 1;
    r.styleFolder = "MyStyles/";
    r.secondFolder = "-";
    r.startStyle = "Pop.sty";
    r.blockB[kBPresetIndex] = 2;
    r.blockB[kBHighestChordKey] = 52;
    r.blockB[kBPresetButtons + 3] = 4;
    r.blockB[kBSliders] = 8;
    r.blockB[kBSliders + 1] = 16;
    r.blockB[kBTriggers + 2 * 4] = 25; // Start/Stop on C1
    r.blockB[kBHarmonyVolume] = 60;
    r.blockB[kBKept240] = 0;
    r.blockB[kBSeqSpecificChords] = 1;
    r.triggerSets.resize(3);
    TriggerEntry* root = r.triggerSets[0].entries;
    r.triggerSets[0].attribute = 1; // a root set is never autoreturn
    root[0].type = kEntryFunction;
    root[0].values[0] = 4;
    root[1] = {kEntryChord, {2, 1, 7}, "", "", "", ""};
    root[2] = {kEntryMidiText, {0, 0, -1}, "Lamp", "on", "B0 50 7F", "B0 50 00"};
    root[3] = {kEntryStyle, {0, 0, -1}, "Rock", "", "", ""};
    root[4] = {kEntrySubMenu, {1, 0, -1}, "More", "\x01", "", ""};
    r.triggerSets[1].attribute = 1;
    r.triggerSets[1].entries[10] = {kEntrySubMenu, {2, 0, -1}, "Deeper", "", "", ""};
    r.triggerSets[1].entries[11] = {kEntryStyle, {1, 0, -1}, "Song", "", "", ""};
    r.triggerSets[1].entries[127] = {kEntryNote, {72, 0, -1}, "", "", "", ""};
    r.triggerSets[2].entries[0] = {kEntryFunction, {kFnExitMenu, 0, -1}, "", "", "", ""};
    r.styleEntries.resize(2);
    StyleEntry& e = r.styleEntries[0];
    e.fileName = "Rock.sty";
    e.text2 = "two";
    e.partName = "Main B";
    e.values[kValueTempo] = 96;
    e.values[kValueTransposition] = -1;
    e.text4 = "four";
    e.keptValues[1] = 2;
    e.text5 = "5";
    e.entrySplitKey = 60;
    r.styleEntries[1].kind = 1;
    r.styleEntries[1].fileName = "Song.mid";
    for (int i = 0; i < kFunctionOrderWords; ++i) r.functionOrder[i] = kFunctionOrderWords - 1 - i;
    r.embeddedPresets = embeddedPresets();
    r.presets[2].name = "Warm Pad";
    r.presets[2].layers[1] = {5, 2, 89, -1, -1, 90, -1, 64, -1, -1, 3};
    r.presets[10].name = "Named, all layers free";
    r.presets[kPresetCount - 1].layers[3].pan = 0;
    for (int c = 0; c < 16; ++c) r.channelPorts[c] = c % 3;
    r.bankMsb = 1;
    r.bankLsb = 2;
    r.upperTriggers[0][0] = 61;
    r.upperTriggers[0][1] = 17;
    r.chordRecognitionOff = 1;
    r.splitChannel = 3;
    r.inputFlags[0] = 1;
    r.velocityVariety = 3;
    r.bassVariety = 5;
    r.attentionEnabled = 1;
    r.attentionTrigger = 49;
    r.attentionReserve = 7;
    r.records13.push_back({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -13});
    r.records6.push_back({-1, 5, 4, 3, 2, 32767});
    r.integers = {7, -8, 300};
    r.texts = {"kept\xFF"};
    return r;
}

} // namespace richsettings
