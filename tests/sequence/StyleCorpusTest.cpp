// The real style files of the shared corpus (a 3/4 waltz at 1920 ticks per
// beat, a funk style at 192, a samba at 1920 with extra tables and chunks
// after CASM, and two second-format styles whose Ctb2 tables have low and
// high ranges) against tools/style_reference.py, which reads the raw bytes
// on its own: every part and every channel of every part.
#include "JsonBytes.h"
#include "SequenceTestUtil.h"

#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace {

using nlohmann::json;

// Numbers as "1,2,3,": from the loaded style, and from the script's JSON
// (integers, or arrays of them) by key.
template <typename T> std::string ints(const T* v, int n)
{
    std::string s;
    for (int k = 0; k < n; ++k) s += std::to_string(v[k]) + ",";
    return s;
}
std::string ints(std::initializer_list<int> v) { return ints(v.begin(), static_cast<int>(v.size())); }
std::string ints(const json& v, std::initializer_list<const char*> keys)
{
    std::string s;
    for (const char* k : keys)
        for (const json& x : v.at(k).is_array() ? v.at(k) : json::array({v.at(k)}))
            s += std::to_string(x.get<int64_t>()) + ",";
    return s;
}

// A Ctb2 channel adds its middle range and the low, middle and high blocks,
// "-" for a range it does not have.
std::string ranges(const PartChannel& c)
{
    std::string s = "|" + ints({c.middleLow, c.middleHigh});
    for (int k = 0; k < 3; ++k) {
        const RangeBlock& b = c.blocks[k];
        s += c.hasRange(k) ? "|" + ints({b.ntr, b.ntt, b.bassOn, b.highKey, b.lowLimit, b.highLimit, b.rtr}) : "|-";
    }
    return s;
}
std::string ranges(const json& c)
{
    std::string s = "|" + ints(c, {"middleLow", "middleHigh"});
    for (const char* k : {"low", "middle", "high"})
        s += c.at(k).is_null() ? "|-" : "|" + ints(c[k], {"ntr", "ntt", "bassOn", "highKey", "lowLimit", "highLimit", "rtr"});
    return s;
}

std::string line(const PartChannel& c)
{
    return c.name + "|" + ints({c.dest, c.editable, c.drum, c.sourceChord.root, c.sourceChord.type, c.ntr, c.ntt, c.highKey,
                                c.lowLimit, c.highLimit, c.rtr}) + ints(c.noteMute, 2) + ints(c.chordMute, 5) +
           (c.ranged ? ranges(c) : "");
}
// The script writes each name byte as \u00XX; the reader keeps the bytes.
std::string line(const json& c)
{
    return jsonbytes::textOf(c.at("name")) + "|" + ints(c, {"dest", "editable", "drum"}) + ints(c["sourceChord"], {"root", "type"}) +
           ints(c, {"ntr", "ntt", "highKey", "lowLimit", "highLimit", "rtr", "noteMute", "chordMute"}) +
           (c.contains("middle") ? ranges(c) : "");
}

class StyleCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(StyleCorpus, MatchesTheReferenceScript)
{
    const std::string path = testsupport::corpusDir() + "/styles/" + GetParam();
    if (testsupport::corpusDir().empty() || !testsupport::fileExists(path)) GTEST_SKIP() << "no corpus style " << GetParam();
    const auto ref = testsupport::runProgram({"python3", std::string(VTN_SOURCE_DIR) + "/tools/style_reference.py", path});
    ASSERT_EQ(ref.status, 0) << ref.err;
    const json want = json::parse(ref.out, nullptr, false);
    ASSERT_FALSE(want.is_discarded());

    const std::string bytes = testsupport::readFile(path);
    CKvSeq engine;
    ASSERT_EQ(engine.loadStyle(0, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()), path), 0);
    const CStyle* style = engine.styles[0];
    seqtest::expectConsistent(*style);
    EXPECT_EQ(engine.get(engine.play.tempo), style->tempo);
    EXPECT_EQ(ints({style->sff, style->tempo, style->numerator, style->denominator, style->ticksPerBeat, style->averageVolume,
                    style->averageVelocity}) + ints(style->destUsed, 16) + ints(style->destBank8, 16),
              ints(want, {"sff", "tempo", "numerator", "denominator", "ticksPerBeat", "averageVolume", "averageVelocity", "destUsed",
                          "destBank8"}));
    ASSERT_EQ(style->parts.size(), want.at("parts").size());
    for (size_t k = 0; k < style->parts.size(); ++k) {
        const StylePart& part = style->parts[k];
        const json& w = want["parts"][k];
        EXPECT_EQ(part.name + "|" + ints({part.type, part.level1, part.level2, part.bars, part.offsettime}) + ints(part.tracks, 16),
                  jsonbytes::textOf(w.at("name")) + "|" + ints(w, {"type", "level1", "level2", "bars", "offsettime", "tracks"}));
        for (int c = 0; c < 16; ++c) EXPECT_EQ(line(part.channels[c]), line(w.at("channels").at(size_t(c)))) << part.name << " " << c;
        if (k == 0) continue; // each other part begins at its marker, on its bar line
        ASSERT_GE(part.startevent, kFirstEvent);
        const auto& m = style->events[part.startevent];
        EXPECT_EQ(std::make_tuple(m.stat, m.string, m.ticks), std::make_tuple(int{kStatMarker}, part.name, part.offsettime));
    }
}

INSTANTIATE_TEST_SUITE_P(Style, StyleCorpus,
                         ::testing::Values("JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty", "8Beat.T160.STY",
                                           "ModPickin!.T151.STY"),
                         [](const auto& p) {
                             std::string name = std::string(p.param).substr(0, std::string(p.param).find('.'));
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

} // namespace