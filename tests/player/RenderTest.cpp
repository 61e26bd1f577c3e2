// "veltrona-tool render": a chord sheet through the style player into a
// Standard MIDI File that our own reader takes back with its chords and parts
// in place, every note ended, and the same bytes every time; and into audio.
#include "PlayerFixture.h"

#include "base/MidiStatus.h"
#include "sequence/CMidiSequence.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <tuple>
#include <utility>

namespace {

using testsupport::TempDir;

struct Render {
    int status;
    std::string output, errors, file;
};

constexpr int kPadSource[3] = {60, 64, 67};

Render render(const TempDir& dir, const std::string& style, const std::string& sheet, const std::string& out = "out.mid",
              const std::vector<std::string>& options = {})
{
    dir.write("sheet.txt", sheet);
    const std::string path = out.find('/') == std::string::npos ? dir.file(out) : out;
    std::filesystem::remove(path);
    std::vector<std::string> command{testsupport::toolPath(), "render", style, dir.file("sheet.txt"), path};
    command.insert(command.end(), options.begin(), options.end());
    const testsupport::ToolRun r = testsupport::runProgram(command, ".", 60000);
    return {r.status, r.out, r.err, testsupport::fileExists(path) ? testsupport::readFile(path) : std::string()};
}

// Fill In at bar 3, Main B at bar 4, the Ending at bar 6; two chords in bar 5.
constexpr const char* kSheet = "[Main A] C | Am | [Fill In] F | [Main B] G7 | C Am7 | [Ending A] C";

TEST(Render, SheetPlaysBackWithItsChordsAndParts)
{
    TempDir dir;
    dir.write("Fixture.sty", std::string(reinterpret_cast<const char*>(playertest::fixtureStyle().data()),
                                         playertest::fixtureStyle().size()));
    std::vector<std::string> styles{dir.file("Fixture.sty")};
    if (const std::string corpus = testsupport::corpusDir(); !corpus.empty())
        for (const char* name : {"JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty"})
            styles.push_back(corpus + "/styles/" + name);

    for (const std::string& style : styles) {
        SCOPED_TRACE(style);
        const Render first = render(dir, style, kSheet);
        ASSERT_EQ(first.status, 0) << first.errors;
        EXPECT_EQ(render(dir, style, kSheet).file, first.file) << "a second render differs";

        auto s = std::make_unique<CMidiSequence>();
        const auto* bytes = reinterpret_cast<const uint8_t*>(first.file.data());
        ASSERT_GT(s->readMidiFile(bytes, 0, static_cast<int>(first.file.size()), SequenceOptions{}), 0);
        const int bar = 480 * 4 / s->denominator * s->numerator;
        const int beat = 480 * 4 / s->denominator;
        std::vector<std::pair<int, int>> chords;      // (tick, root)
        std::vector<std::pair<int, std::string>> parts;
        std::map<std::pair<int, int>, int> open;      // (channel, pitch) -> note ons not yet ended
        for (int r = s->events[kMainList].next; r >= kFirstEvent; r = s->events[static_cast<size_t>(r)].next) {
            const MidiEvent& e = s->events[static_cast<size_t>(r)];
            if (e.stat == kStatChord) chords.emplace_back(e.ticks, e.db1);
            if (e.stat == kStatVariation) parts.emplace_back(e.ticks, e.string);
            if (!isNote(e.stat)) continue;
            EXPECT_GE(channelOf(e.stat), 8) << "note on channel index " << channelOf(e.stat);
            open[{channelOf(e.stat), e.db1}] += isNoteOn(e.stat, e.db2) ? 1 : -1;
        }
        // Two chords in a bar: the second at its middle beat (beat 2 of 3).
        const int second = 4 * bar + s->numerator / 2 * beat;
        const std::vector<std::pair<int, int>> wantChords = {{0, 0},       {bar, 9},    {2 * bar, 5}, {3 * bar, 7},
                                                             {4 * bar, 0}, {second, 9}, {5 * bar, 0}};
        EXPECT_EQ(chords, wantChords);
        const std::vector<std::pair<int, std::string>> wantParts = {
            {0, "Main A"}, {2 * bar, "Fill In AA"}, {3 * bar, "Main B"}, {5 * bar, "Ending A"}};
        EXPECT_EQ(parts, wantParts);
        for (const auto& [note, count] : open) EXPECT_EQ(count, 0) << "channel " << note.first << " pitch " << note.second;
    }
}

TEST(Render, RefusesWhatItCannotPlay)
{
    TempDir dir;
    dir.write("Fixture.sty", std::string(reinterpret_cast<const char*>(playertest::fixtureStyle().data()),
                                         playertest::fixtureStyle().size()));
    struct Case {
        const char* sheet;
        std::string out;
        std::vector<std::string> options;
    };
    std::vector<Case> cases;
    for (const char* sheet : {"C | Hm7 | G", "C | Cxyz", "C/X", "[Main Q] C", "C | [Main C] F", "- | C", "C D E F G"})
        cases.push_back({sheet, "out.mid", {}});
    // Audio: no such SoundFont, and a file that cannot be written (FluidSynth
    // must not add lines of its own).
    cases.push_back({"C", "out.wav", {"--soundfont", dir.file("none.sf2")}});
    cases.push_back({"C", dir.file("none/out.wav"), {}});
    for (const Case& c : cases) {
        const Render r = render(dir, dir.file("Fixture.sty"), c.sheet, c.out, c.options);
        EXPECT_EQ(r.status, 1) << c.sheet;
        EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
        EXPECT_TRUE(r.file.empty()) << c.sheet;
    }
}

// Thirteen chords: every root, a minor, two sevenths and a slash chord last.
constexpr const char* kThirteenChords = "[Main A] C | G | D | A | E | B | F#m | Db | Ab7 | Eb | Bb | Fm7 | C/E";

// The channel-message note ons of a rendered file: (tick, channel, pitch).
std::vector<std::tuple<int, int, int>> noteOns(const std::string& file)
{
    auto s = std::make_unique<CMidiSequence>();
    std::vector<std::tuple<int, int, int>> out;
    if (s->readMidiFile(reinterpret_cast<const uint8_t*>(file.data()), 0, static_cast<int>(file.size()), SequenceOptions{}) <= 0) return out;
    for (int r = s->events[kMainList].next; r >= kFirstEvent; r = s->events[static_cast<size_t>(r)].next) {
        const MidiEvent& e = s->events[static_cast<size_t>(r)];
        if (isNoteOn(e.stat, e.db2)) out.emplace_back(e.ticks, channelOf(e.stat), e.db1);
    }
    return out;
}

// A second-format style of one 4/4 bar in C Maj7: on each beat two drum notes
// that both play the open hi-hat, the second struck while the first sounds; a
// bass with bass on; a root-fixed pad on high key 7 whose notes start one
// after the other.
stylewriter::Bytes secondFormatStyle()
{
    stylewriter::StyleWriter w(480, 4, 4, 120);
    w.sff = 2;
    w.part("Main A", 2);
    const int bar = w.at(2);
    for (int beat = 0; beat < 4; ++beat) w.note(bar + beat * 480, 9, 26, 100, 300).note(bar + beat * 480 + 120, 9, 28, 90, 60);
    w.note(bar, 10, 36, 100, 900).note(bar + 960, 10, 43, 100, 900);
    for (int k = 0; k < 3; ++k) w.note(bar + 10 * k, 11, kPadSource[k], 80, 1880);
    stylewriter::Segment segment;
    segment.sdec = "Main A";
    for (int source : {9, 10, 11}) {
        stylewriter::ChannelTable& t = segment.tables.emplace_back();
        t.ctb2 = true, t.source = source, t.dest = source - 8, t.tail = stylewriter::Bytes(7, 0);
        if (source == 9) t.chordMute[0] = 0x07, t.ntt = 0;
        if (source == 10) t.ntt = 0x81, t.rtr = 0;
        if (source == 11) t.ntr = 1, t.highKey = 7;
    }
    w.segment(segment);
    return w.build();
}

// A style whose channels all move with the chord's root plays exactly as it
// did before the other transposition rules came: the same bytes.
TEST(Render, RootTransposedStylesPlayAsBefore)
{
    TempDir dir;
    dir.write("Fixture.sty", std::string(reinterpret_cast<const char*>(playertest::fixtureStyle().data()),
                                         playertest::fixtureStyle().size()));
    const Render r = render(dir, dir.file("Fixture.sty"), kThirteenChords);
    ASSERT_EQ(r.status, 0) << r.errors;
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : r.file) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    EXPECT_EQ(std::make_pair(r.file.size(), hash), std::make_pair(size_t{1379}, uint64_t{4908696698327626494ull}));
}

