// The settings file: every section through the writer and back, at every
// version of the layout; hostile files; and the hand-over to the arranger.
#include "app/SettingsFile.h"
#include "engine/CKvSeq.h"
#include "engine/CSettingsStore.h"
#include "input/CLiveInput.h"
#include "sequence/SequenceOptions.h"
#include "support/LiveEngine.h"
#include "RichSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using richsettings::embeddedPresets;
using richsettings::richRecord;

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
    ASSERT_EQ(std::make_pair(r.triggerSets.size(), r.styleEntries.size()), std::make_pair(size_t{3}, size_t{2}));
    const TriggerEntry *root = r.triggerSets[0].entries, *more = r.triggerSets[1].entries;
    const StyleEntry& e = r.styleEntries[0];
    const PresetLayer& l = r.presets[2].layers[1];
    EXPECT_EQ(std::make_tuple(r.version, r.blockA[kATransposition], r.blockA[kAConfirmRestart], r.blockB[kBTriggers + 8],
                              r.attentionChannel, e.values[kValueTempo], e.text4),
              std::make_tuple(v, -2, 1, 25, 2, 96, std::string("four")));
    EXPECT_EQ(r.styleFolder + "|" + r.secondFolder + "|" + r.startStyle + "|" + e.fileName,
              "MyStyles/|/base/|MyStyles/Pop.sty|/base/Styles/Rock.sty");
    EXPECT_EQ(std::make_tuple(r.triggerSets[0].attribute, root[0].values[0], root[1].values[2], root[2].pressText, root[4].values[0],
                              r.triggerSets[1].attribute, more[10].values[0], more[11].values[0], more[127].values[0]),
              std::make_tuple(0, 4, 7, std::string("B0 50 7F"), 1, 1, 2, 1, 72));
    EXPECT_EQ(std::make_tuple(r.presets[2].name, r.presets[3].name, l.type, l.octaveShift, l.program, l.volume, l.reverb),
              std::make_tuple(std::string("Warm Pad"), std::string(kFreePresetName), 5, 2, 89, 90, 64));

    // {what, as read, as written, the default of older files, the version it came with}
    const std::tuple<const char*, int, int, int, int> items[] = {
        {"editor flag", r.editorFlag, 7, 0, 4},
        {"block B 240", r.blockB[kBKept240], 0, 1, 5},
        {"function order", r.hasFunctionOrder ? (r.functionOrder[0] == kFunctionOrderWords - 1 ? 1 : -1) : 0, 1, 0, 6},
        {"channel ports", r.channelPorts[1], 1, 3, 7},
        {"bank MSB", r.bankMsb, 1, 0, 7},
        {"upper triggers", r.upperTriggers[0][0], 61, 0, 7},
        {"split channel", r.splitChannel, 3, -1, 7},
        {"input flags", r.inputFlags[0], 1, 0, 7},
        {"texts", int(r.texts.size()), 1, 0, 7},
        {"presets as a file", r.embeddedPresets.empty(), 1, 0, 7},
        {"bass variety", r.bassVariety, 5, 0, 8},
        {"attention trigger", r.attentionTrigger, 49, 0, 9},
        {"entry split key", e.entrySplitKey, 60, 59 - 1000, 11},
        {"entry highest chord key", e.entryHighestChordKey, kEntryUnchanged - 1000, 52 - 1000, 11},
        {"block B 241", r.blockB[kBSeqSpecificChords], 1, 0, 12},
        {"records", int(r.records13.size() * 10 + r.records6.size()), 11, 0, 13},
    };
    for (const auto& [what, got, written, before, from] : items) EXPECT_EQ(got, v >= from ? written : before) << what;
    EXPECT_EQ(l.layerChannel, v >= 10 ? 3 : 1); // before 10: layer i on channel i
    EXPECT_EQ(e.text2 + "|" + root[2].label2 + "|" + root[2].releaseText, std::string(v >= 3 ? "two" : "") + (v >= 7 ? "|on|B0 50 00" : "||"));
    if (v < 7) {
        EXPECT_EQ(std::make_tuple(r.presets[0].name, r.presets[2].layers[3].type, r.presets[2].layers[3].layerChannel),
                  std::make_tuple(std::string("Piano"), 1, 3));
        EXPECT_EQ(r.embeddedPresets, embeddedPresets());
    }
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
    const int32_t* b = r.blockB;
    EXPECT_EQ(std::make_tuple(r.blockA[kASplitKey], r.blockA[kAMelodyVolume], r.blockA[kAChordMethod], b[kBPresetIndex],
                              b[kBPresetButtons], b[kBPresetButtons + 1], b[kBPresetButtons + 3], b[kBChordChannel], b[kBSliders + 1]),
              std::make_tuple(-1, 200, 0, 0, -1, -1, 4, 0, 0));
    EXPECT_EQ(std::make_tuple(r.splitChannel, r.velocityVariety, r.pitchVariety, r.attentionTrigger), std::make_tuple(-1, 10, 0, 0));
    const TriggerEntry* root = r.triggerSets[0].entries;
    EXPECT_EQ(std::make_tuple(root[5].type, root[6].type, root[7].type, root[8].values[0]),
              std::make_tuple(kEntryEmpty, kEntryEmpty, kEntryEmpty, 105));
    const StyleEntry& got = r.styleEntries[0];
    EXPECT_EQ(std::make_tuple(got.values[kValuePreset], got.values[kValueTempo], got.values[kValueBassVolume],
                              got.values[kValueDrumsVolume], got.entryHighestChordKey),
              std::make_tuple(kEntryUnchanged, 250, kEntryUnchanged - 3, kEntryUnchanged, kEntryUnchanged - 1000));
    EXPECT_EQ(std::make_pair(r.presets[2].layers[0].layerChannel, r.presets[2].layers[0].program), std::make_pair(5, 127));
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
    const int splitKey = engine.get(engine.areas.splitKey);
    EXPECT_EQ(loadSettings(engine, cut.data(), cut.size(), "", r).what, "cut short");
    EXPECT_EQ(std::make_tuple(engine.get(engine.areas.splitKey), live().triggerSets.size(), engine.get(engine.play.inputSuspended)),
              std::make_tuple(splitKey, size_t{1}, uint8_t{0}));

    live().setStack = {0, 1};
    live().currentSet = 1;
    ASSERT_FALSE(loadSettings(engine, file.data(), file.size(), "", r));
    EXPECT_EQ(std::make_tuple(engine.get(engine.play.inputSuspended), engine.get(engine.areas.splitKey), engine.get(engine.play.transposition),
                              engine.get(engine.play.paused), engine.get(engine.defaults.presetButtons[3]), engine.get(engine.recordState.recordChordsSeqSpecific),
                              engine.get(engine.attention.attentionActive), engine.get(engine.mixer.bassVariety)),
              std::make_tuple(0, 59, -2, 1, 4, 1, 0, 5));
    EXPECT_EQ(std::make_pair(engine.presets[2].name, engine.settingsStore->records13.size()), std::make_pair(std::string("Warm Pad"), size_t{1}));
    EXPECT_EQ(std::make_tuple(live().sliders[0][1], live().triggerCodes[4], live().triggerChannels[100],
                              live().functionOrderInverse[kFunctionOrderWords - 1], engine.port->channelPort(2), engine.port->defaultPortNumber),
              std::make_tuple(16, 25, 17, 0, 2, 3));
    EXPECT_EQ(std::make_tuple(live().triggerSets.size(), live().styleEntries.size(), live().currentSet, live().setStack),
              std::make_tuple(size_t{3}, size_t{2}, 0, std::vector<int32_t>{0}));
}

