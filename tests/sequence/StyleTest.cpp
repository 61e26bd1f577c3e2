// Style files built with the style writer: part names, markers on bar lines,
// held notes, the CASM channel tables and the analysis after loading. What
// real files load to is compared with a reference in StyleCorpusTest.
#include "SequenceTestUtil.h"
#include "StyleWriter.h"

#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

using stylewriter::Bytes;
using stylewriter::ChannelTable;
using stylewriter::Segment;
using stylewriter::StyleWriter;

namespace {

class Style : public ::testing::Test {
protected:
    // Reads the file into a fresh style of the engine.
    int load(const Bytes& file)
    {
        style = std::make_unique<CStyle>();
        vtn::CMessageCapture quiet;
        const int r = style->readStyle(file.data(), static_cast<int>(file.size()), engine.sequenceOptions());
        seqtest::expectConsistent(*style);
        return r;
    }
    const StylePart* part(const std::string& name) const
    {
        for (const StylePart& p : style->parts)
            if (p.name == name) return &p;
        return nullptr;
    }
    // The first event of the main list that matches.
    template <typename F> int first(F match) const
    {
        for (int r : seqtest::indexesOf(*style, kMainList))
            if (match(style->events[r])) return r;
        return -1;
    }
    std::vector<std::pair<int, std::string>> markers() const
    {
        std::vector<std::pair<int, std::string>> out;
        for (int r : seqtest::indexesOf(*style, kMainList))
            if (style->events[r].stat == kStatMarker) out.emplace_back(style->events[r].ticks, style->events[r].string);
        return out;
    }

