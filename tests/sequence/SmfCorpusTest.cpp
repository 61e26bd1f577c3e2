// The reader against the public MIDI test corpus, compared with an
// independent reader (mido, through tools/smf_reference.py), and the
// companion tool's "smf" and "smf-copy" subcommands and its refusals.
#include "JsonBytes.h"
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

using smftest::Bytes;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testsupport::ToolRun;
using testsupport::runTool;

// The Debian interpreter first: a python3 earlier on the path may lack mido.
std::string pythonWithMido()
{
    for (const char* python : {"/usr/bin/python3", "python3"})
        if (testsupport::runProgram({python, "-c", "import mido"}).status == 0) return python;
    return {};
}

std::string smfCorpus()
{
    const std::string dir = testsupport::corpusDir();
    return dir.empty() || !fs::is_directory(dir + "/smf") ? std::string() : dir + "/smf";
}

std::vector<std::string> corpusFiles(const std::string& dir)
{
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".mid") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

Bytes fileBytes(const std::string& path)
{
    Bytes b;
    for (char c : testsupport::readFile(path)) b.v.push_back(static_cast<uint8_t>(c));
    return b;
}

// Reference figures per file name. Texts the script read as latin-1 come as
// \u00XX: jsonbytes::textOf gives back their bytes.
std::map<std::string, json> reference(const std::string& python, const std::vector<std::string>& args)
{
    std::vector<std::string> command{python, std::string(VTN_SOURCE_DIR) + "/tools/smf_reference.py"};
    command.insert(command.end(), args.begin(), args.end());
    const ToolRun r = testsupport::runProgram(command, ".", 300000);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, json> out;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const json v = json::parse(line, nullptr, false);
        EXPECT_FALSE(v.is_discarded()) << line;
        if (!v.is_discarded()) out[v.at("file").get<std::string>()] = v;
    }
    return out;
}

std::vector<int> numbers(const json& array) { return array.get<std::vector<int>>(); }

// Where the figures legitimately differ, and why. Every other field of these
// files is still compared.
// Format 2 (independent sequences) is not read at all.
const std::set<std::string> kRefusedByDesign = {"test-2-tracks-type-2.mid"};

// Every corpus file is read, written and read again safely; where mido reads
// the file too, the figures agree.
TEST(SmfCorpus, EveryFileIsReadSafelyAndAgreesWithAnIndependentReader)
{
    const std::string dir = smfCorpus();
    if (dir.empty()) GTEST_SKIP() << "no smf corpus";
    const std::string python = pythonWithMido();
    const auto ref = python.empty() ? std::map<std::string, json>{} : reference(python, {dir});
    int compared = 0;
    for (const std::string& path : corpusFiles(dir)) {
        const std::string name = fs::path(path).filename().string();
        SCOPED_TRACE(name);
        const Bytes file = fileBytes(path);
        CMidiSequence s;
        const int r = smftest::read(s, file);
        EXPECT_TRUE(r == 0 || r == file.size());
        seqtest::expectConsistent(s);
        const Bytes copy = smftest::write(s, s.trackNames[0]);
        EXPECT_GE(smftest::checkChunks(copy), 1);
        CMidiSequence again;
        EXPECT_EQ(smftest::read(again, copy), copy.size());

        if (python.empty()) continue;
        ASSERT_TRUE(ref.count(name));
        const json& m = ref.at(name);
        if (kRefusedByDesign.count(name)) {
            EXPECT_EQ(r, 0);
            continue;
        }
        // mido refuses damaged files; they only have to be read safely.
        if (!m.at("ok").get<bool>()) continue;
        ASSERT_GT(r, 0);
        ++compared;
        EXPECT_EQ(std::make_tuple(s.trackCount, s.ticksPerBeat, s.tempo),
                  std::make_tuple(m.at("trackCount").get<int>(), m.at("ticksPerBeat").get<int>(), m.at("tempo").get<int>()));
        const std::vector<int> counts(s.channelNoteCount, s.channelNoteCount + 16);
        EXPECT_EQ(counts, numbers(m.at("channelNoteCount")));
    }
    if (python.empty()) GTEST_SKIP() << "python3 with mido not found";
    EXPECT_GE(compared, 50);
}

