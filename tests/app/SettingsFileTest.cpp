// The settings file: every section through the writer and back, at every
// version of the layout; hostile files; and the hand-over to the arranger.
#include "app/SettingsFile.h"
#include "engine/CKvSeq.h"
#include "engine/CSettingsStore.h"
#include "input/CLiveInput.h"
#include "sequence/SequenceOptions.h"
#include "support/LiveEngine.h"
#include "SmfBuilder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Presets as files before version 7 carry them: a "voice:" marker in bar n
// names preset n - 1; channels 1-4 fill its layers.
Bytes embeddedPresets()
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

// Something in every section, each value its own.
SettingsRecord richRecord()
{
    SettingsRecord r;
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
    TriggerSet& root = r.triggerSets[0];
    root.attribute = 1; // a root set is never autoreturn
    root.entries[0].type = kEntryFunction;
    root.entries[0].values[0] = 4;
    root.entries[1] = {kEntryChord, {2, 1, 7}, "", "", "", ""};
    root.entries[2] = {kEntryMidiText, {0, 0, -1}, "Lamp", "on", "B0 50 7F", "B0 50 00"};
    root.entries[3] = {kEntryStyle, {0, 0, -1}, "Rock", "", "", ""};
    root.entries[4] = {kEntrySubMenu, {1, 0, -1}, "More", "", "", ""};
    r.triggerSets.emplace_back();
    r.triggerSets[1].attribute = 1;
    r.triggerSets[1].entries[127] = {kEntryNote, {72, 0, -1}, "", "", "", ""};
    StyleEntry e;
    e.kind = 0;
    e.fileName = "Rock.sty";
    e.text2 = "two";
    e.partName = "Main B";
    e.values[kValueTempo] = 96;
    e.values[kValueTransposition] = -1;
    e.text4 = "four";
    e.entrySplitKey = 60;
    r.styleEntries.push_back(e);
    for (int i = 0; i < kFunctionOrderWords; ++i) r.functionOrder[i] = kFunctionOrderWords - 1 - i;
    r.embeddedPresets = embeddedPresets();
    r.presets[2].name = "Warm Pad";
    r.presets[2].layers[1] = {5, 2, 89, -1, -1, 90, -1, 64, -1, -1, 3};
    for (int c = 0; c < 16; ++c) r.channelPorts[c] = c % 3;
    r.bankMsb = 1;
    r.upperTriggers[0][0] = 61;
    r.upperTriggers[0][1] = 17;
    r.chordRecognitionOff = 1;
    r.splitChannel = 3;
    r.inputFlags[0] = 1;
    r.velocityVariety = 3;
    r.bassVariety = 5;
    r.attentionEnabled = 1;
    r.attentionTrigger = 49;
    r.records13.push_back({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    r.records6.push_back({6, 5, 4, 3, 2, 1});
    r.integers = {7, -8};
    r.texts = {"kept"};
    return r;
}

SettingsProblem decode(const Bytes& file, SettingsRecord& r, const std::string& base = "")
{
    return decodeSettings(file.data(), file.size(), base, SequenceOptions{}, r);
}

class SettingsVersions : public ::testing::TestWithParam<int> {};

// Each version has exactly the items it introduced; older files get the
// defaults in their place.
TEST_P(SettingsVersions, ItemsAppearFromTheirVersionOn)
{
    const int v = GetParam();
    SettingsRecord r;
    ASSERT_FALSE(decode(encodeSettings(richRecord(), v), r, "/base/"));
    EXPECT_EQ(r.version, v);
    EXPECT_EQ(r.editorFlag, v >= 4 ? 7 : 0);
    EXPECT_EQ(r.blockA[kATransposition], -2);
    EXPECT_EQ(r.blockA[kAConfirmRestart], 1);
    EXPECT_EQ(r.styleFolder, "MyStyles/");
    EXPECT_EQ(r.secondFolder, "/base/");
    EXPECT_EQ(r.startStyle, "MyStyles/Pop.sty");
    EXPECT_EQ(r.blockB[kBTriggers + 8], 25);
    EXPECT_EQ(r.blockB[kBKept240], v >= 5 ? 0 : 1);
    EXPECT_EQ(r.blockB[kBSeqSpecificChords], v >= 12 ? 1 : 0);

    ASSERT_EQ(r.triggerSets.size(), 2u);
    EXPECT_EQ(r.triggerSets[0].attribute, 0);
    EXPECT_EQ(r.triggerSets[0].entries[0].values[0], 4);
    EXPECT_EQ(r.triggerSets[0].entries[1].values[2], 7);
    EXPECT_EQ(r.triggerSets[0].entries[2].pressText, "B0 50 7F");
    EXPECT_EQ(r.triggerSets[0].entries[2].label2, v >= 7 ? "on" : "");
    EXPECT_EQ(r.triggerSets[0].entries[2].releaseText, v >= 7 ? "B0 50 00" : "");
    EXPECT_EQ(r.triggerSets[0].entries[4].values[0], 1);
    EXPECT_EQ(r.triggerSets[1].attribute, 1);
    EXPECT_EQ(r.triggerSets[1].entries[127].values[0], 72);
    ASSERT_EQ(r.styleEntries.size(), 1u);
    const StyleEntry& e = r.styleEntries[0];
    EXPECT_EQ(e.fileName, "/base/Styles/Rock.sty");
    EXPECT_EQ(e.text2, v >= 3 ? "two" : "");
    EXPECT_EQ(e.values[kValueTempo], 96);
    EXPECT_EQ(e.text4, "four");
    EXPECT_EQ(e.entrySplitKey, v >= 11 ? 60 : 59 - 1000);
    EXPECT_EQ(e.entryHighestChordKey, v >= 11 ? kEntryUnchanged - 1000 : 52 - 1000);

    EXPECT_EQ(r.hasFunctionOrder, v >= 6);
    if (v >= 6) {
        EXPECT_EQ(r.functionOrder[0], kFunctionOrderWords - 1);
    }

    EXPECT_EQ(r.presets[2].name, "Warm Pad");
    const PresetLayer& l = r.presets[2].layers[1];
    EXPECT_EQ(l.type, 5);
    EXPECT_EQ(l.octaveShift, 2);
    EXPECT_EQ(l.program, 89);
    EXPECT_EQ(l.volume, 90);
    EXPECT_EQ(l.reverb, 64);
    EXPECT_EQ(r.presets[3].name, kFreePresetName);
    if (v >= 7) {
        EXPECT_EQ(l.layerChannel, v >= 10 ? 3 : 1);
        EXPECT_TRUE(r.embeddedPresets.empty());
    } else {
        EXPECT_EQ(r.presets[0].name, "Piano");
        EXPECT_EQ(r.presets[2].layers[3].type, 1);
        EXPECT_EQ(r.presets[2].layers[3].layerChannel, 2); // the preset number
        EXPECT_EQ(r.embeddedPresets, embeddedPresets());
    }

    EXPECT_EQ(r.channelPorts[1], v >= 7 ? 1 : 3);
    EXPECT_EQ(r.bankMsb, v >= 7 ? 1 : 0);
    EXPECT_EQ(r.upperTriggers[0][0], v >= 7 ? 61 : 0);
    EXPECT_EQ(r.splitChannel, v >= 7 ? 3 : -1);
    EXPECT_EQ(r.inputFlags[0], v >= 7 ? 1 : 0);
    EXPECT_EQ(r.bassVariety, v >= 8 ? 5 : 0);
    EXPECT_EQ(r.attentionTrigger, v >= 9 ? 49 : 0);
    EXPECT_EQ(r.attentionChannel, 2);
    EXPECT_EQ(r.records13.size(), v >= 13 ? 1u : 0u);
    EXPECT_EQ(r.records6.size(), v >= 13 ? 1u : 0u);
    EXPECT_EQ(r.texts.size(), v >= 7 ? 1u : 0u);
    // What was read is written back the same.
    SettingsRecord again;
    ASSERT_FALSE(decode(encodeSettings(r, v), again, "/base/"));
    EXPECT_EQ(encodeSettings(again, v), encodeSettings(r, v));
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, SettingsVersions, ::testing::Range(2, kSettingsVersion + 1));

// A little file of hand-made words after a plain header.
struct Words {
    Bytes b;
    Words& w(int v)
    {
        b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        b.push_back(static_cast<uint8_t>(v & 0xFF));
        return *this;
    }
    Words& zeros(int n)
    {
        for (int i = 0; i < n; ++i) w(0);
        return *this;
    }
    // Header of version v, block A, three empty texts with blobs, block B.
    static Words upToTriggers(int v = 13)
    {
        Words f;
        f.w(0).w(v).zeros(v >= 4 ? 19 : 18);
        for (int i = 0; i < 3; ++i) f.w(0).w(0);
        return f.zeros(240 + (v >= 5) + (v >= 12));
    }
};

TEST(SettingsFile, HostileFilesAreRefusedWithWhereTheyWentWrong)
{
    const Bytes rich = encodeSettings(richRecord());
    SettingsRecord r;
    for (size_t n = 0; n < rich.size(); ++n) {
        const SettingsProblem p = decodeSettings(rich.data(), n, "", SequenceOptions{}, r);
        ASSERT_EQ(p.what, "cut short") << n;
        ASSERT_LE(p.offset, n);
    }
    EXPECT_FALSE(decode(rich, r));

    Words deep = Words::upToTriggers();
    for (int i = 0; i < 10000; ++i) deep.w(0).w(kEntrySubMenu).w(0).w(0).w(0); // attribute, entry 7 at key 0, two labels
    Words wide = Words::upToTriggers();
    wide.w(0);
    for (int i = 0; i < 600; ++i) wide.w(kEntrySubMenu).w(i % 128).w(0).w(0).w(0).w(9999);
    Words endless = Words::upToTriggers();
    endless.w(0);
    for (int i = 0; i < 5000; ++i) endless.w(kEntryFunction).w(i % 128).w(4);
    Words longText;
    longText.w(32767).w(13);
    Words future;
    future.w(0).w(14);
    struct Case {
        const char* name;
        Bytes file;
        std::string what;
        size_t offset;
    } cases[] = {
        {"nested 10000 deep", deep.b, "trigger sets nested more than 32 deep", 0},
        {"600 sub-menus", wide.b, "more than 512 trigger sets", 0},
        {"a set that never ends", endless.b, "cut short", endless.b.size()},
        {"a text longer than the file", longText.b, "cut short", 2},
        {"a later version", future.b, "unknown version 14", 4},
        {"empty", {}, "cut short", 0},
    };
    for (const Case& c : cases) {
        const SettingsProblem p = decode(c.file, r);
        EXPECT_EQ(p.what, c.what) << c.name;
        if (c.offset) {
            EXPECT_EQ(p.offset, c.offset) << c.name;
        }
    }
}

TEST(SettingsFile, ValuesOutsideTheirRangesAreClampedSpecialValuesKept)
{
    SettingsRecord in = richRecord();
    in.blockA[kASplitKey] = 300;
    in.blockA[kAMelodyVolume] = 900;
    in.blockA[kAChordMethod] = 9;
    in.blockB[kBPresetIndex] = 900;
    in.blockB[kBPresetButtons] = 600;
    in.blockB[kBPresetButtons + 1] = -1;
    in.blockB[kBChordChannel] = 30;
    in.blockB[kBSliders + 1] = 40;
    in.splitChannel = 16;
    in.velocityVariety = 50;
    in.pitchVariety = -3;
    in.attentionTrigger = 200;
    in.triggerSets[0].entries[5] = {kEntryPreset, {700, 0, -1}, "", "", "", ""};
    in.triggerSets[0].entries[6] = {kEntryChord, {0, 99, -1}, "", "", "", ""};
    in.triggerSets[0].entries[7] = {kEntryFunction, {90, 0, -1}, "", "", "", ""};
    in.triggerSets[0].entries[8] = {kEntryFunction, {105, 0, -1}, "", "", "", ""};
    StyleEntry& e = in.styleEntries[0];
    e.values[kValuePreset] = 999;
    e.values[kValueTempo] = 400;
    e.values[kValueBassVolume] = kEntryUnchanged - 3;
    e.entryHighestChordKey = kEntryUnchanged - 1000;
    in.presets[2].layers[0].layerChannel = 21;
    in.presets[2].layers[0].program = 300;

    SettingsRecord r;
    ASSERT_FALSE(decode(encodeSettings(in), r));
    EXPECT_EQ(r.blockA[kASplitKey], -1);
    EXPECT_EQ(r.blockA[kAMelodyVolume], 200);
    EXPECT_EQ(r.blockA[kAChordMethod], 0);
    EXPECT_EQ(r.blockB[kBPresetIndex], 0);
    EXPECT_EQ(r.blockB[kBPresetButtons], -1);
    EXPECT_EQ(r.blockB[kBPresetButtons + 1], -1);
    EXPECT_EQ(r.blockB[kBPresetButtons + 3], 4);
    EXPECT_EQ(r.blockB[kBChordChannel], 0);
    EXPECT_EQ(r.blockB[kBSliders + 1], 0);
    EXPECT_EQ(r.splitChannel, -1);
    EXPECT_EQ(r.velocityVariety, 10);
    EXPECT_EQ(r.pitchVariety, 0);
    EXPECT_EQ(r.attentionTrigger, 0);
    EXPECT_EQ(r.triggerSets[0].entries[5].type, kEntryEmpty);
    EXPECT_EQ(r.triggerSets[0].entries[6].type, kEntryEmpty);
    EXPECT_EQ(r.triggerSets[0].entries[7].type, kEntryEmpty);
    EXPECT_EQ(r.triggerSets[0].entries[8].values[0], 105);
    EXPECT_EQ(r.styleEntries[0].values[kValuePreset], kEntryUnchanged);
    EXPECT_EQ(r.styleEntries[0].values[kValueTempo], 250);
    EXPECT_EQ(r.styleEntries[0].values[kValueBassVolume], kEntryUnchanged - 3);
    EXPECT_EQ(r.styleEntries[0].values[kValueDrumsVolume], kEntryUnchanged);
    EXPECT_EQ(r.styleEntries[0].entryHighestChordKey, kEntryUnchanged - 1000);
    EXPECT_EQ(r.presets[2].layers[0].layerChannel, 5);
    EXPECT_EQ(r.presets[2].layers[0].program, 127);
}

TEST(SettingsFile, FolderNamesAndEndOfSetWords)
{
    struct Case {
        int kind;
        std::string file, folder;
        std::string wantFile, wantFolder;
    } cases[] = {
        {0, "Rock.sty", "-", "Styles/Rock.sty", "Styles/"},
        {1, "Song.mid", "", "MIDI files/Song.mid", "Styles/"},
        {2, "songs/x.mid", "/home/pi/s", "songs/x.mid", "/home/pi/s/"},
    };
    for (const Case& c : cases) {
        SettingsRecord in = richRecord(), r;
        in.styleEntries[0].kind = c.kind;
        in.styleEntries[0].fileName = c.file;
        in.styleFolder = c.folder;
        ASSERT_FALSE(decode(encodeSettings(in), r));
        EXPECT_EQ(r.styleEntries[0].fileName, c.wantFile);
        EXPECT_EQ(r.styleFolder, c.wantFolder);
    }
    // 9999-32767 end a set; -1 and unknown types are no-ops that still take their key.
    Words f = Words::upToTriggers(3);
    f.w(0).w(kEntryFunction).w(5).w(4).w(-1).w(5).w(kEntryFunction).w(6).w(9).w(32767).w(kEntryFunction).w(7).w(1);
    SettingsRecord r;
    const SettingsProblem p = decode(f.b, r); // the presets of a version 3 file come next: none here
    EXPECT_EQ(p.what, "the presets are no MIDI file");
    EXPECT_EQ(p.offset, f.b.size() - 6);
    EXPECT_EQ(r.triggerSets[0].entries[5].type, kEntryEmpty);
    EXPECT_EQ(r.triggerSets[0].entries[6].values[0], 9);
}

using SettingsLoadTest = testsupport::LiveEngineTest;

TEST_F(SettingsLoadTest, ARecordReachesTheArrangerWholeAndARefusedFileChangesNothing)
{
    const Bytes file = encodeSettings(richRecord());
    SettingsRecord r;
    Bytes cut(file.begin(), file.end() - 1);
    const int splitKey = engine.get(engine.splitKey);
    EXPECT_EQ(loadSettings(engine, cut.data(), cut.size(), "", r).what, "cut short");
    EXPECT_EQ(engine.get(engine.splitKey), splitKey);
    EXPECT_EQ(live().triggerSets.size(), 1u);
    EXPECT_EQ(engine.get(engine.inputSuspended), 0);

    live().setStack = {0, 1};
    live().currentSet = 1;
    ASSERT_FALSE(loadSettings(engine, file.data(), file.size(), "", r));
    EXPECT_EQ(engine.get(engine.inputSuspended), 0);
    EXPECT_EQ(engine.get(engine.splitKey), 59);
    EXPECT_EQ(engine.get(engine.transposition), -2);
    EXPECT_EQ(engine.get(engine.paused), 1);
    EXPECT_EQ(engine.get(engine.presetButtons[3]), 4);
    EXPECT_EQ(engine.get(engine.recordChordsSeqSpecific), 1);
    EXPECT_EQ(engine.get(engine.attentionActive), 0);
    EXPECT_EQ(engine.get(engine.bassVariety), 5);
    EXPECT_EQ(engine.presets[2].name, "Warm Pad");
    EXPECT_EQ(engine.settingsStore->records13.size(), 1u);
    EXPECT_EQ(live().sliders[0][1], 16);
    EXPECT_EQ(live().triggerCodes[4], 25);
    EXPECT_EQ(live().triggerChannels[100], 17);
    EXPECT_EQ(live().functionOrderInverse[kFunctionOrderWords - 1], 0);
    EXPECT_EQ(live().triggerSets.size(), 2u);
    EXPECT_EQ(live().styleEntries.size(), 1u);
    EXPECT_EQ(live().currentSet, 0);
    EXPECT_EQ(live().setStack, std::vector<int32_t>{0});
    EXPECT_EQ(engine.port->channelPort(2), 2);
    EXPECT_EQ(engine.port->defaultPortNumber, 3);
}

} // namespace