    CKvSeq engine;
    std::unique_ptr<CStyle> style;
};

// ---- Part names ----

TEST(StyleNames, CanonicalFormAndParsedKindAndLetters)
{
    // text -> canonical form of a marker; "none": no marker makes it a part.
    const std::pair<const char*, const char*> canonical[] = {
        {"main a", "Main A"}, {"MAIN D", "Main D"}, {"FILL IN ab", "Fill In AB"}, {"Fill In BA", "Fill In BA"},
        {"ending c", "Ending C"}, {"Break AB", "none"}, {"Main", "none"}, {"main e", "none"}, {"break a", "none"},
        {"intro d", "none"}, {"Main A ", "none"}, {" main a", "none"}, {"main  a", "none"}, {"", "none"}, {"SFF1", "none"}};
    for (const auto& [text, want] : canonical) EXPECT_EQ(canonicalPartName(text), want) << '"' << text << '"';
    // text -> "type level1 level2", also for names no marker can produce.
    const std::pair<const char*, const char*> parsed[] = {
        {"Fill In AB", "1 0 1"}, {"Fill In BB", "1 1 1"}, {"Fill In BA", "1 1 0"}, {"Fill In CC", "1 2 0"},
        {"Fill In DD", "1 3 0"}, {"Intro C", "2 2 0"},   {"Ending B", "3 1 0"},   {"Main D", "0 3 0"},
        {"Break AB", "4 0 1"},   {"Break DB", "4 3 1"},  {"Main", "0 0 0"},       {"Fill In", "1 0 0"},
        {"Ending Z", "3 0 0"},   {"Intro E", "2 0 0"}};
    for (const auto& [text, want] : parsed) {
        StylePart p;
        parsePartName(p, text);
        EXPECT_EQ(p.name + " " + std::to_string(p.type) + " " + std::to_string(p.level1) + " " + std::to_string(p.level2),
                  std::string(text) + " " + want);
    }
}

// ---- Markers on bar lines ----

// The marker goes to a bar line and the music after it in its track moves
// by the same amount; in format 1 the notes' own track keeps its times.
TEST_F(Style, MarkersGoToTheirBarLineAndTheirTrackFollows)
{
    struct {
        int ticksPerBeat, numerator, tick;
        const char* text;
        int placed;
        const char* stored;
    } const rows[] = {
        {480, 4, 4 * 480 * 2 + 480, "MAIN A", 3840, "Main A"}, // bar 3 beat 2
        {480, 4, 960, "Main A", 1920, "Main A"},               // bar 1 goes to bar 2
        {480, 4, 480, "SFF1", 0, "SFF1"},                      // a file-name marker stays in bar 1
        {480, 4, 480, "sint", 1920, "SInt"},                   // lower case is no file-name marker
        {480, 4, 7680, "main b", 7680, "Main B"},              // on the bar line
        {480, 4, 0, "Intro A", 0, "Intro A"},
        {96, 4, 385, "Ending C", 384, "Ending C"},
        {1920, 3, 7680, "Main A", 5760, "Main A"},             // waltz after a four-beat set-up bar
        {480, 4, 4320, "Sync", 3840, "Sync"},                  // a later S marker stays in its bar
        {480, 4, 4500, "chord:C", 3840, "chord:C"}};           // other texts move too
    for (const auto& c : rows) {
        for (int format : {0, 1}) {
            SCOPED_TRACE(std::string(c.text) + " format " + std::to_string(format));
            StyleWriter w(c.ticksPerBeat, c.numerator);
            w.fileNameMarkers = false, w.format = format;
            w.marker(c.tick, c.text).note(c.tick + 100, 0, 60, 90, 50);
            ASSERT_GT(load(w.build()), 0);
            EXPECT_EQ(markers(), (std::vector<std::pair<int, std::string>>{{c.placed, c.stored}}));
            const int on = first([](const MidiEvent& e) { return isNoteOn(e.stat, e.db2); });
            ASSERT_GE(on, kFirstEvent);
            EXPECT_EQ(style->events[on].ticks, (format == 0 ? c.placed : c.tick) + 100);
        }
    }
}

// Each move drags the rest of the track along, which a damaged file could
// make endless work of: after 256 moves the markers stay where they are.
TEST_F(Style, OnlyTheFirstMarkerMovesOfAFileAreMade)
{
    StyleWriter w(480, 4);
    w.fileNameMarkers = false;
    for (int k = 1; k <= 300; ++k) w.marker(k * 1921, "x");
    ASSERT_GT(load(w.build()), 0);
    const auto m = markers();
    ASSERT_EQ(m.size(), 300u);
    EXPECT_EQ(std::count_if(m.begin(), m.end(), [](const auto& x) { return x.first % 1920 != 0; }), 300 - 256);
    EXPECT_EQ(std::make_pair(m[255].first, m[256].first), std::make_pair(256 * 1920, 256 * 1920 + 1921));
}

// ---- Loading and tempo ----

// While a style plays its tempo stays: StyleSlotTest.
TEST_F(Style, JunkLoadsNothingAndAStyleSetsTheTempo)
{
    // The engine applies what the reader found, through loadStyle.
    auto loadIntoEngine = [&](const Bytes& f) { return engine.loadStyle(0, f.data(), static_cast<int>(f.size()), "w"); };
    engine.set(engine.play.userTempo, 130);
    for (const Bytes& junk : {Bytes{}, Bytes{'C', 'A', 'S', 'M', 0, 0, 0, 0}, Bytes(100, 0x4D)}) {
        EXPECT_EQ(std::make_pair(load(junk), loadIntoEngine(junk)), std::make_pair(0, -1));
        EXPECT_EQ(std::make_pair(style->partCount(), style->parts[0].name), std::make_pair(1, std::string("Control changes")));
    }
    EXPECT_EQ(engine.get(engine.play.userTempo), 130);

    StyleWriter w(480, 4, 4, 96);
    w.part("Main A", 2).note(w.at(2), 0, 60, 90, 480);
    ASSERT_EQ(loadIntoEngine(w.build()), 0);
    EXPECT_EQ(std::make_pair(engine.get(engine.play.tempo), engine.get(engine.play.userTempo)), std::make_pair(96, 0));
}

// ---- Notes held across a part marker ----

// A held note goes to the side where it sounds longer: on at the marker, or
// off just before it. Its note on stands on the side of the marker its time
// says, its channel counts for that part, and it is counted once.
TEST_F(Style, HeldNotesGoToTheSideWhereTheySoundLonger)
{
    struct {
        int before, after, onTick, offTick;
        const char* owner;
    } const rows[] = {{100, 300, 3840, 4140, "Main B"}, {200, 200, 3840, 4040, "Main B"}, {300, 100, 3540, 3839, "Main A"}};
    for (const auto& c : rows) {
        SCOPED_TRACE(c.before);
        StyleWriter w(480, 4);
        const int marker = w.at(3);
        w.part("Main A", 2).note(w.at(2), 0, 40, 90, 100).part("Main B", 3);
        w.note(marker - c.before, 5, 60, 60, c.before + c.after).note(marker + 480, 0, 41, 90, 100);
        ASSERT_GT(load(w.build()), 0);
        const int on = first([](const MidiEvent& e) { return isNoteOn(e.stat, e.db2) && e.db1 == 60; });
        ASSERT_GE(on, kFirstEvent);
        EXPECT_EQ(std::make_pair(style->events[on].ticks, style->events[style->events[on].onoff].ticks),
                  std::make_pair(c.onTick, c.offTick));
        EXPECT_EQ(part(c.owner)->tracks[5], 1);
        EXPECT_TRUE(std::string(c.owner) == "Main B" || part("Main B")->tracks[5] == 0);
        bool afterMarker = false;
        for (int r = style->events[style->parts[2].startevent].next; r >= kFirstEvent; r = style->events[r].next) afterMarker |= r == on;
        EXPECT_EQ(afterMarker, c.onTick >= marker);
        EXPECT_EQ(style->averageVelocity, 80); // (90 + 60 + 90) / 3
    }
}

// ---- Channel tables ----

std::string describe(const PartChannel& c)
{
    char line[200];
    std::snprintf(line, sizeof line, "%s d%d e%d %02x%02x %02x%02x%02x%02x%02x dr%d %d.%d r%d t%d %d %d-%d %d", c.name.c_str(),
                  c.dest, c.editable, c.noteMute[0], c.noteMute[1], c.chordMute[0], c.chordMute[1], c.chordMute[2],
                  c.chordMute[3], c.chordMute[4], c.drum, c.sourceChord.root, c.sourceChord.type, c.ntr, c.ntt, c.highKey,
                  c.lowLimit, c.highLimit, c.rtr);
    return line;
}

ChannelTable table(int source, int dest, void (*change)(ChannelTable&) = [](ChannelTable&) {})
{
    ChannelTable t;
    t.source = source, t.name = "Tab" + std::to_string(source), t.dest = dest;
    t.noteMute[0] = 0x0A, t.noteMute[1] = 0xBC, t.chordMute[0] = 0x03, t.chordMute[4] = 0x5A;
    t.root = 7, t.type = 10, t.ntr = 1, t.ntt = 4, t.highKey = 9, t.lowLimit = 30, t.highLimit = 100, t.rtr = 2;
    change(t);
    return t;
}

// One table in a segment for Main A and Main B: both parts get it, Main C
// keeps its defaults, the set-up part takes its dest, drum and ntt.
TEST_F(Style, ChannelTablesAreStoredInThePartsTheSegmentNames)
{
    struct {
        ChannelTable table;
        const char* stored; // describe() of Main A's channel; "" = nothing applied
    } const rows[] = {
        {table(3, 2), "Tab3     d10 e1 0abc 03ffffff5a dr0 7.10 r1 t4 9 30-100 2"},  // a low destination moves up
        {table(3, 12), "Tab3     d12 e1 0abc 03ffffff5a dr0 7.10 r1 t4 9 30-100 2"},
        {table(3, 16), "Tab3     d-1 e1 0abc 03ffffff5a dr0 7.10 r1 t4 9 30-100 2"},  // past 15 plays nowhere
        {table(10, 2, [](ChannelTable& x) { x.ntt = 7; }), "Tab10    d10 e1 0abc 03ffffff5a dr0 7.10 r1 t3 9 30-100 2"},
        {table(4, 2, [](ChannelTable& x) { x.ntt = 7; }), "Tab4     d10 e1 0abc 03ffffff5a dr0 7.10 r1 t2 9 30-100 2"},
        {table(8, 2, [](ChannelTable& x) { x.ntt = 7; }), "Tab8     d10 e1 0abc 03ffffff5a dr0 7.10 r1 t1 9 30-100 2"},
        {table(9, 1, [](ChannelTable& x) { x.ntt = 0, x.chordMute[0] = 0x07; }), "Tab9     d9 e1 0abc 07ffffff5a dr1 7.10 r1 t0 9 30-100 2"},
        {table(5, 1, [](ChannelTable& x) { x.ntt = 0; }), "Tab5     d9 e1 0abc 03ffffff5a dr0 7.10 r1 t1 9 30-100 2"},
        {table(6, 0, [](ChannelTable& x) { x.root = 12, x.type = 34, x.ntr = 2, x.editable = 0; }),
         "Tab6     d8 e0 0abc 03ffffff5a dr0 0.2 r0 t4 9 30-100 2"},
        {table(7, 5, [](ChannelTable& x) { x.ctb2 = true, x.middleLow = 0x55; }),
         "Tab7     d13 e1 0abc 03ffffff5a dr0 7.10 r1 t4 9 30-100 2"},
        {table(1, 3, [](ChannelTable& x) { x.tail = Bytes(40, 0xEE); }), "Tab1     d11 e1 0abc 03ffffff5a dr0 7.10 r1 t4 9 30-100 2"},
        {table(2, 2, [](ChannelTable& x) { x.name = std::string("Bs\0xxxxx", 8); }), "Bs d10 e1 0abc 03ffffff5a dr0 7.10 r1 t4 9 30-100 2"},
        {table(16, 2), ""},                                                            // no such source channel
        {table(3, 2, [](ChannelTable& x) { x.id = "Cntt"; }), ""},                    // other chunk ids
        {table(3, 2, [](ChannelTable& x) { x.tail = {}, x.length = 20; }), ""}};      // shorter than its fields
    for (const auto& c : rows) {
        SCOPED_TRACE(describe(PartChannel{}) + " / " + c.stored);
        StyleWriter w(480, 4);
        w.part("Main A", 2).part("Main B", 3).part("Main C", 4);
        for (int ch = 0; ch < 16; ++ch) w.note(w.at(2), ch, 60, 90, 100).note(w.at(3), ch, 60, 90, 100);
        w.note(w.at(4, 4), 0, 60, 90, 480);
        Segment s;
        s.sdec = "Main A,Main B", s.otherChunks = {{"Cntt", {0x00, 0x02}}}, s.tables = {c.table};
        ASSERT_GT(load(w.segment(s).build()), 0);
        ASSERT_EQ(style->partCount(), 4);
        const int src = c.table.source & 15;
        const std::string untouched = describe(StylePart().channels[src]);
        const std::string want = *c.stored ? c.stored : untouched;
        EXPECT_EQ(describe(part("Main A")->channels[src]) + " / " + describe(part("Main B")->channels[src]) + " / " +
                      describe(part("Main C")->channels[src]),
                  want + " / " + want + " / " + untouched);
        const PartChannel &applied = part("Main A")->channels[src], &setup = style->parts[0].channels[src];
        EXPECT_EQ(std::make_tuple(setup.dest, setup.drum, setup.ntt), std::make_tuple(applied.dest, applied.drum, applied.ntt));
        EXPECT_TRUE(applied.dest < 0 || style->destUsed[applied.dest] == 1);
    }
}

// A second-format style: every table number with and without bass on, the
// guitar rule and out-of-range values, each in the file's terms and in the
// player's; three ranges on one channel; a Cntt that a first-format style
// ignores. {source, ntr, ntt byte, file ntr.ntt.bassOn, player ntr.ntt}
TEST_F(Style, SecondFormatTablesAreReadWithTheirRanges)
{
    struct Row { int source, ntr, ntt; const char* file; const char* player; };
    const Row rows[] = {
        {0, 0, 0, "0.0.0", "0.1"},   {1, 0, 1, "0.1.0", "0.1"},   {2, 0, 2, "0.2.0", "0.2"},     {3, 0, 3, "0.3.0", "0.4"},
        {4, 0, 4, "0.4.0", "0.4"},   {5, 0, 5, "0.5.0", "0.5"},   {6, 0, 6, "0.6.0", "0.5"},     {7, 1, 7, "1.7.0", "1.5"},
        {8, 0, 8, "0.8.0", "0.5"},   {11, 0, 9, "0.9.0", "0.5"},  {12, 0, 10, "0.10.0", "0.5"},  {13, 0, 0x81, "0.1.1", "0.3"},
        {14, 2, 2, "2.2.0", "1.2"},  {15, 2, 0x80, "2.0.1", "1.3"}, {10, 3, 11, "0.1.1", "0.3"},  {9, 0, 0, "0.0.0", "0.0"}};
    auto rule = [](const NoteRule& r) { return std::to_string(r.ntr) + "." + std::to_string(r.ntt); };
    auto block = [](const RangeBlock& b) {
        char text[60];
        std::snprintf(text, sizeof text, "%d.%d.%d %d %d-%d %d", b.ntr, b.ntt, b.bassOn, b.highKey, b.lowLimit, b.highLimit, b.rtr);
        return std::string(text);
    };
    for (const int sff : {2, 1}) {
        SCOPED_TRACE(sff);
        StyleWriter w(480, 4);
        w.sff = sff;
        w.part("Main A", 2).part("Main B", 3);
        for (int ch = 0; ch < 16; ++ch) w.note(w.at(2), ch, 60, 90, 100).note(w.at(3), ch, 60, 90, 100);
        Segment seg;
        seg.sdec = "Main A";
        for (const Row& r : rows) {
            ChannelTable& t = seg.tables.emplace_back();
            t.ctb2 = true, t.source = r.source, t.dest = r.source & 7, t.ntr = r.ntr, t.ntt = r.ntt, t.tail = Bytes(7, 0);
            if (r.source == 9) t.chordMute[0] = 0x07;
        }
        ChannelTable& guitar = seg.tables[12]; // source 14: three ranges
        guitar.middleLow = 40, guitar.middleHigh = 80, guitar.highKey = 7, guitar.lowLimit = 36, guitar.highLimit = 90, guitar.rtr = 1;
        guitar.low = {0, 0x81, 8, 28, 127, 2}, guitar.high = {1, 2, 5, 0, 100, 0};
        seg.otherChunks = {{"Cntt", stylewriter::tableOverride(1, 0x82)}};
        ASSERT_GT(load(w.segment(seg).build()), 0);
        EXPECT_EQ(style->sff, sff);

        const StylePart& a = *part("Main A");
        for (const Row& r : rows) {
            const PartChannel& c = a.channels[r.source];
            const bool overridden = sff == 2 && r.source == 1;
            SCOPED_TRACE(r.source);
            EXPECT_TRUE(c.ranged && c.hasRange(kRangeMiddle));
            EXPECT_EQ(block(c.blocks[kRangeMiddle]).substr(0, block(c.blocks[kRangeMiddle]).find(' ')), overridden ? "0.2.1" : r.file);
            EXPECT_EQ(rule(c.ruleFor(60)), overridden ? "0.3" : r.player);
            EXPECT_EQ(style->parts[0].channels[r.source].ntt, c.ntt);
        }
        const PartChannel& g = a.channels[14];
        EXPECT_EQ(block(g.blocks[kRangeLow]) + " | " + block(g.blocks[kRangeMiddle]) + " | " + block(g.blocks[kRangeHigh]),
                  "0.1.1 8 28-127 2 | 2.2.0 7 36-90 1 | 1.2.0 5 0-100 0");
        EXPECT_EQ(std::make_tuple(g.rangeOf(39), g.rangeOf(40), g.rangeOf(80), g.rangeOf(81)),
                  std::make_tuple(int{kRangeLow}, int{kRangeMiddle}, int{kRangeMiddle}, int{kRangeHigh}));
        EXPECT_EQ(rule(g.ruleFor(30)) + " " + rule(g.ruleFor(60)) + " " + rule(g.ruleFor(100)), "0.3 1.2 1.2");
        EXPECT_EQ(g.ruleFor(100).highKey, 5);
        EXPECT_FALSE(a.channels[13].hasRange(kRangeLow) || a.channels[13].hasRange(kRangeHigh));
        EXPECT_EQ(a.channels[13].rangeOf(0), kRangeMiddle);
        EXPECT_FALSE(part("Main B")->channels[14].ranged); // not named in the Sdec
    }
}

// Damaged CASM sections: what precedes the damage applies. Expected: the
// dest of source channel 0 in Main A and Main B (first and second segment).
TEST_F(Style, DamagedCasmSectionsApplyWhatPrecedesTheDamage)
{
    struct {
        const char* name;
        void (*damage)(StyleWriter&, Segment& first, Segment& second);
        int mainA, mainB;
    } const rows[] = {
        {"intact", [](StyleWriter&, Segment&, Segment&) {}, 8, 9},
        {"missing", [](StyleWriter& w, Segment&, Segment&) { w.withCasm = false; }, -1, -1},
        {"wrong id", [](StyleWriter& w, Segment&, Segment&) { w.casmId = "CASN"; }, -1, -1},
        {"length past the end", [](StyleWriter& w, Segment&, Segment&) { w.casmLength = 0x7FFFFFF0; }, 8, 9},
        {"negative length", [](StyleWriter& w, Segment&, Segment&) { w.casmLength = 0xFFFFFFF0; }, 8, 9},
        {"short length", [](StyleWriter& w, Segment& a, Segment&) { w.casmLength = uint32_t(stylewriter::segmentChunk(a).size()); }, 8, -1},
        {"any segment and Sdec ids", [](StyleWriter&, Segment& a, Segment& b) { a.id = "XXXX", b.sdecId = "1234"; }, 8, 9},
        {"oversized Sdec", [](StyleWriter&, Segment&, Segment& b) { b.sdec = std::string(100001, 'x') + "Main B"; }, 8, -1},
        {"oversized table", [](StyleWriter&, Segment&, Segment& b) { b.tables.insert(b.tables.begin(), table(1, 1)), b.tables[0].length = 100001; }, 8, -1},
        {"absent parts named", [](StyleWriter&, Segment& a, Segment&) { a.sdec = "Main C,Intro A"; }, -1, 9}};
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        StyleWriter w(480, 4);
        w.part("Main A", 2).part("Main B", 3).note(w.at(2), 0, 60, 90, 100).note(w.at(3), 0, 60, 90, 100);
        Segment first, second;
        first.sdec = "Main A", first.tables = {table(0, 0)};
        second.sdec = "Main B", second.tables = {table(0, 1)};
        c.damage(w, first, second);
        w.segment(first).segment(second).trailing = {'O', 'T', 'S', 'c', 0, 0, 0, 2, 1, 2};
        ASSERT_GT(load(w.build()), 0);
        EXPECT_EQ(std::make_pair(part("Main A")->channels[0].dest, part("Main B")->channels[0].dest), std::make_pair(c.mainA, c.mainB));
    }
}

