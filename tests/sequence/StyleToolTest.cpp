// The companion tool's "style" subcommand: one JSON line with the style
// record's fields, whose values match tools/style_reference.py. What it
// refuses is tested with the other subcommands in SmfCorpusTest.
#include "StyleWriter.h"

#include "base/MessageSink.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

namespace {

using nlohmann::json;

using testsupport::ToolRun;

std::set<std::string> keysOf(const json& v)
{
    std::set<std::string> keys;
    for (const auto& [k, value] : v.items()) keys.insert(k);
    return keys;
}

// The tool's document against the reference, key by key. Its keys are the
// reference's, less the file name and segment list, plus each part's startevent.
// Both write bytes above 0x7E as \u00XX, so equal texts are equal strings here.
void expectSame(const json& got, const json& want, const std::string& at)
{
    if (got.is_object()) {
        std::set<std::string> keys = keysOf(want);
        for (const char* k : {"file", "segments"}) keys.erase(k);
        if (want.contains("tracks")) keys.insert("startevent");
        EXPECT_EQ(keysOf(got), keys) << at;
        for (const auto& [k, v] : got.items())
            if (k != "startevent" && want.contains(k)) expectSame(v, want[k], at + "." + k);
    } else if (got.is_array()) {
        ASSERT_EQ(got.size(), want.size()) << at;
        for (size_t k = 0; k < got.size(); ++k) expectSame(got[k], want[k], at + "." + std::to_string(k));
    } else {
        EXPECT_EQ(got, want) << at;
    }
}

TEST(StyleTool, PrintsTheStyleAsLoaded)
{
    stylewriter::StyleWriter w(480, 3, 4, 87);
    w.part("Intro A", 2).part("Main A", 3).part("Fill In AB", 5);
    w.controller(0, 1, 0, 8).controller(0, 1, 7, 90);
    for (int bar = 2; bar <= 5; ++bar) w.note(w.at(bar), 1, 60, 70, 400).note(w.at(bar), 9, 36, 100, 100);
    stylewriter::ChannelTable t;
    t.source = 1, t.dest = 3, t.name = "Quote\"\\"; // escaped in the JSON
    // A second-format table: a bass range below the middle and its own rules
    // above, and a Cntt for Main A only, whose table 5 a guitar middle range
    // does not have (channel 10 then plays bass).
    w.sff = 2;
    stylewriter::ChannelTable g;
    g.ctb2 = true, g.source = 10, g.middleLow = 48, g.middleHigh = 95, g.ntr = 2, g.ntt = 1, g.highKey = 7;
    g.low = {0, 0x81, 5, 36, 47, 2}, g.high = {1, 7, 6, 60, 100, 1};
    stylewriter::Segment seg, main;
    seg.sdec = "Intro A,Main A", seg.tables = {t, g};
    main.sdec = "Main A", main.otherChunks = {{"Cntt", stylewriter::tableOverride(10, 5)}};
    w.segment(seg).segment(main);
    testsupport::TempDir dir;
    const stylewriter::Bytes b = w.build();
    dir.write("w.sty", std::string(b.begin(), b.end()));

    const ToolRun r = testsupport::runTool({"style", dir.file("w.sty")});
    EXPECT_EQ(std::make_tuple(r.status, r.err), std::make_tuple(0, std::string()));
    ASSERT_EQ(r.out.find('\n'), r.out.size() - 1); // one line
    const ToolRun ref = testsupport::runProgram({"python3", std::string(VTN_SOURCE_DIR) + "/tools/style_reference.py", dir.file("w.sty")});
    const json doc = json::parse(r.out, nullptr, false), want = json::parse(ref.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out.substr(0, 200);
    ASSERT_FALSE(want.is_discarded()) << ref.err;
    expectSame(doc, want, "doc");

    // The one field the reference does not know: where each part's marker is.
    CStyle s;
    vtn::CMessageCapture quiet;
    ASSERT_GT(s.readStyle(b.data(), static_cast<int>(b.size()), {}), 0);
    ASSERT_EQ(doc.at("parts").size(), s.parts.size());
    for (size_t k = 0; k < s.parts.size(); ++k) EXPECT_EQ(doc["parts"][k].at("startevent"), s.parts[k].startevent) << k;
}

} // namespace