// The second format's rules over thirteen chords: the slash bass, a pad that
// keeps its register, and every drum hit struck.
TEST(Render, SecondFormatStylePlaysByItsRules)
{
    TempDir dir;
    const stylewriter::Bytes style = secondFormatStyle();
    dir.write("Sff2.sty", std::string(style.begin(), style.end()));
    const Render r = render(dir, dir.file("Sff2.sty"), kThirteenChords);
    ASSERT_EQ(r.status, 0) << r.errors;
    const int roots[13] = {0, 7, 2, 9, 4, 11, 6, 1, 8, 3, 10, 5, 0};
    std::map<int, std::vector<int>> bass, pad; // bar -> pitches in time order
    int hiHats = 0;
    for (const auto& [tick, channel, pitch] : noteOns(r.file)) {
        if (channel == 10) bass[tick / 1920].push_back(pitch);
        if (channel == 11) pad[tick / 1920].push_back(pitch);
        hiHats += channel == 9 && pitch == 46;
    }
    EXPECT_EQ(hiHats, 13 * 8);
    ASSERT_EQ(bass.size(), 13u);
    ASSERT_EQ(pad.size(), 13u);
    for (int b = 0; b < 13; ++b) {
        SCOPED_TRACE(b + 1);
        ASSERT_EQ(bass[b].size(), 2u);
        EXPECT_EQ(bass[b][0] % 12, b == 12 ? 4 : roots[b]); // C/E: the bass plays E
        if (b == 12) {
            EXPECT_EQ(bass[b][1] % 12, 4);
        }
        ASSERT_EQ(pad[b].size(), 3u);
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(pad[b][k] >= kPadSource[k] - 5 && pad[b][k] <= kPadSource[k] + 6) << pad[b][k];
    }
}

