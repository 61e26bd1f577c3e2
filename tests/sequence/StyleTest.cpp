// Style files built with the style writer: part names, markers on bar lines,
// part lengths, the CASM channel tables and the analysis after loading.
#include "SequenceTestUtil.h"
#include "StyleWriter.h"

#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

using stylewriter::Bytes;
using stylewriter::ChannelTable;
using stylewriter::Segment;
using stylewriter::StyleWriter;

namespace {

class StyleFixture {
protected:
    // Reads the file into a fresh style of the engine.
    int load(const Bytes& file)
    {
        style = std::make_unique<CStyle>(&engine);
        style->messageOut = nullptr;
        const int r = style->readStyle(file.data(), static_cast<int>(file.size()));
        seqtest::expectConsistent(*style);
        return r;
    }
    const StylePart* part(const std::string& name) const
    {
        for (const StylePart& p : style->parts)
            if (p.name == name) return &p;
        return nullptr;
    }
    // Ticks of the marker events, in list order, with their texts.
    std::vector<std::pair<int, std::string>> markers() const
    {
        std::vector<std::pair<int, std::string>> out;
        for (int r : seqtest::indexesOf(*style, kMainList))
            if (style->events[r].stat == kStatMarker) out.emplace_back(style->events[r].ticks, style->events[r].string);
        return out;
    }
    int firstNoteOnAfter(int tick) const
    {
        for (int r : seqtest::indexesOf(*style, kMainList))
            if (isNoteOn(style->events[r].stat, style->events[r].db2) && style->events[r].ticks >= tick) return r;
        return -1;
    }

