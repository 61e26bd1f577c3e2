// "veltrona-tool render": a chord sheet through the style player into a
// Standard MIDI File that our own reader takes back with its chords and parts
// in place, every note ended, and the same bytes every time.
#include "PlayerFixture.h"

#include "base/MidiStatus.h"
#include "sequence/CMidiSequence.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <utility>

namespace {

using testsupport::ChildProcess;
using testsupport::TempDir;

struct Render {
    int status;
    std::string errors, file;
};

Render render(const TempDir& dir, const std::string& style, const std::string& sheet)
{
    dir.write("sheet.txt", sheet);
    const std::string out = dir.file("out.mid");
    std::filesystem::remove(out);
    const std::string tool = (std::filesystem::path(VTN_BINARY).parent_path() / "tools/veltrona-tool/veltrona-tool").string();
    ChildProcess p({tool, "render", style, dir.file("sheet.txt"), out}, ".", true);
    const int status = p.wait(60000);
    return {status, p.errors(), testsupport::fileExists(out) ? testsupport::readFile(out) : std::string()};
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
    const char* sheets[] = {"C | Hm7 | G", "C | Cxyz", "C/X", "[Main Q] C", "C | [Main C] F", "- | C", "C D E F G"};
    for (const char* sheet : sheets) {
        const Render r = render(dir, dir.file("Fixture.sty"), sheet);
        EXPECT_EQ(r.status, 1) << sheet;
        EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
        EXPECT_TRUE(r.file.empty()) << sheet;
    }
}

} // namespace