// Drum notes the drum map sends to one pitch are all heard: sixteen bars of
// a real style's Main A strike every hit its two loops hold.
TEST(Render, DrumNotesMeetingOnOnePitchAreAllStruck)
{
    const std::string style = testsupport::corpusDir() + "/styles/JazzWaltzMed.S351.sst";
    if (testsupport::corpusDir().empty() || !testsupport::fileExists(style)) GTEST_SKIP() << "no corpus";
    TempDir dir;
    const Render r = render(dir, style, "[Main A] C | C | C | C | C | C | C | C | C | C | C | C | C | C | C | C");
    ASSERT_EQ(r.status, 0) << r.errors;
    const testsupport::ToolRun loop = testsupport::runTool({"transform", style, "1", "C"}); // Main A, 8 bars
    const nlohmann::json events = nlohmann::json::parse(loop.out, nullptr, false).value("events", nlohmann::json::array());
    std::map<int, int> want, got;
    for (const auto& e : events)
        if (e["out"].is_array() && e["out"][0] == 0x99 && e["out"][2] > 0) want[e["out"][1].get<int>()] += 2;
    for (const auto& [tick, channel, pitch] : noteOns(r.file)) got[pitch] += channel == 9;
    std::erase_if(got, [](const auto& p) { return p.second == 0; });
    EXPECT_GT(want[46], 0);
    EXPECT_EQ(got, want);
}

// The sheet as audio through a small General MIDI SoundFont: every bar
// sounds, and the sound ends with the Ending, at the sheet's length.
TEST(Render, WavSoundsEveryBarAndEndsWithTheEnding)
{
    const std::string soundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
    if (!testsupport::fileExists(soundFont)) GTEST_SKIP() << soundFont << " is not installed";
    TempDir dir;
    dir.write("Fixture.sty", std::string(reinterpret_cast<const char*>(playertest::fixtureStyle().data()),
                                         playertest::fixtureStyle().size()));
    const Render r = render(dir, dir.file("Fixture.sty"), kSheet, "out.wav", {"--soundfont", soundFont});
    ASSERT_EQ(r.status, 0) << r.errors;
    const nlohmann::json answer = nlohmann::json::parse(r.output, nullptr, false);
    ASSERT_FALSE(answer.is_discarded()) << r.output;

    // RIFF: 12 bytes of header, then chunks of id, size and data.
    const std::string& f = r.file;
    auto u32 = [&f](size_t at) {
        uint32_t v = 0; // little-endian, as every machine we build on
        if (at + 4 <= f.size()) std::memcpy(&v, f.data() + at, 4);
        return v;
    };
    std::vector<int16_t> samples; // stereo, interleaved
    for (size_t at = 12; at + 8 <= f.size(); at += 8 + u32(at + 4) + (u32(at + 4) & 1)) {
        if (f.compare(at, 4, "fmt ") == 0) {
            EXPECT_EQ(u32(at + 8), 0x0002'0001u) << "PCM, two channels";
            EXPECT_EQ(u32(at + 12), 44100u);
            EXPECT_EQ(u32(at + 20) >> 16, 16u) << "bits per sample";
        } else if (f.compare(at, 4, "data") == 0) {
            samples.resize(std::min<size_t>(u32(at + 4), f.size() - at - 8) / 2);
            std::memcpy(samples.data(), f.data() + at + 8, samples.size() * 2);
        }
    }
    constexpr double kRate = 44100;
    EXPECT_NEAR(answer.value("seconds", 0.0), double(samples.size()) / 2 / kRate, 0.01);
    auto rms = [&](double from, double to) {
        const size_t a = std::min(samples.size(), size_t(from * kRate) * 2), b = std::min(samples.size(), size_t(to * kRate) * 2);
        double sum = 0;
        for (size_t i = a; i < b; ++i) sum += double(samples[i]) * samples[i];
        return b > a ? std::sqrt(sum / double(b - a)) / 32768 : 0.0;
    };
    // Six bars of 4/4 at 120 BPM, the last one the Ending.
    constexpr double kBar = 2.0, kBeat = 0.5, kSheetSeconds = 6 * kBar;
    constexpr double kSounding = 0.003; // -50 dBFS
    constexpr double kSilent = 0.0005;  // -66 dBFS, well above the dither of silence
    for (int bar = 0; bar < 6; ++bar) EXPECT_GT(rms(bar * kBar, (bar + 1) * kBar), kSounding) << "bar " << bar + 1;
    double end = 0; // silent from here on, in steps of 10 ms
    for (double t = 0; t * kRate * 2 < double(samples.size()); t += 0.01)
        if (rms(t, t + 0.01) > kSilent) end = t + 0.01;
    EXPECT_NEAR(end, kSheetSeconds, kBeat);
    EXPECT_LT(double(samples.size()) / 2 / kRate, kSheetSeconds + kBeat + 1) << "trailing silence";
}

} // namespace
