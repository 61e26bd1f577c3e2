// The companion tool's "settings" and "settings-write": a settings file shown
// as JSON and written back gives the same bytes, and a document the writer
// cannot take is refused with one line saying where.
#include "JsonBytes.h"
#include "RichSettings.h"
#include "sequence/SequenceOptions.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using nlohmann::json;

using Outcome = testsupport::ToolRun;
using richsettings::richRecord;
const auto tool = [](const std::vector<std::string>& args) { return testsupport::runTool(args); };

// The rich record's file as the arranger writes it back, its folders resolved.
std::vector<uint8_t> richFile()
{
    const std::vector<uint8_t> first = encodeSettings(richRecord());
    SettingsRecord r;
    decodeSettings(first.data(), first.size(), "", SequenceOptions{}, r);
    return encodeSettings(r);
}

TEST(SettingsTool, ShowsEveryFieldByNameAndWritesTheSameFileBack)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> bytes = richFile();
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
    EXPECT_EQ(jsonbytes::textOf(d.at("header")), richRecord().header);
    EXPECT_EQ(std::make_tuple(d.at("transposition"), d.at("drumsVolume"), d.at("splitKey"), d.at("harmonyVolume")),
              std::make_tuple(-2, 90, 59, 60));
    EXPECT_EQ(d.at("sliders").at(0), json({{"slider", "tempo"}, {"controllerPlus1", 8}, {"channel", 16}}));
    EXPECT_EQ(d.at("triggers"), json::parse(R"([{"entry":4,"function":"Start/Stop","code":25,"channel":0},
                                                {"entry":100,"function":"Preset button 0","code":61,"channel":17}])"));
    EXPECT_EQ(d.at("triggerSets").at(0).at("entries").at(1), json({{"key", 1}, {"type", "chord"}, {"root", 2}, {"chordType", 1}, {"bass", 7}}));
    EXPECT_EQ(d.at("styleEntries").at(0).at("tempo"), 96);
    EXPECT_EQ(d.at("presets").size(), 3u);
    EXPECT_EQ(d.at("presets").at(0).at("layers").size(), 2u); // up to the last layer in use
}

TEST(SettingsTool, RefusesWhatTheFileCannotHoldWithOneLineSayingWhere)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> bytes = richFile();
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
         "triggerSets[0].entries[5].set: set 1 is named by another entry too"},
        {[](json& d) { d["triggerSets"][0]["entries"][3]["styleEntry"] = 2; }, "triggerSets[0].entries[3].styleEntry: no style entry 2"},
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
