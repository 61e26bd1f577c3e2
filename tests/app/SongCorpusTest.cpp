// Songs played through "veltrona-tool play-plan": the song player on the
// manual clock, compared with an independent reader (mido, through
// tools/smf_reference.py --timeline), and looping ranges on a small song.
#include "SmfBuilder.h"
#include "support/TestSupport.h"

#include "base/MessageSink.h"
#include "sequence/CMidiSequence.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kPython = "/usr/bin/python3";

// One message as sent: milliseconds from the start of play, status, data (or
// the SysEx bytes as hex text).
struct Sent {
    double ms;
    int status, d1, d2;
    std::string sysex;
};

std::vector<Sent> played(const std::vector<std::string>& args, testsupport::ToolRun& run)
{
    std::vector<std::string> command = {"play-plan"};
    command.insert(command.end(), args.begin(), args.end());
    run = testsupport::runTool(command);
    std::vector<Sent> out;
    const json doc = json::parse(run.out, nullptr, false);
    if (doc.is_discarded() || !doc.contains("messages")) return out;
    for (const json& m : doc.at("messages"))
        out.push_back({m.at("ms").get<double>(), m.at("status").get<int>(), m.at("d1").get<int>(), m.at("d2").get<int>(),
                       m.value("sysex", "")});
    return out;
}

// A song played to its end releases every channel (sustain up, all notes
// off, the wheel centred; its last notes die away) at one moment after all
// else; false when it did not end so.
bool endsInSilence(std::vector<Sent>& sent)
{
    if (sent.size() < 48) return false;
    const double end = sent.back().ms;
    for (size_t i = 0; i < 48; ++i) {
        const Sent& m = sent[sent.size() - 48 + i];
        const int c = static_cast<int>(i / 3);
        const std::tuple<int, int, int> want[3] = {{0xB0 + c, 64, 0}, {0xB0 + c, 123, 0}, {0xE0 + c, 0, 64}};
        if (m.ms != end || std::make_tuple(m.status, m.d1, m.d2) != want[i % 3]) return false;
    }
    sent.resize(sent.size() - 48);
    for (size_t i = 0; i < sent.size(); ++i)
        if (sent[i].ms > end || (i > 0 && sent[i].ms < sent[i - 1].ms)) return false;
    return true;
}

bool ourReaderAccepts(const std::string& path)
{
    const std::string bytes = testsupport::readFile(path);
    auto song = std::make_unique<CMidiSequence>();
    vtn::CMessageCapture quiet;
    return song->readMidiFile(reinterpret_cast<const uint8_t*>(bytes.data()), 0, static_cast<int>(bytes.size()), {}) != 0;
}

// mido's timeline of every file in the folder, by file name.
std::map<std::string, json> reference(const std::string& dir)
{
    testsupport::ChildProcess python({kPython, std::string(VTN_SOURCE_DIR) + "/tools/smf_reference.py", "--timeline", dir}, ".", true);
    EXPECT_EQ(python.wait(60000), 0) << python.errors();
    std::map<std::string, json> out;
    std::istringstream lines(python.output());
    for (std::string line; std::getline(lines, line);) {
        json v = json::parse(line, nullptr, false);
        if (v.is_discarded()) continue;
        const std::string name = v.at("file").get<std::string>();
        out[name] = std::move(v);
    }
    return out;
}

// Every corpus file our reader accepts plays to its end; where mido plays it
// too, the same messages go out in the same order, each within 1 ms.
TEST(SongCorpus, EveryFilePlaysAsAnIndependentReaderTimesIt)
{
    const std::string corpus = testsupport::corpusDir();
    const std::string dir = corpus.empty() ? corpus : corpus + "/smf";
    if (dir.empty() || !fs::is_directory(dir)) GTEST_SKIP() << "no smf corpus";
    if (testsupport::ChildProcess({kPython, "-c", "import mido"}, ".", true).wait() != 0) GTEST_SKIP() << "no mido";
    const auto ref = reference(dir);
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".mid") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());

    int compared = 0;
    for (const std::string& path : files) {
        const std::string name = fs::path(path).filename().string();
        SCOPED_TRACE(name);
        testsupport::ToolRun run;
        std::vector<Sent> sent = played({path}, run);
        if (!ourReaderAccepts(path)) {
            EXPECT_EQ(std::make_tuple(run.status, run.out, std::count(run.err.begin(), run.err.end(), '\n')),
                      std::make_tuple(1, std::string(), 1L)) << run.err;
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_TRUE(endsInSilence(sent));
        ASSERT_TRUE(ref.count(name));
        // Files mido refuses only have to play to their end safely.
        const json& m = ref.at(name);
        if (!m.at("ok").get<bool>() || m.at("timeline").is_null()) continue;
        std::vector<Sent> want;
        for (const json& e : m.at("timeline")) {
            const int status = e.at(1).get<int>();
            // The reader skips system messages inside tracks: they have no place in a file.
            if (status > 0xF0) continue;
            const double ms = e.at(0).get<double>() * 1000;
            want.push_back(status == 0xF0 ? Sent{ms, status, 0, 0, e.at(2).get<std::string>()}
                                          : Sent{ms, status, e.at(2).get<int>(), e.at(3).get<int>(), {}});
        }
        ASSERT_EQ(sent.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            const Sent &a = sent[i], &b = want[i];
            ASSERT_TRUE(std::tie(a.status, a.d1, a.d2, a.sysex) == std::tie(b.status, b.d1, b.d2, b.sysex) &&
                        std::abs(a.ms - b.ms) <= 1.0)
                << "message " << i << ": sent " << a.ms << " ms " << a.status << " " << a.d1 << " " << a.d2 << " "
                << a.sysex << ", mido " << b.ms << " ms " << b.status << " " << b.d1 << " " << b.d2 << " " << b.sysex;
        }
        ++compared;
    }
    EXPECT_GE(compared, 50);
}