// Figures of one reading for the round trip: channel events, tempi, time
// signatures and texts, each with its tick. The arranger's own events travel
// as markers that only our reader turns back into events.
struct Figures {
    std::multiset<std::vector<int>> channel;
    std::vector<std::vector<int>> tempi, signatures;
    std::multiset<std::pair<int, std::string>> texts, own;

    bool sameMidi(const Figures& o) const { return std::tie(channel, tempi, signatures, texts) == std::tie(o.channel, o.tempi, o.signatures, o.texts); }
    bool operator==(const Figures& o) const { return sameMidi(o) && own == o.own; }
};

bool isKeywordMarker(const std::string& text)
{
    for (const char* k : {"chord:", "style:", "part:", "voice:", "channelvoice:", "melody:"})
        if (text.rfind(k, 0) == 0) return true;
    return false;
}

Figures figuresOf(const CMidiSequence& s)
{
    Figures f;
    f.tempi.push_back({0, s.tempo});
    f.signatures.push_back({0, s.numerator, s.denominator});
    for (const smftest::Ev& e : smftest::eventsOf(s)) {
        if (e.stat >= 0x80)
            f.channel.insert({e.ticks, e.stat, e.db1, (e.stat >= 0xC0 && e.stat <= 0xDF) ? 0 : e.db2});
        else if (e.stat == kStatTempo)
            f.tempi.push_back({e.ticks, e.db1});
        else if (e.stat == kStatTimeSig)
            f.signatures.push_back({e.ticks, e.db1, e.db2});
        else if (e.stat == 1 || e.stat == 2 || e.stat == 5 || e.stat == 6)
            f.texts.insert({e.ticks, std::to_string(e.stat) + ":" + e.text});
        else if (e.stat <= kStatChord)
            f.own.insert({e.ticks, (std::ostringstream() << e).str()});
    }
    return f;
}

Figures figuresOf(const json& m)
{
    Figures f;
    for (const json& e : m.at("channelEvents")) f.channel.insert(numbers(e));
    for (const json& e : m.at("tempi")) f.tempi.push_back(numbers(e));
    for (const json& e : m.at("timeSignatures")) f.signatures.push_back(numbers(e));
    for (const json& e : m.at("texts")) {
        const int type = e.at(1).get<int>();
        const std::string text = jsonbytes::textOf(e.at(2));
        if (type == 0x7F || (type == 6 && isKeywordMarker(text))) continue;
        f.texts.insert({e.at(0).get<int>(), std::to_string(type) + ":" + text});
    }
    return f;
}

// Every corpus file mido reads, and a crafted song, copied by the tool: the
// copy reads back, by our reader and by mido, as the original read.
TEST(SmfCorpus, ToolCopiesReadBackAsTheOriginals)
{
    const std::string python = pythonWithMido();
    if (python.empty()) GTEST_SKIP() << "python3 with mido not found";
    testsupport::TempDir tmp;
    fs::create_directory(tmp.file("in"));
    fs::create_directory(tmp.file("out"));
    const Bytes rich = smftest::richSong();
    tmp.write("in/crafted-rich-song.mid", std::string(rich.v.begin(), rich.v.end()));
    std::vector<std::string> inputs = {tmp.file("in/crafted-rich-song.mid")};
    for (const auto& [name, m] : smfCorpus().empty() ? std::map<std::string, json>{} : reference(python, {smfCorpus()}))
        if (m.at("ok").get<bool>() && !kRefusedByDesign.count(name)) inputs.push_back(smfCorpus() + "/" + name);

    for (const std::string& in : inputs) {
        const std::string out = tmp.file("out/" + fs::path(in).filename().string());
        const ToolRun r = runTool({"smf-copy", in, out});
        ASSERT_EQ(r.status, 0) << in << ": " << r.err;
        const json doc = json::parse(r.out, nullptr, false);
        EXPECT_TRUE(!doc.is_discarded() && doc.value("bytes", -1) == static_cast<int64_t>(fs::file_size(out))) << r.out;
    }

    const auto copies = reference(python, {"--events", tmp.file("out")});
    for (const std::string& in : inputs) {
        const std::string name = fs::path(in).filename().string();
        SCOPED_TRACE(name);
        CMidiSequence original, copy;
        ASSERT_GT(smftest::read(original, fileBytes(in)), 0);
        ASSERT_GT(smftest::read(copy, fileBytes(tmp.file("out/" + name))), 0);
        const Figures want = figuresOf(original);
        EXPECT_TRUE(figuresOf(copy) == want) << "our reader differs on the copy";
        ASSERT_TRUE(copies.count(name));
        ASSERT_TRUE(copies.at(name).at("ok").get<bool>()) << copies.at(name).value("error", "");
        EXPECT_TRUE(figuresOf(copies.at(name)).sameMidi(want)) << "mido differs on the copy";
    }
}