// The numbers the decoder leaves as they are reach the engine within their
// rows: a left-voices switch of 2 made "Left on/off" flip it between -1 and 2,
// both off, so the left-hand voices could never be switched on again.
TEST_F(SettingsLoadTest, NumbersOutsideTheirRowsAreClampedOnTheWayIn)
{
    SettingsRecord in;
    const struct {
        int32_t& word;
        int32_t hostile;
        const int32_t& field;
        int32_t clamped;
    } rows[] = {
        {in.blockA[kALeftVoicesOff], 2, engine.mixer.leftVoicesOff, 1},
        {in.blockA[kATransposition], -3000, engine.play.transposition, -127},
        {in.blockB[kBStyleBankSelect], 9, engine.defaults.styleBankSelect, 2},
        {in.blockB[kBStyleSysEx], -4, engine.defaults.styleSysEx, 0},
        {in.blockB[kBDefaultPan], -1, engine.defaults.defaultPan, 0},
        {in.bankMsb, 300, engine.defaults.bankMsb, 127},
        {in.attentionChannel, 99, engine.attention.attentionChannel, 16},
        {in.attentionEnabled, 5, engine.attention.attentionEnabled, 1},
    };
    for (const auto& row : rows) row.word = row.hostile;
    const Bytes file = encodeSettings(in);
    SettingsRecord r;
    ASSERT_FALSE(loadSettings(engine, file.data(), file.size(), "", r));
    for (const auto& row : rows) EXPECT_EQ(engine.get(row.field), row.clamped) << "word " << row.hostile;
    live().callFunction(33, 1);
    EXPECT_EQ(engine.get(engine.mixer.leftVoicesOff), 0);
}

} // namespace