// A song of four bars in 4/4 at 120 BPM: a quarter note on every beat, its
// pitch 60 + the bar, each ending on the next beat. Each row: the options,
// and the bars that play (first, last) for how many passes, back to back.
TEST(SongCorpus, RangesAndLoopsPlayTheirBarsInTime)
{
    smftest::Bytes track;
    for (int bar = 1; bar <= 4; ++bar)
        for (int beat = 0; beat < 4; ++beat) track.u8({0x00, 0x90, 60 + bar, 100}).vlq(96).u8({0x80, 60 + bar, 64});
    const smftest::Bytes file = smftest::smf(0, 96, {track});
    testsupport::TempDir tmp;
    tmp.write("bars.mid", std::string(file.v.begin(), file.v.end()));

    const std::vector<std::tuple<std::vector<std::string>, int, int, int>> rows = {
        {{"--start", "2", "--end", "3", "--loops", "2"}, 2, 3, 2},
        // The end of a note begun before the start bar is not sent.
        {{"--start", "3"}, 3, 4, 1},
        // Passes of the whole song follow one another without an empty bar.
        {{"--loops", "2"}, 1, 4, 2}};
    for (const auto& [options, first, last, passes] : rows) {
        std::vector<std::string> args = {tmp.file("bars.mid")};
        args.insert(args.end(), options.begin(), options.end());
        SCOPED_TRACE(args.back());
        testsupport::ToolRun run;
        std::vector<Sent> sent = played(args, run);
        ASSERT_EQ(run.status, 0) << run.err;
        const double passMs = (last - first + 1) * 2000;
        EXPECT_EQ(sent.empty() ? -1 : sent.back().ms, passes * passMs);
        ASSERT_TRUE(endsInSilence(sent));
        // Notes as (ms, on, pitch).
        std::vector<std::tuple<double, bool, int>> notes, want;
        for (const Sent& m : sent) notes.emplace_back(m.ms, m.status == 0x90 && m.d2 > 0, m.d1);
        for (int pass = 0; pass < passes; ++pass)
            for (int bar = first; bar <= last; ++bar)
                for (int beat = 0; beat < 4; ++beat) {
                    const double at = pass * passMs + (bar - first) * 2000 + beat * 500;
                    want.emplace_back(at, true, 60 + bar);
                    want.emplace_back(at + 500, false, 60 + bar);
                }
        EXPECT_EQ(notes, want);
    }
}

// A song keeps its own tempo, exactly as its file writes it: 523 013 us a
// quarter (114.72 BPM, shown as 115) and 200 000 (300 BPM, beyond what the
// tempo functions reach). Forty quarter notes, the last one's start in ms.
TEST(SongCorpus, SongsKeepTheirExactTempo)
{
    for (const auto& [micros, lastMs] : {std::pair{523013, 20397.507}, std::pair{200000, 7800.0}}) {
        smftest::Bytes track;
        track.u8({0x00, 0xFF, 0x51, 0x03}).be(static_cast<uint32_t>(micros), 3);
        for (int q = 0; q < 40; ++q) track.u8({0x00, 0x90, 60, 100}).vlq(96).u8({0x80, 60, 64});
        testsupport::TempDir tmp;
        const smftest::Bytes file = smftest::smf(0, 96, {track});
        tmp.write("tempo.mid", std::string(file.v.begin(), file.v.end()));
        testsupport::ToolRun run;
        const std::vector<Sent> sent = played({tmp.file("tempo.mid")}, run);
        ASSERT_EQ(run.status, 0) << run.err;
        double last = -1;
        for (const Sent& m : sent)
            if (m.status == 0x90 && m.d2 > 0) last = m.ms;
        EXPECT_NEAR(last, lastMs, 0.01) << micros;
    }
}

} // namespace