// ---- Analysis ----

TEST_F(Style, AveragesFallBackToTheEngineTargets)
{
    // Without volumes or notes the engine's targets stand in, the velocity never 0: the level rules divide by it.
    engine.set(engine.defaults.targetVolume, 111);
    engine.set(engine.defaults.targetVelocity, 0);
    StyleWriter quiet(480, 4);
    quiet.part("Main A", 2).program(quiet.at(2), 0, 5).controller(quiet.at(2, 2), 0, 7, 0);
    ASSERT_GT(load(quiet.build()), 0);
    EXPECT_EQ(std::make_pair(style->averageVolume, style->averageVelocity), std::make_pair(111, 80));
}

TEST_F(Style, ChannelClassesOfThePartBeingPlayed)
{
    StyleWriter w(480, 4);
    w.part("Main A", 2).part("Main B", 3);
    for (int ch : {2, 4, 9}) w.note(w.at(2), ch, 60, 90, 100);
    w.note(w.at(3), 4, 60, 90, 100);
    Segment s, other;
    s.sdec = "Main A";
    s.tables = {table(9, 1, [](ChannelTable& x) { x.chordMute[0] = 0x07; }), table(2, 2, [](ChannelTable& x) { x.ntt = 3; }), table(4, 3)};
    other.sdec = "Main B";
    other.tables = {table(4, 1, [](ChannelTable& x) { x.ntt = 3; })};
    ASSERT_GT(load(w.segment(s).segment(other).build()), 0);
    // part: class of dests -1, 8, 9, 10, 11, 12 (drums 1, bass 2, chord 3)
    for (const auto& [p, want] : {std::pair{1, "0 0 1 2 3 0"}, {2, "0 0 2 0 0 0"}, {7, "0 0 0 0 0 0"}}) {
        std::string got;
        for (int d : {-1, 8, 9, 10, 11, 12}) got += (got.empty() ? "" : " ") + std::to_string(style->channelClass(p, d));
        EXPECT_EQ(got, want) << "part " << p;
    }
}

