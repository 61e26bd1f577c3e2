// The companion tool's "settings" and "settings-write": a settings file shown
// as JSON and written back gives the same bytes, and a document the writer
// cannot take is refused with one line saying where.
#include "JsonBytes.h"
#include "app/SettingsFile.h"
#include "input/FunctionCatalogue.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

using nlohmann::json;

using Outcome = testsupport::ToolRun;
const auto tool = [](const std::vector<std::string>& args) { return testsupport::runTool(args); };

// Something in every section, every text with bytes JSON must escape, and
// sets and registrations numbered in the order the file nests them.
SettingsRecord everySection()
{
    SettingsRecord r;
    r.header = std::string("Set\0up \xE9\xFF\"\\\n", 12);
    r.editorFlag = 3;
    r.blockA[kATransposition] = -2;
    r.blockA[kADrumsOff] = 1;
    r.blockA[kASplitKey] = 54;
    r.secondFolder = "Songs/";
    r.startStyle = "Styles/Pop\xFC.sty";
    r.blockB[kBKept6] = 7;
    r.blockB[kBHarmonyVolume] = 90;
    r.blockB[kBPresetButtons + 1] = 12;
    r.blockB[kBSliders + 2] = 8; // drums slider: controller 7
    r.blockB[kBSliders + 3] = 2;
    r.blockB[kBTriggers + 2 * kFnStartStop] = kNoteCodeBase + 60;
    r.blockB[kBTriggers + 2 * kFnStartStop + 1] = kAfterAttention;
    r.upperTriggers[50][0] = kProgramCodeBase + 3;

    r.triggerSets.resize(3);
    TriggerEntry* root = r.triggerSets[0].entries;
    root[0].type = kEntryFunction, root[0].values[0] = kFnMainB;
    root[1].type = kEntryPreset, root[1].values[0] = 7;
    root[2].type = kEntryChord, root[2].values[0] = 2, root[2].values[1] = 3;
    root[3].type = kEntryNote, root[3].values[0] = 64;
    root[4] = {kEntryMidiText, {0, 0, -1}, "Arr\xE4nger", "on", "F0 7E 7F F7", "B0 07 00"};
    root[5] = {kEntryStyle, {0, 0, -1}, "Rock", "", "", ""};
    root[6] = {kEntrySubMenu, {1, 0, -1}, "More", "\x01", "", ""};
    r.triggerSets[1].attribute = 1;
    r.triggerSets[1].entries[10] = {kEntrySubMenu, {2, 0, -1}, "Deeper", "", "", ""};
    r.triggerSets[1].entries[11] = {kEntryStyle, {1, 0, -1}, "Song", "", "", ""};
    r.triggerSets[2].entries[0].type = kEntryFunction;
    r.triggerSets[2].entries[0].values[0] = kFnExitMenu;

    r.styleEntries.resize(2);
    StyleEntry& rock = r.styleEntries[0];
    rock.fileName = "Styles/Rock.sty", rock.partName = "Main B", rock.text4 = "t\xF6", rock.text5 = "5";
    rock.values[kValueTempo] = 120, rock.values[kValuePreset] = 3, rock.values[kValueDrumsVolume] = 90;
    rock.keptValues[1] = 2, rock.entrySplitKey = 60, rock.entryHighestChordKey = 50;
    StyleEntry& song = r.styleEntries[1];
    song.kind = 1, song.fileName = "MIDI files/Song.mid", song.text2 = "lyrics", song.partName = "*";

    for (int i = 0; i < kFunctionOrderWords; ++i) r.functionOrder[i] = kFunctionOrderWords - 1 - i;
    r.presets[3].name = "Piano\xA0";
    r.presets[3].layers[0].program = 5;
    r.presets[3].layers[1].volume = 90;
    r.presets[10].name = "Named, all layers free";
    r.presets[499].layers[3].pan = 0;
    r.channelPorts[9] = 3;
    r.bankMsb = 1, r.bankLsb = 2, r.chordRecognitionOff = 1, r.splitChannel = 3;
    r.inputFlags[0] = 1;
    r.velocityVariety = 2, r.pitchVariety = 3, r.bassVariety = 4;
    r.attentionEnabled = 1, r.attentionChannel = 5, r.attentionTrigger = 61, r.attentionReserve = 7;
    r.records13.push_back({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -13});
    r.records6.push_back({-1, 0, 1, 2, 3, 32767});
    r.integers = {-5, 300};
    r.texts = {"a\xFF", ""};
    return r;
}

