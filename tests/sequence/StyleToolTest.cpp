// The companion tool's "style" subcommand: one JSON object whose keys are
// the style record's fields and whose values are what the reader loaded.
#include "JsonLite.h"
#include "StyleWriter.h"

#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <sys/wait.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome styleTool(const std::string& file)
{
    const std::string tool =
        (std::filesystem::path(VTN_BINARY).parent_path() / "tools/veltrona-tool/veltrona-tool").string();
    testsupport::TempDir tmp;
    Outcome r;
    std::FILE* p = popen((tool + " style '" + file + "' 2>'" + tmp.file("err") + "'").c_str(), "r");
    if (!p) return r;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = testsupport::readFile(tmp.file("err"));
    return r;
}

std::set<std::string> keysOf(const jsonlite::Value& v)
{
    std::set<std::string> keys;
    for (const auto& [k, value] : v.o) keys.insert(k);
    return keys;
}

template <typename T> void expectArray(const jsonlite::Value& v, const T* want, size_t n, const std::string& what)
{
    ASSERT_EQ(v.kind, jsonlite::Value::Array) << what;
    ASSERT_EQ(v.a.size(), n) << what;
    for (size_t k = 0; k < n; ++k) EXPECT_EQ(v[k].integer(), static_cast<int64_t>(want[k])) << what << "[" << k << "]";
}

// The tool's document against the style loaded here from the same bytes.
void expectDocumentOf(const std::string& path, const std::string& out)
{
    const std::string bytes = testsupport::readFile(path);
    CKvSeq engine;
    auto s = std::make_unique<CStyle>(&engine);
    s->messageOut = nullptr;
    ASSERT_GT(s->readStyle(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size())), 0);

    jsonlite::Value doc;
    ASSERT_TRUE(jsonlite::Parser(out).parse(doc)) << out.substr(0, 200);
    EXPECT_EQ(keysOf(doc), (std::set<std::string>{"tempo", "numerator", "denominator", "ticksPerBeat", "averageVolume",
                                                  "averageVelocity", "destUsed", "destBank8", "parts"}));
    EXPECT_EQ(doc["tempo"].integer(), s->tempo);
    EXPECT_EQ(doc["numerator"].integer(), s->numerator);
    EXPECT_EQ(doc["denominator"].integer(), s->denominator);
    EXPECT_EQ(doc["ticksPerBeat"].integer(), s->ticksPerBeat);
    EXPECT_EQ(doc["averageVolume"].integer(), s->averageVolume);
    EXPECT_EQ(doc["averageVelocity"].integer(), s->averageVelocity);
    expectArray(doc["destUsed"], s->destUsed, 16, "destUsed");
    expectArray(doc["destBank8"], s->destBank8, 16, "destBank8");
    ASSERT_EQ(doc["parts"].a.size(), s->parts.size());
    for (size_t k = 0; k < s->parts.size(); ++k) {
        const StylePart& p = s->parts[k];
        const jsonlite::Value& jp = doc["parts"][k];
        const std::string where = "part " + p.name;
        EXPECT_EQ(keysOf(jp), (std::set<std::string>{"name", "type", "level1", "level2", "bars", "offsettime",
                                                     "startevent", "tracks", "channels"}));
        EXPECT_EQ(jp["name"].s, p.name);
        EXPECT_EQ(std::make_tuple(jp["type"].integer(), jp["level1"].integer(), jp["level2"].integer(),
                                  jp["bars"].integer(), jp["offsettime"].integer(), jp["startevent"].integer()),
                  std::make_tuple(int64_t{p.type}, int64_t{p.level1}, int64_t{p.level2}, int64_t{p.bars},
                                  int64_t{p.offsettime}, int64_t{p.startevent}))
            << where;
        expectArray(jp["tracks"], p.tracks, 16, where + " tracks");
        ASSERT_EQ(jp["channels"].a.size(), 16u) << where;
        for (int c = 0; c < 16; ++c) {
            const PartChannel& ch = p.channels[c];
            const jsonlite::Value& jc = jp["channels"][static_cast<size_t>(c)];
            const std::string at = where + " channel " + std::to_string(c);
            EXPECT_EQ(keysOf(jc), (std::set<std::string>{"dest", "name", "editable", "noteMute", "chordMute", "drum",
                                                         "sourceChord", "ntr", "ntt", "highKey", "lowLimit",
                                                         "highLimit", "rtr"}))
                << at;
            EXPECT_EQ(jc["name"].s, ch.name) << at;
            EXPECT_EQ(keysOf(jc["sourceChord"]), (std::set<std::string>{"root", "type"})) << at;
            const std::vector<int64_t> got = {jc["dest"].integer(), jc["editable"].integer(), jc["drum"].integer(),
                                              jc["sourceChord"]["root"].integer(), jc["sourceChord"]["type"].integer(),
                                              jc["ntr"].integer(), jc["ntt"].integer(), jc["highKey"].integer(),
                                              jc["lowLimit"].integer(), jc["highLimit"].integer(), jc["rtr"].integer()};
            const std::vector<int64_t> want = {ch.dest, ch.editable, ch.drum, ch.sourceChord.root, ch.sourceChord.type,
                                               ch.ntr, ch.ntt, ch.highKey, ch.lowLimit, ch.highLimit, ch.rtr};
            EXPECT_EQ(got, want) << at;
            expectArray(jc["noteMute"], ch.noteMute, 2, at + " noteMute");
            expectArray(jc["chordMute"], ch.chordMute, 5, at + " chordMute");
        }
    }
}

TEST(StyleTool, PrintsTheStyleAsLoaded)
{
    stylewriter::StyleWriter w(480, 3, 4, 87);
    w.part("Intro A", 2).part("Main A", 3).part("Fill In AB", 5);
    w.controller(0, 1, 0, 8).controller(0, 1, 7, 90);
    for (int bar = 2; bar <= 5; ++bar) w.note(w.at(bar), 1, 60, 70, 400).note(w.at(bar), 9, 36, 100, 100);
    stylewriter::Segment seg;
    seg.sdec = "Intro A,Main A";
    stylewriter::ChannelTable t;
    t.source = 1;
    t.name = "Quote\"\\";
    t.dest = 3;
    seg.tables = {t};
    w.segment(seg);
    testsupport::TempDir dir;
    const stylewriter::Bytes b = w.build();
    dir.write("written.sty", std::string(b.begin(), b.end()));
    const Outcome r = styleTool(dir.file("written.sty"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1); // one line
    expectDocumentOf(dir.file("written.sty"), r.out);

    const std::string corpus = testsupport::corpusDir();
    if (corpus.empty()) return;
    for (const char* name : {"JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty"}) {
        const std::string path = corpus + "/styles/" + name;
        if (!testsupport::fileExists(path)) continue;
        const Outcome c = styleTool(path);
        EXPECT_EQ(c.status, 0) << name;
        expectDocumentOf(path, c.out);
    }
}

TEST(StyleTool, RefusesWhatIsNoStyleWithOneLine)
{
    testsupport::TempDir dir;
    dir.write("text.sty", "this is no style at all");
    for (const std::string& file : {dir.file("text.sty"), dir.file("missing.sty")}) {
        const Outcome r = styleTool(file);
        EXPECT_EQ(r.status, 1) << file;
        EXPECT_EQ(r.out, "") << file;
        ASSERT_FALSE(r.err.empty()) << file;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
    }
}

} // namespace