TEST_F(Style, PartsEndBeforeTheNextPartMarker)
{
    StyleWriter w(480, 4);
    w.part("Main A", 2).marker(w.at(3), "remark").part("Main B", 4);
    w.controller(0, 0, 7, 100).note(w.at(2), 0, 60, 90, 100).note(w.at(3, 2), 0, 62, 90, 100).note(w.at(4), 0, 64, 90, 100);
    ASSERT_GT(load(w.build()), 0);
    // Walk every part from its marker to its end as the players do. Set-up:
    // file-name markers, the volume; Main A: its notes and the plain marker.
    const std::vector<int> want[] = {{kStatMarker, kStatMarker, 0xB0}, {0x90, 0x80, kStatMarker, 0x90, 0x80}, {0x90, 0x80}};
    for (int p = 0; p < 3; ++p) {
        std::vector<int> walked;
        for (int e = style->events[style->parts[size_t(p)].startevent].next; e >= kFirstEvent && walked.size() < 100; e = style->events[e].next) {
            walked.push_back(style->events[e].stat);
            if (style->partEndsAfter(p, e)) break;
        }
        EXPECT_EQ(walked, want[p]) << p;
    }
    EXPECT_TRUE(style->partEndsAfter(1, 0));
    EXPECT_TRUE(style->partEndsAfter(1, style->eventCount()));
}