TEST(VeltronaTool, SmfPrintsTheReadersFiguresAsValidJson)
{
    testsupport::TempDir tmp;
    const std::string odd = std::string("q\"b\\s\x01\x1F\n\xE9\xFF", 10);
    const Bytes song = smftest::smf(1, 192,
                                    {Bytes{}.meta(0, 0x03, "T\xC3\xA9").meta(0, 0x01, odd).meta(0, 0x58, std::string("\x06\x03", 2)),
                                     Bytes{0x00, 0x92, 64, 100, 0x30, 0x92, 64, 0}});
    tmp.write("song.mid", std::string(song.v.begin(), song.v.end()));
    const ToolRun r = runTool({"smf", tmp.file("song.mid")});
    ASSERT_EQ(r.status, 0) << r.err;
    for (unsigned char c : r.out) EXPECT_LT(c, 0x80);
    const json doc = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    EXPECT_EQ(std::make_tuple(doc.at("ticksPerBeat"), doc.at("numerator"), doc.at("denominator"), doc.at("tempo"),
                              doc.at("trackCount"), doc.at("trackNames").size()),
              std::make_tuple(192, 6, 8, 120, 2, size_t{2}));
    EXPECT_EQ(jsonbytes::textOf(doc["trackNames"][0]), "T\xC3\xA9");
    EXPECT_EQ(numbers(doc["channelNoteCount"]), (std::vector<int>{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const json& events = doc.at("events");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(jsonbytes::textOf(events[0].at("string")), odd);
    EXPECT_EQ(std::make_tuple(events[1].at("stat"), events[1].at("onoff"), events[2].at("ticks"), events[2].at("track")),
              std::make_tuple(0x92, events[2].at("index"), 48, 1));
    for (const char* key : {"list", "index", "ticks", "stat", "db1", "db2", "db3", "string", "onoff", "track"})
        EXPECT_TRUE(events[0].contains(key)) << key;
}

// Unreadable input, for the MIDI file and the style subcommands alike: exit
// status 1 and one line naming the file and the reason; unknown subcommands
// or arguments: the usage line.
TEST(VeltronaTool, RefusalsExitWithOneAndOneLine)
{
    const std::vector<std::tuple<const char*, std::string, const char*>> cases = {
        {"missing", "-", "No such file"}, // "-": no such file
        {"empty", "", "too short"},
        {"text", "this is no MIDI file at all", "MThd"},
        {"format2", std::string("MThd\0\0\0\6\0\2\0\1\0\x60", 14), "format 2"},
        {"tracks", std::string("MThd\0\0\0\6\0\1\0\x64\0\x60", 14), "100 tracks"}};
    for (const auto& [name, content, why] : cases) {
        testsupport::TempDir tmp;
        const std::string path = tmp.file(std::string(name) + ".mid");
        if (content != "-") tmp.write(std::string(name) + ".mid", content);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"smf", path}, {"smf-copy", path, tmp.file("out.mid")}, {"style", path}}) {
            const ToolRun r = runTool(args);
            EXPECT_EQ(std::make_tuple(r.status, r.out, std::count(r.err.begin(), r.err.end(), '\n')),
                      std::make_tuple(1, std::string(), 1L)) << args[0] << r.err;
            EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        }
        EXPECT_FALSE(fs::exists(tmp.file("out.mid")));
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"nothing"}, {"smf"}, {"smf", "a", "b"}}) {
        const ToolRun r = runTool(args);
        EXPECT_TRUE(r.status == 1 && r.out.empty() && r.err.find("usage: veltrona-tool") != std::string::npos &&
                    r.err.find("smf-copy IN OUT") != std::string::npos)
            << args.size() << ": " << r.err;
    }
}

} // namespace