TEST(SettingsTool, ShowsEveryFieldByNameAndWritesTheSameFileBack)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> bytes = encodeSettings(everySection());
    dir.write("vtn.cfg", std::string(bytes.begin(), bytes.end()));
    const Outcome shown = tool({"settings", dir.file("vtn.cfg")});
    ASSERT_EQ(shown.status, 0) << shown.err;
    dir.write("vtn.json", shown.out);
    const Outcome written = tool({"settings-write", dir.file("vtn.json"), dir.file("again.cfg")});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(testsupport::readFile(dir.file("again.cfg")), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(tool({"settings", dir.file("again.cfg")}).out, shown.out);
    EXPECT_EQ(json::parse(written.out).at("bytes"), bytes.size());

    // The names say what the words are.
    const json d = json::parse(shown.out);
    EXPECT_EQ(jsonbytes::textOf(d.at("header")), everySection().header);
    EXPECT_EQ(std::make_tuple(d.at("transposition"), d.at("drumsOffWord"), d.at("splitKey"), d.at("blockB6"), d.at("harmonyVolume")),
              std::make_tuple(-2, 1, 54, 7, 90));
    EXPECT_EQ(d.at("sliders").at(1), json({{"slider", "drums"}, {"controllerPlus1", 8}, {"channel", 2}}));
    EXPECT_EQ(d.at("triggers"), json::parse(R"([{"entry":4,"function":"Start/Stop","code":61,"channel":17},
                                                {"entry":150,"function":"Preset button 50","code":260,"channel":0}])"));
    EXPECT_EQ(d.at("triggerSets").at(0).at("entries").at(2), json({{"key", 2}, {"type", "chord"}, {"root", 2}, {"chordType", 3}, {"bass", -1}}));
    EXPECT_EQ(d.at("styleEntries").at(0).at("drumsVolume"), 90);
    EXPECT_EQ(d.at("presets").size(), 3u);
    EXPECT_EQ(d.at("presets").at(0).at("layers").size(), 2u);
}

TEST(SettingsTool, RefusesWhatTheFileCannotHoldWithOneLineSayingWhere)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> bytes = encodeSettings(everySection());
    dir.write("vtn.cfg", std::string(bytes.begin(), bytes.end()));
    const json good = json::parse(tool({"settings", dir.file("vtn.cfg")}).out);

    struct Case {
        std::function<void(json&)> change; // null: the text is "{"header": "
        std::string message;
    };
    const std::vector<Case> cases = {
        {nullptr, "malformed JSON at byte 12: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal"},
        {[](json& d) { d.erase("presets"); }, "missing \"presets\""},
        {[](json& d) { d["triggerSets"][1]["entries"][0].erase("key"); }, "triggerSets[1].entries[0]: missing \"key\""},
        {[](json& d) { d["triggerSets"][1]["entries"][0]["set"] = 0; }, "triggerSets[1].entries[0].set: set 0 is not a later set"},
        {[](json& d) { d["triggerSets"][0]["entries"].push_back({{"key", 7}, {"type", "subMenu"}, {"label", ""}, {"label2", ""}, {"set", 1}}); },
         "triggerSets[0].entries[7].set: set 1 is named by another entry too"},
        {[](json& d) { d["triggerSets"][0]["entries"][5]["styleEntry"] = 2; }, "triggerSets[0].entries[5].styleEntry: no style entry 2"},
        {[](json& d) { d["transposition"] = 40000; }, "transposition: 40000 is outside -32768..32767"},
        {[](json& d) { d["presets"][0]["number"] = 500; }, "presets[0].number: 500 is outside 0..499"},
        {[](json& d) { d["texts"][0] = "\u0100"; }, "texts[0]: a character above U+00FF (texts are bytes)"},
    };
    for (const Case& c : cases) {
        json d = good;
        if (c.change) c.change(d);
        dir.write("in.json", c.change ? d.dump() : "{\"header\": ");
        const Outcome r = tool({"settings-write", dir.file("in.json"), dir.file("out.cfg")});
        EXPECT_EQ(std::make_tuple(r.status, r.out, r.err),
                  std::make_tuple(1, std::string(), "veltrona-tool: " + dir.file("in.json") + ": " + c.message + "\n"));
        EXPECT_FALSE(testsupport::fileExists(dir.file("out.cfg")));
    }
}

} // namespace