// Exact, then the same letter, then the nearest, then Main A; the request is
// changed to what was found.
TEST_F(Style, FindPartOffersTheNearestPart)
{
    StyleWriter w(480, 4);
    int bar = 2; // parts 1-6
    for (const char* name : {"Main A", "Main B", "Fill In AA", "Fill In BA", "Intro A", "Ending B"}) w.part(name, bar++);
    ASSERT_GT(load(w.note(w.at(bar), 0, 60, 90, 100).build()), 0);
    const std::array<int, 7> rows[] = {
        // asked type, level1, level2 -> found, then type, level1, level2
        {kPartMain, 1, 0, 2, kPartMain, 1, 0},     {kPartMain, 3, 0, 2, kPartMain, 1, 0},
        {kPartFillIn, 1, 1, 4, kPartFillIn, 1, 0}, {kPartFillIn, 0, 0, 3, kPartFillIn, 0, 0},
        {kPartFillIn, 2, 0, 4, kPartFillIn, 1, 0}, {kPartEnding, 0, 0, 6, kPartEnding, 1, 0},
        {kPartBreak, 0, 0, 1, kPartMain, 0, 0},    {-1, 0, 0, 0, -1, 0, 0},
        {kPartMain, -2, 0, 0, kPartMain, -2, 0}};
    for (const auto& c : rows) {
        int type = c[0], level1 = c[1], level2 = c[2];
        const int found = style->findPart(type, level1, level2);
        EXPECT_EQ((std::array<int, 7>{c[0], c[1], c[2], found, type, level1, level2}), c);
    }
    // Without a part to offer: the set-up part; with only a fill, the fill.
    StyleWriter none(480, 4), fills(480, 4);
    ASSERT_GT(load(none.note(0, 0, 60, 90, 100).build()), 0);
    int type = kPartMain, level1 = 0, level2 = 0;
    EXPECT_EQ(style->findPart(type, level1, level2), 0);
    ASSERT_GT(load(fills.part("Fill In CC", 2).note(fills.at(2), 0, 60, 90, 100).build()), 0);
    type = kPartIntro;
    EXPECT_EQ(style->findPart(type, level1, level2), 1);
    EXPECT_EQ(std::make_tuple(type, level1, level2), std::make_tuple(int{kPartFillIn}, 2, 0));
}

} // namespace