    CKvSeq engine;
    std::unique_ptr<CStyle> style;
};

class Style : public StyleFixture, public ::testing::Test {};

// ---- Part names ----

struct NameCase {
    const char* text;
    const char* canonical;
    int type, level1, level2; // of parsePartName(text); -1: not checked
};

class PartNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(PartNames, CanonicalFormKindAndLetters)
{
    const NameCase& c = GetParam();
    EXPECT_EQ(canonicalPartName(c.text), c.canonical);
    if (c.type < 0) return;
    StylePart p;
    parsePartName(p, c.text);
    EXPECT_EQ(p.name, c.text);
    EXPECT_EQ(p.type, c.type);
    EXPECT_EQ(p.level1, c.level1);
    EXPECT_EQ(p.level2, c.level2);
}

INSTANTIATE_TEST_SUITE_P(
    Style, PartNames,
    ::testing::Values(NameCase{"main a", "Main A", -1, 0, 0}, NameCase{"MAIN D", "Main D", -1, 0, 0},
                      NameCase{"FILL IN ab", "Fill In AB", -1, 0, 0}, NameCase{"Fill In AB", "Fill In AB", 1, 0, 1},
                      NameCase{"Fill In BB", "Fill In BB", 1, 1, 1}, NameCase{"Fill In BA", "Fill In BA", 1, 1, 0},
                      NameCase{"Fill In CC", "Fill In CC", 1, 2, 0}, NameCase{"Fill In DD", "Fill In DD", 1, 3, 0},
                      NameCase{"Intro C", "Intro C", 2, 2, 0}, NameCase{"Ending B", "Ending B", 3, 1, 0},
                      NameCase{"Main D", "Main D", 0, 3, 0}, NameCase{"ending c", "Ending C", -1, 0, 0},
                      // Names the parse knows though no marker can produce them.
                      NameCase{"Break AB", "none", 4, 0, 1}, NameCase{"Break DB", "none", 4, 3, 1},
                      NameCase{"Main", "none", 0, 0, 0}, NameCase{"Fill In", "none", 1, 0, 0},
                      NameCase{"Ending Z", "none", 3, 0, 0}, NameCase{"Intro E", "none", 2, 0, 0},
                      NameCase{"main e", "none", -1, 0, 0}, NameCase{"break a", "none", -1, 0, 0},
                      NameCase{"intro d", "none", -1, 0, 0}, NameCase{"Main A ", "none", -1, 0, 0},
                      NameCase{" main a", "none", -1, 0, 0}, NameCase{"main  a", "none", -1, 0, 0},
                      NameCase{"", "none", -1, 0, 0}, NameCase{"SFF1", "none", -1, 0, 0}));

// ---- Markers on bar lines ----

struct MarkerCase {
    const char* name;
    int ticksPerBeat, numerator;
    int tick;           // where the file puts the marker
    const char* text;
    int placed;         // where the style has it
    const char* stored; // its text afterwards
};

class MarkerPlacement : public StyleFixture, public ::testing::TestWithParam<MarkerCase> {};

// The marker goes to a bar line and the music after it in its track moves
// by the same amount; a track of its own keeps its times.
TEST_P(MarkerPlacement, MarkerGoesToItsBarLineAndItsTrackFollows)
{
    const MarkerCase& c = GetParam();
    for (int format : {0, 1}) {
        StyleWriter w(c.ticksPerBeat, c.numerator);
        w.fileNameMarkers = false;
        w.format = format;
        w.marker(c.tick, c.text).note(c.tick + 100, 0, 60, 90, 50);
        ASSERT_GT(load(w.build()), 0);
        ASSERT_EQ(markers().size(), 1u);
        EXPECT_EQ(markers()[0], std::make_pair(c.placed, std::string(c.stored))) << "format " << format;
        const int on = firstNoteOnAfter(0);
        ASSERT_GE(on, kFirstEvent);
        EXPECT_EQ(style->events[on].ticks, (format == 0 ? c.placed : c.tick) + 100) << "format " << format;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Style, MarkerPlacement,
    ::testing::Values(MarkerCase{"MainABar3Beat2", 480, 4, 4 * 480 * 2 + 480, "MAIN A", 3840, "Main A"},
                      MarkerCase{"InBar1GoesToBar2", 480, 4, 960, "Main A", 1920, "Main A"},
                      MarkerCase{"FileNameMarkerStaysInBar1", 480, 4, 480, "SFF1", 0, "SFF1"},
                      MarkerCase{"LowerCaseFileNameIsNoException", 480, 4, 480, "sint", 1920, "SInt"},
                      MarkerCase{"OnTheBarLineStays", 480, 4, 7680, "main b", 7680, "Main B"},
                      MarkerCase{"FirstTickStays", 480, 4, 0, "Intro A", 0, "Intro A"},
                      MarkerCase{"OneTickLate", 96, 4, 385, "Ending C", 384, "Ending C"},
                      // A waltz whose set-up bar is four beats long: every part after it moves one beat back.
                      MarkerCase{"WaltzAfterFourBeatSetUp", 1920, 3, 7680, "Main A", 5760, "Main A"},
                      MarkerCase{"LaterSMarkerStaysInItsBar", 480, 4, 4320, "Sync", 3840, "Sync"},
                      MarkerCase{"OtherTextsMoveToo", 480, 4, 4500, "chord:C", 3840, "chord:C"}),
    [](const auto& p) { return std::string(p.param.name); });

// Each move drags the rest of the track along, which a damaged file could
// make endless work of: after 256 moves the markers stay where they are.
TEST_F(Style, OnlyTheFirstMarkerMovesOfAFileAreMade)
{
    StyleWriter w(480, 4);
    w.fileNameMarkers = false;
    for (int k = 1; k <= 300; ++k) w.marker(k * 1921, "x");
    ASSERT_GT(load(w.build()), 0);
    int offBar = 0;
    for (const auto& [tick, text] : markers()) offBar += tick % 1920 != 0;
    EXPECT_EQ(markers().size(), 300u);
    EXPECT_EQ(offBar, 300 - 256);
    EXPECT_EQ(markers()[255].first, 256 * 1920);
    EXPECT_EQ(markers()[256].first, 256 * 1920 + 1921);
}

// ---- Parts and their lengths ----

TEST_F(Style, PartsFollowTheMarkersWithTheirBarsAndOffsets)
{
    StyleWriter w(480, 4);
    w.part("Main A", 2).part("Main B", 6);
    w.controller(0, 0, 7, 100).note(w.at(2), 0, 60, 90, 480).note(w.at(9, 4), 1, 48, 90, 480);
    ASSERT_EQ(load(w.build()), static_cast<int>(w.build().size()));
    ASSERT_EQ(style->partCount(), 3);
    const std::tuple<std::string, int, int, int, int> want[] = {
        {"Control changes", 1, 0, 0, 0}, {"Main A", 4, 1920, kPartMain, 0}, {"Main B", 4, 9600, kPartMain, 1}};
    for (int k = 0; k < 3; ++k) {
        const StylePart& p = style->parts[static_cast<size_t>(k)];
        EXPECT_EQ(std::make_tuple(p.name, p.bars, p.offsettime, p.type, p.level1), want[k]) << k;
    }
    EXPECT_EQ(style->parts[0].startevent, 0);
    EXPECT_EQ(style->events[style->parts[1].startevent].string, "Main A");
    EXPECT_EQ(style->events[style->parts[2].startevent].string, "Main B");
    EXPECT_EQ(style->parts[1].tracks[0], 1);
    EXPECT_EQ(style->parts[1].tracks[1], 0);
    EXPECT_EQ(style->parts[2].tracks[1], 1);
}

TEST_F(Style, FilesThatAreNoMidiFilesLeaveOnlyTheSetUpPart)
{
    engine.set(engine.userTempo, 130);
    for (const Bytes& junk : {Bytes{}, Bytes{'C', 'A', 'S', 'M', 0, 0, 0, 0}, Bytes(100, 0x4D)}) {
        EXPECT_EQ(load(junk), 0);
        EXPECT_EQ(style->partCount(), 1);
        EXPECT_EQ(style->parts[0].name, "Control changes");
    }
    EXPECT_EQ(engine.get(engine.userTempo), 130);
}

TEST_F(Style, LoadingTakesTheStyleTempoUnlessSomethingPlays)
{
    StyleWriter w(480, 4, 4, 96);
    w.part("Main A", 2).note(w.at(2), 0, 60, 90, 480);
    engine.set(engine.userTempo, 130);
    ASSERT_GT(load(w.build()), 0);
    EXPECT_EQ(engine.get(engine.tempo), 96);
    EXPECT_EQ(engine.get(engine.userTempo), 0);

    engine.setTempo(140);
    CStyle playing(&engine);
    engine.set(engine.playingStyle, &playing);
    ASSERT_GT(load(w.build()), 0);
    engine.set(engine.playingStyle, nullptr);
    EXPECT_EQ(engine.get(engine.tempo), 140);
}

// ---- Notes held across a part marker ----

struct HeldCase {
    const char* name;
    int before, after; // how long the note sounds before and after the marker
    int onTick, offTick;
    const char* ownerPart; // whose tracks hold the note's channel
};

class HeldNotes : public StyleFixture, public ::testing::TestWithParam<HeldCase> {};

TEST_P(HeldNotes, GoToTheSideWhereTheySoundLonger)
{
    const HeldCase& c = GetParam();
    StyleWriter w(480, 4);
    const int marker = w.at(3);
    w.part("Main A", 2).note(w.at(2), 0, 40, 90, 100).part("Main B", 3);
    w.note(marker - c.before, 5, 60, 60, c.before + c.after).note(marker + 480, 0, 41, 90, 100);
    ASSERT_GT(load(w.build()), 0);
    int on = -1;
    for (int r : seqtest::indexesOf(*style, kMainList))
        if (isNoteOn(style->events[r].stat, style->events[r].db2) && style->events[r].db1 == 60) on = r;
    ASSERT_GE(on, kFirstEvent);
    const int off = style->events[on].onoff;
    EXPECT_EQ(style->events[on].ticks, c.onTick);
    EXPECT_EQ(style->events[off].ticks, c.offTick);
    EXPECT_EQ(part(c.ownerPart)->tracks[5], 1);
    if (std::string(c.ownerPart) == "Main A") {
        EXPECT_EQ(part("Main B")->tracks[5], 0);
    }
    // The note on stands on the side of the marker its time says.
    const int m = style->parts[2].startevent;
    bool afterMarker = false;
    for (int r = style->events[m].next; r >= kFirstEvent; r = style->events[r].next) afterMarker |= r == on;
    EXPECT_EQ(afterMarker, c.onTick >= marker);
    EXPECT_EQ(style->averageVelocity, 80); // (90 + 60 + 90) / 3: a moved note is counted once
}

INSTANTIATE_TEST_SUITE_P(
    Style, HeldNotes,
    ::testing::Values(HeldCase{"MostlyAfterMovesToTheMarker", 100, 300, 3840, 4140, "Main B"},
                      HeldCase{"EvenSplitMovesToTheMarker", 200, 200, 3840, 4040, "Main B"},
                      HeldCase{"MostlyBeforeEndsJustBefore", 300, 100, 3540, 3839, "Main A"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Channel tables ----

// The settings of a channel record as one comparable line.
std::string describe(const PartChannel& c)
{
    char line[200];
    std::snprintf(line, sizeof line, "%s dest %d ed %d nm %02x%02x cm %02x%02x%02x%02x%02x drum %d chord %d.%d ntr %d ntt %d hk %d %d-%d rtr %d",
                  c.name.c_str(), c.dest, c.editable, c.noteMute[0], c.noteMute[1], c.chordMute[0], c.chordMute[1],
                  c.chordMute[2], c.chordMute[3], c.chordMute[4], c.drum, c.sourceChord.root, c.sourceChord.type, c.ntr,
                  c.ntt, c.highKey, c.lowLimit, c.highLimit, c.rtr);
    return line;
}

ChannelTable table(int source, int dest)
{
    ChannelTable t;
    t.source = source;
    t.name = "Tab" + std::to_string(source);
    t.dest = dest;
    t.noteMute[0] = 0x0A;
    t.noteMute[1] = 0xBC;
    t.chordMute[0] = 0x03;
    t.chordMute[4] = 0x5A;
    t.root = 7;
    t.type = 10;
    t.ntr = 1;
    t.ntt = 4;
    t.highKey = 9;
    t.lowLimit = 30;
    t.highLimit = 100;
    t.rtr = 2;
    return t;
}

struct TableCase {
    const char* name;
    ChannelTable table;
    const char* stored; // describe() of Main A's channel; "" = nothing applied
};

class ChannelTables : public StyleFixture, public ::testing::TestWithParam<TableCase> {};

// One table in a segment for Main A and Main B: both parts get it, Main C
// and the rest keep their defaults, part 0 takes its dest, drum and ntt.
TEST_P(ChannelTables, AreStoredInThePartsTheSegmentNames)
{
    const TableCase& c = GetParam();
    StyleWriter w(480, 4);
    w.part("Main A", 2).part("Main B", 3).part("Main C", 4);
    for (int ch = 0; ch < 16; ++ch) w.note(w.at(2), ch, 60, 90, 100).note(w.at(3), ch, 60, 90, 100);
    w.note(w.at(4, 4), 0, 60, 90, 480);
    Segment s;
    s.sdec = "Main A,Main B";
    s.otherChunks = {{"Cntt", {0x00, 0x02}}};
    s.tables = {c.table};
    w.segment(s);
    ASSERT_GT(load(w.build()), 0);
    ASSERT_EQ(style->partCount(), 4);
    const int src = c.table.source & 15;
    StylePart fresh;
    const std::string untouched = describe(fresh.channels[src]);
    const std::string want = *c.stored ? c.stored : untouched;
    EXPECT_EQ(describe(part("Main A")->channels[src]), want);
    EXPECT_EQ(describe(part("Main B")->channels[src]), want);
    EXPECT_EQ(describe(part("Main C")->channels[src]), untouched);
    const PartChannel& applied = part("Main A")->channels[src];
    const PartChannel& setup = style->parts[0].channels[src];
    EXPECT_EQ(std::make_tuple(setup.dest, setup.drum, setup.ntt), std::make_tuple(applied.dest, applied.drum, applied.ntt));
    if (applied.dest >= 0) {
        EXPECT_EQ(style->destUsed[applied.dest], 1);
    }
}

ChannelTable with(ChannelTable t, void (*change)(ChannelTable&))
{
    change(t);
    return t;
}

INSTANTIATE_TEST_SUITE_P(
    Style, ChannelTables,
    ::testing::Values(
        TableCase{"LowDestinationMovesUp", table(3, 2), "Tab3     dest 10 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"HighDestinationStays", table(3, 12), "Tab3     dest 12 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"DestinationPastSixteenPlaysNowhere", table(3, 16), "Tab3     dest -1 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"Ntt7OnChannel10IsTheBassTable", with(table(10, 2), [](ChannelTable& x) { x.ntt = 7; }),
                  "Tab10    dest 10 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 3 hk 9 30-100 rtr 2"},
        TableCase{"Ntt7OnChannel4IsTable2", with(table(4, 2), [](ChannelTable& x) { x.ntt = 7; }),
                  "Tab4     dest 10 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 2 hk 9 30-100 rtr 2"},
        TableCase{"Ntt7OnChannel8IsZeroThenOneWithoutDrumBit", with(table(8, 2), [](ChannelTable& x) { x.ntt = 7; }),
                  "Tab8     dest 10 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 1 hk 9 30-100 rtr 2"},
        TableCase{"DrumBitKeepsNttZero", with(table(9, 1), [](ChannelTable& x) { x.ntt = 0; x.chordMute[0] = 0x07; }),
                  "Tab9     dest 9 ed 1 nm 0abc cm 07ffffff5a drum 1 chord 7.10 ntr 1 ntt 0 hk 9 30-100 rtr 2"},
        TableCase{"NttZeroWithoutDrumBitBecomesOne", with(table(5, 1), [](ChannelTable& x) { x.ntt = 0; }),
                  "Tab5     dest 9 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 1 hk 9 30-100 rtr 2"},
        TableCase{"OutOfRangeChordAndRules", with(table(6, 0), [](ChannelTable& x) { x.root = 12; x.type = 34; x.ntr = 2; x.editable = 0; }),
                  "Tab6     dest 8 ed 0 nm 0abc cm 03ffffff5a drum 0 chord 0.2 ntr 0 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"Ctb2HasTwoMoreBytesAfterNtr", with(table(7, 5), [](ChannelTable& x) { x.ctb2 = true; x.ctb2Extra[0] = 0x55; x.ctb2Extra[1] = 0x66; }),
                  "Tab7     dest 13 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"LongTableTailIsSkipped", with(table(1, 3), [](ChannelTable& x) { x.tail = Bytes(40, 0xEE); }),
                  "Tab1     dest 11 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"NameEndsAtNul", with(table(2, 2), [](ChannelTable& x) { x.name = std::string("Bs\0xxxxx", 8); }),
                  "Bs dest 10 ed 1 nm 0abc cm 03ffffff5a drum 0 chord 7.10 ntr 1 ntt 4 hk 9 30-100 rtr 2"},
        TableCase{"SourcePastFifteenAppliesToNothing", table(16, 2), ""},
        TableCase{"OtherChunkIdsAreSkipped", with(table(3, 2), [](ChannelTable& x) { x.id = "Cntt"; }), ""},
        TableCase{"TableShorterThanItsFieldsIsSkipped", with(table(3, 2), [](ChannelTable& x) { x.tail = {}; x.length = 20; }), ""}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Damaged CASM sections ----

struct CasmCase {
    const char* name;
    void (*damage)(StyleWriter&, Segment& first, Segment& second);
    int mainA, mainB; // dest of source channel 0 afterwards
};

class CasmSections : public StyleFixture, public ::testing::TestWithParam<CasmCase> {};

TEST_P(CasmSections, ApplyWhatPrecedesTheDamage)
{
    const CasmCase& c = GetParam();
    StyleWriter w(480, 4);
    w.part("Main A", 2).part("Main B", 3).note(w.at(2), 0, 60, 90, 100).note(w.at(3), 0, 60, 90, 100);
    Segment first, second;
    first.sdec = "Main A";
    first.tables = {table(0, 0)};
    second.sdec = "Main B";
    second.tables = {table(0, 1)};
    c.damage(w, first, second);
    w.segment(first).segment(second);
    w.trailing = {'O', 'T', 'S', 'c', 0, 0, 0, 2, 1, 2};
    const Bytes file = w.build();
    ASSERT_GT(load(file), 0);
    EXPECT_EQ(part("Main A")->channels[0].dest, c.mainA);
    EXPECT_EQ(part("Main B")->channels[0].dest, c.mainB);
}

INSTANTIATE_TEST_SUITE_P(
    Style, CasmSections,
    ::testing::Values(
        CasmCase{"Intact", [](StyleWriter&, Segment&, Segment&) {}, 8, 9},
        CasmCase{"Missing", [](StyleWriter& w, Segment&, Segment&) { w.withCasm = false; }, -1, -1},
        CasmCase{"WrongId", [](StyleWriter& w, Segment&, Segment&) { w.casmId = "CASN"; }, -1, -1},
        CasmCase{"LengthPastTheEndIsRepaired", [](StyleWriter& w, Segment&, Segment&) { w.casmLength = 0x7FFFFFF0; }, 8, 9},
        CasmCase{"NegativeLengthIsRepaired", [](StyleWriter& w, Segment&, Segment&) { w.casmLength = 0xFFFFFFF0; }, 8, 9},
        CasmCase{"ShortLengthEndsTheSection", [](StyleWriter& w, Segment& first, Segment&) {
                     w.casmLength = static_cast<uint32_t>(stylewriter::segmentChunk(first).size()); }, 8, -1},
        CasmCase{"SegmentAndSdecIdsMayBeAnything", [](StyleWriter&, Segment& first, Segment& second) {
                     first.id = "XXXX"; second.sdecId = "1234"; }, 8, 9},
        CasmCase{"OversizedSdecEndsTheReading", [](StyleWriter&, Segment&, Segment& second) {
                     second.sdec = std::string(100001, 'x') + "Main B"; }, 8, -1},
        CasmCase{"OversizedTableEndsTheReading", [](StyleWriter&, Segment&, Segment& second) {
                     second.tables.insert(second.tables.begin(), table(1, 1));
                     second.tables[0].length = 100001; }, 8, -1},
        CasmCase{"PartsNamedButAbsentGetNothing", [](StyleWriter&, Segment& first, Segment&) { first.sdec = "Main C,Intro A"; }, -1, 9}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Analysis ----

TEST_F(Style, AveragesBankEightAndUsedDestinations)
{
    StyleWriter w(480, 4);
    w.part("Main A", 2).part("Main B", 3);
    w.controller(0, 0, 7, 100).controller(0, 1, 7, 51).controller(0, 0, 0, 8); // set-up: channel 0 plays on 8
    w.controller(w.at(2), 1, 0, 8);                                               // channel 1 plays on 9, without notes
    w.controller(w.at(3), 2, 0, 8).controller(w.at(3), 2, 0, 9);                // channel 2 plays on 15 in Main B only
    w.note(w.at(2), 0, 60, 90, 100).note(w.at(3), 2, 60, 71, 100);
    Segment s;
    s.sdec = "Main A,Main B";
    s.tables = {table(0, 0), table(1, 1)};
    Segment b;
    b.sdec = "Main B";
    b.tables = {table(2, 7)};
    w.segment(s).segment(b);
    ASSERT_GT(load(w.build()), 0);
    EXPECT_EQ(style->averageVolume, 75);
    EXPECT_EQ(style->averageVelocity, 80);
    const uint8_t bank8[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1};
    const uint8_t used[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::vector<uint8_t>(style->destBank8, style->destBank8 + 16), std::vector<uint8_t>(bank8, bank8 + 16));
    EXPECT_EQ(std::vector<uint8_t>(style->destUsed, style->destUsed + 16), std::vector<uint8_t>(used, used + 16));

    // Without volumes or notes the engine's targets stand in.
    engine.set(engine.targetVolume, 111);
    engine.set(engine.targetVelocity, 0);
    StyleWriter quiet(480, 4);
    quiet.part("Main A", 2).program(quiet.at(2), 0, 5).controller(quiet.at(2, 2), 0, 7, 0);
    ASSERT_GT(load(quiet.build()), 0);
    EXPECT_EQ(style->averageVolume, 111);
    EXPECT_EQ(style->averageVelocity, 80); // never 0: the level rules divide by it
}

TEST_F(Style, ChannelClassesOfThePartBeingPlayed)
{
    StyleWriter w(480, 4);
    w.part("Main A", 2).part("Main B", 3);
    for (int ch : {2, 4, 9}) w.note(w.at(2), ch, 60, 90, 100);
    w.note(w.at(3), 4, 60, 90, 100);
    Segment s;
    s.sdec = "Main A";
    ChannelTable drums = table(9, 1), bass = table(2, 2), pad = table(4, 3);
    drums.chordMute[0] = 0x07;
    bass.ntt = 3;
    s.tables = {drums, bass, pad};
    Segment other;
    other.sdec = "Main B";
    other.tables = {with(table(4, 1), [](ChannelTable& x) { x.ntt = 3; })};
    w.segment(s).segment(other);
    ASSERT_GT(load(w.build()), 0);
    const std::pair<int, int> mainA[] = {{9, 1}, {10, 2}, {11, 3}, {12, 0}, {8, 0}, {-1, 0}};
    engine.set(engine.currentPart, 1);
    for (auto [dest, cls] : mainA) EXPECT_EQ(style->channelClass(dest), cls) << "Main A dest " << dest;
    engine.set(engine.currentPart, 2);
    EXPECT_EQ(style->channelClass(9), 2);
    EXPECT_EQ(style->channelClass(10), 0);
    engine.set(engine.currentPart, 7);
    EXPECT_EQ(style->channelClass(9), 0);
}

TEST_F(Style, PartsEndBeforeTheNextPartMarker)
{
    StyleWriter w(480, 4);
    w.part("Main A", 2).marker(w.at(3), "remark").part("Main B", 4);
    w.controller(0, 0, 7, 100).note(w.at(2), 0, 60, 90, 100).note(w.at(3, 2), 0, 62, 90, 100).note(w.at(4), 0, 64, 90, 100);
    ASSERT_GT(load(w.build()), 0);
    // Walk every part from its marker to its end as the players do.
    std::vector<std::vector<int>> walked(3);
    for (int p = 0; p < 3; ++p) {
        int steps = 0;
        for (int e = style->events[style->parts[static_cast<size_t>(p)].startevent].next; e >= kFirstEvent; e = style->events[e].next) {
            walked[static_cast<size_t>(p)].push_back(style->events[e].stat);
            if (style->partEndsAfter(p, e) || ++steps > 100) break;
        }
    }
    // Set-up: file-name markers, the volume; Main A: its notes and the plain
    // marker; Main B: its note to the end.
    EXPECT_EQ(walked[0], (std::vector<int>{kStatMarker, kStatMarker, 0xB0}));
    EXPECT_EQ(walked[1], (std::vector<int>{0x90, 0x80, kStatMarker, 0x90, 0x80}));
    EXPECT_EQ(walked[2], (std::vector<int>{0x90, 0x80}));
    EXPECT_TRUE(style->partEndsAfter(1, 0));
    EXPECT_TRUE(style->partEndsAfter(1, style->eventCount()));
}

struct FindCase {
    int type, level1, level2;
    int found;
    int foundType, foundLevel1, foundLevel2;
};

class FindPart : public StyleFixture, public ::testing::TestWithParam<FindCase> {};

TEST_P(FindPart, ExactThenLetterThenNearestThenMainA)
{
    const FindCase& c = GetParam();
    StyleWriter w(480, 4);
    // Parts 1-6: Main A, Main B, Fill In AA, Fill In BA, Intro A, Ending B.
    int bar = 2;
    for (const char* name : {"Main A", "Main B", "Fill In AA", "Fill In BA", "Intro A", "Ending B"}) w.part(name, bar++);
    w.note(w.at(bar), 0, 60, 90, 100);
    ASSERT_GT(load(w.build()), 0);
    int type = c.type, level1 = c.level1, level2 = c.level2;
    EXPECT_EQ(style->findPart(type, level1, level2), c.found);
    EXPECT_EQ(std::make_tuple(type, level1, level2), std::make_tuple(c.foundType, c.foundLevel1, c.foundLevel2));
}

INSTANTIATE_TEST_SUITE_P(
    Style, FindPart,
    ::testing::Values(FindCase{kPartMain, 1, 0, 2, kPartMain, 1, 0}, FindCase{kPartMain, 3, 0, 2, kPartMain, 1, 0},
                      FindCase{kPartFillIn, 1, 1, 4, kPartFillIn, 1, 0}, FindCase{kPartFillIn, 0, 0, 3, kPartFillIn, 0, 0},
                      FindCase{kPartFillIn, 2, 0, 4, kPartFillIn, 1, 0}, FindCase{kPartEnding, 0, 0, 6, kPartEnding, 1, 0},
                      FindCase{kPartBreak, 0, 0, 1, kPartMain, 0, 0}, FindCase{-1, 0, 0, 0, -1, 0, 0},
                      FindCase{kPartMain, -2, 0, 0, kPartMain, -2, 0}));

TEST_F(Style, FindPartWithoutAPartToOffer)
{
    StyleWriter w(480, 4);
    w.note(0, 0, 60, 90, 100);
    ASSERT_GT(load(w.build()), 0);
    int type = kPartMain, level1 = 0, level2 = 0;
    EXPECT_EQ(style->findPart(type, level1, level2), 0);

    StyleWriter fills(480, 4);
    fills.part("Fill In CC", 2).note(fills.at(2), 0, 60, 90, 100);
    ASSERT_GT(load(fills.build()), 0);
    type = kPartIntro;
    EXPECT_EQ(style->findPart(type, level1, level2), 1);
    EXPECT_EQ(std::make_tuple(type, level1, level2), std::make_tuple(int{kPartFillIn}, 2, 0));
}

} // namespace
