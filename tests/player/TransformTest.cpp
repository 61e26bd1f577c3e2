// Style events through the transformation, edge cases in tables.
#include "base/FileReader.h"
#include "player/Transform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

Chord chordOf(const char* symbol) { Chord c; parseChordSymbol(c, symbol); return c; }

PartChannel channel(int ntt, int highKey, int low, int high)
{
    PartChannel ch;
    ch.setDefaults(8), ch.ntt = ntt, ch.highKey = highKey, ch.lowLimit = low, ch.highLimit = high;
    return ch;
}

TEST(Transform, TransposeNote)
{
    struct Row { const char* what; int pitch; const char* chord; int ntt, partType, highKey, low, high, expected; };
    const Row rows[] = {
        {"source chord, ntt 1: a passing D stays", 62, "Cmaj7", 1, kPartMain, 6, 0, 127, 62},
        {"source chord, ntt 2 in an Intro: D stays", 62, "Cmaj7", 2, kPartIntro, 6, 0, 127, 62},
        {"source chord, ntt 2 in a Main: D snaps to C (first of the tie)", 62, "Cmaj7", 2, kPartMain, 6, 0, 127, 60},
        {"bass rel 4 for F: up five", 40, "F", 3, kPartMain, 6, 0, 127, 45},
        {"highKey 6, chord G: down five", 60, "G", 1, kPartMain, 6, 0, 127, 55},
        {"highKey 7, chord G: up seven", 60, "G", 1, kPartMain, 7, 0, 127, 67},
        {"ntt 1 in an Intro follows the minor third", 64, "Cm", 1, kPartIntro, 6, 0, 127, 63},
        {"ntt 1 in a Main: the slot rule moves the seventh", 71, "Cm7", 1, kPartMain, 6, 0, 127, 70},
        {"slot rule, major seventh to a triad: nearest tone", 71, "Dm", 2, kPartMain, 6, 0, 127, 74},
        {"five-note chord: the fifth plays the tension", 67, "C7(9)", 2, kPartMain, 6, 0, 127, 62},
        {"1+8 is kept off the third-and-fifth rule: D snaps to C", 62, "C1+8", 1, kPartIntro, 6, 0, 127, 60},
        {"bass table with a slash bass", 36, "C/E", 3, kPartMain, 6, 0, 127, 40},
        {"2 below the low limit: up 12", 48, "Cmaj7", 1, kPartMain, 6, 50, 127, 60},
        {"14 below the low limit: up 24", 36, "Cmaj7", 1, kPartMain, 6, 50, 127, 60},
        {"14 above the high limit: down 24", 84, "Cmaj7", 1, kPartMain, 6, 0, 70, 60},
    };
    for (const Row& r : rows)
        EXPECT_EQ(transposeNote(r.pitch, chordOf(r.chord), channel(r.ntt, r.highKey, r.low, r.high), r.partType), r.expected) << r.what;
    PartChannel d = channel(1, 11, 0, 127);
    buildChord(d.sourceChord, 2, 2, -1); // written in D major 7
    EXPECT_EQ(transposeNote(62, chordOf("G"), d, kPartMain), 67);
}

// Root fixed: the chord tone the table picks, in the octave nearest the
// source pitch; the high key does not count, the key limits still do.
TEST(Transform, RootFixedKeepsTheRegister)
{
    struct Row { const char* what; int pitch; const char* chord; int highKey, low, high, rootTransposed, rootFixed; };
    const Row rows[] = {
        {"G with high key 7: five down, not seven up", 60, "G", 7, 0, 127, 67, 55},
        {"G with high key 6: both five down", 60, "G", 6, 0, 127, 55, 55},
        {"F#: six up is still the nearest", 64, "F#", 6, 0, 127, 70, 70},
        {"Db with high key 0: one up, not eleven down", 64, "Db", 0, 0, 127, 53, 65},
        {"the seventh follows its chord tone", 71, "Am7", 11, 0, 127, 79, 67},
        {"Bb: two down, then the low limit lifts it", 60, "Bb", 11, 59, 127, 70, 70},
        {"F: five up, then the high limit lowers it", 72, "F", 6, 0, 75, 65, 65},
    };
    for (const Row& r : rows) {
        PartChannel ch = channel(2, r.highKey, r.low, r.high);
        EXPECT_EQ(transposeNote(r.pitch, chordOf(r.chord), ch, kPartMain), r.rootTransposed) << r.what;
        ch.ntr = 1;
        EXPECT_EQ(transposeNote(r.pitch, chordOf(r.chord), ch, kPartMain), r.rootFixed) << r.what;
    }
}

// Part 1 Main, part 2 Intro; source channels 8 other, 9 drums, 10 bass,
// 11 unmapped, 12 mapped to 3, 13 on a bank-8 destination, 15 unmapped drums.
struct Fixture {
    std::unique_ptr<CStyle> style = std::make_unique<CStyle>();
    TransformSettings settings;
    BassMemory bass;
    CRandom random;

    Fixture()
    {
        style->parts.resize(3);
        style->parts[2].type = kPartIntro;
        for (StylePart& p : style->parts) {
            for (int c = 8; c < 16; ++c) p.channels[c].dest = c, style->destUsed[c] = 1;
            p.channels[11].dest = p.channels[15].dest = -1;
            p.channels[12].dest = 3;
            p.channels[15].drum = 1;
        }
        style->destBank8[13] = 1;
        settings.currentPart = 1;
    }
    // The event as played, or stat -1000 when dropped.
    StyleEvent run(StyleEvent e, const char* chord = "C", int part = 1)
    { return transformEvent(*style, e, chordOf(chord), part, settings, bass, random) ? e : StyleEvent{-1000, 0, 0, 0}; }
};

TEST(Transform, EventRules)
{
    constexpr int kDropped = -1000;
    struct Row { const char* what; void (*setup)(Fixture&); StyleEvent in; const char* chord; int part, stat, db1, db2; };
    auto none = [](Fixture&) {};
    const Row rows[] = {
        {"SysEx off", [](Fixture& f) { f.settings.styleSysEx = 0; }, {-2, 0, 0, 0}, "C", 1, kDropped, 0, 0},
        {"marker", none, {6, 0, 0, 0}, "C", 1, kDropped, 0, 0},
        {"chord tone on its channel", none, {0x98, 64, 80, 0}, "C", 1, 0x98, 64, 80},
        {"dest -1", none, {0x9B, 64, 80, 0}, "C", 1, kDropped, 0, 0},
        {"dest 3", none, {0x9C, 64, 80, 0}, "C", 1, kDropped, 0, 0},
        {"unmapped drums go to 10 in bank mode 0", none, {0x9F, 13, 80, 0}, "C", 1, 0x99, 64, 80},
        {"unmapped drums, bank mode 1", [](Fixture& f) { f.settings.styleBankSelect = 1; }, {0x9F, 13, 80, 0}, "C", 1, kDropped, 0, 0},
        {"drum table off in bank mode 1", [](Fixture& f) { f.settings.styleBankSelect = 1; }, {0x99, 13, 80, 0}, "C", 1, 0x99, 13, 80},
        {"drum table 84", none, {0x89, 84, 0, 0}, "C", 1, 0x89, 58, 0},
        {"bank 8 channel above 95", none, {0x9D, 96, 80, 0}, "Cmaj7", 1, kDropped, 0, 0},
        {"bank 8 channel at 95", none, {0x9D, 95, 80, 0}, "Cmaj7", 1, 0x9D, 95, 80},
        {"bank 8 channel, bank mode 2", [](Fixture& f) { f.settings.styleBankSelect = 2; }, {0x9D, 96, 80, 0}, "Cmaj7", 1, 0x9D, 96, 80},
        {"bank select, mode 0", none, {0xB8, 32, 1, 0}, "C", 1, kDropped, 0, 0},
        {"bank select, mode 1", [](Fixture& f) { f.settings.styleBankSelect = 1; }, {0xB8, 0, 1, 0}, "C", 1, 0xB8, 0, 1},
        {"drum program, mode 0", none, {0xC9, 5, 0, 0}, "C", 1, kDropped, 0, 0},
        {"other program, mode 0", none, {0xC8, 5, 0, 0}, "C", 1, 0xC8, 5, 0},
        {"destination unused", [](Fixture& f) { f.style->destUsed[8] = 0; }, {0xC8, 5, 0, 0}, "C", 1, kDropped, 0, 0},
        {"no chord, set-up part", none, {0x98, 64, 80, 0}, "none", 0, 0x98, 64, 80},
        {"no chord, Main", none, {0x98, 64, 80, 0}, "none", 1, kDropped, 0, 0},
        {"no chord, drums", none, {0x99, 36, 80, 0}, "none", 1, 0x99, 36, 80},
        {"no chord keeps a Main's program", none, {0xC8, 5, 0, 0}, "none", 1, 0xC8, 5, 0},
        {"chord mute keeps controllers", [](Fixture& f) { f.style->parts[1].channels[8].chordMute[3] = 0xFE; }, {0xB8, 7, 100, 0}, "Cm", 1, 0xB8, 7, 100},
        {"chord type muted", [](Fixture& f) { f.style->parts[1].channels[8].chordMute[3] = 0xFE; }, {0x98, 64, 80, 0}, "Cm", 1, kDropped, 0, 0},
        {"chord type muted, set-up part", [](Fixture& f) { f.style->parts[0].channels[8].chordMute[3] = 0xFE; }, {0x98, 64, 80, 0}, "Cm", 0, 0x98, 63, 80},
        {"root muted", [](Fixture& f) { f.style->parts[1].channels[8].noteMute[1] = 0xFB; }, {0x98, 64, 80, 0}, "D", 1, kDropped, 0, 0},
        {"root 11 muted", [](Fixture& f) { f.style->parts[1].channels[8].noteMute[0] = 0x07; }, {0x98, 64, 80, 0}, "B", 1, kDropped, 0, 0},
        {"other off", [](Fixture& f) { f.settings.otherOff = 1; }, {0x98, 64, 80, 0}, "C", 1, kDropped, 0, 0},
        {"other off keeps controllers", [](Fixture& f) { f.settings.otherOff = 1; }, {0xB8, 10, 64, 0}, "C", 1, 0xB8, 10, 64},
        {"class from the current part", [](Fixture& f) { f.style->parts[2].channels[8].ntt = 3, f.settings.currentPart = 2, f.settings.bassOff = 1; },
         {0x98, 64, 80, 0}, "C", 1, kDropped, 0, 0},
        {"variety is for live mode only", [](Fixture& f) { f.settings.velocityVariety = 10; }, {0x98, 64, 100, 0}, "C", 1, 0x98, 64, 100},
        {"level mode 1 velocity", [](Fixture& f) { f.settings.levelMode = 1; f.settings.targetVelocity = 90; }, {0x98, 64, 30, 0}, "C", 1, 0x98, 64, 90},
        {"level mode 1 leaves a note-off", [](Fixture& f) { f.settings.levelMode = 1; }, {0x98, 64, 0, 0}, "C", 1, 0x98, 64, 0},
        {"level mode 0 velocity, clamped", [](Fixture& f) { f.settings.levelMode = 0; }, {0x98, 64, 120, 0}, "C", 1, 0x98, 64, 127},
        {"level mode 0 volume", [](Fixture& f) { f.settings.levelMode = 0; }, {0xB8, 7, 45, 0}, "C", 1, 0xB8, 7, 50},
        {"live drums at 150 percent", [](Fixture& f) { f.settings.liveMode = true; f.settings.drumsVolume = 150; }, {0xB9, 7, 100, 0}, "C", 1, 0xB9, 7, 113},
        {"live other at 50 percent", [](Fixture& f) { f.settings.liveMode = true; f.settings.otherVolume = 50; }, {0xB8, 7, 100, 0}, "C", 1, 0xB8, 7, 50},
    };
    for (const Row& r : rows) {
        Fixture f;
        r.setup(f); // each row starts from the fixture
        const StyleEvent out = f.run(r.in, r.chord, r.part);
        EXPECT_EQ(out.stat, r.stat) << r.what;
        EXPECT_TRUE(r.stat == kDropped || (out.db1 == r.db1 && out.db2 == r.db2)) << r.what << ": " << out.db1 << " " << out.db2;
    }
}

// The first bass note after a chord change starts on the source root and its
// note-off follows it; later notes take the plain transposition.
TEST(Transform, BassMemory)
{
    Fixture f;
    // stat, pitch in, pitch out, chord
    const struct { int stat, in, out; const char* chord; } steps[] = {
        {0x9A, 40, 41, "F"}, {0x8A, 40, 41, "F"}, {0x9A, 40, 45, "F"}, {0x8A, 40, 45, "F"},
        {0x9A, 40, 36, "Cmaj7"}, {0x9A, 43, 43, "Cmaj7"}, // even the source chord moves the first note
    };
    for (const auto& s : steps) EXPECT_EQ(f.run({s.stat, s.in, 90, 0}, s.chord).db1, s.out) << s.stat << " " << s.in;
}

// A second-format channel: the source pitch picks the range whose rule moves
// the note, and a note-off follows its note-on.
TEST(Transform, TheSourcePitchChoosesTheRange)
{
    Fixture f;
    PartChannel& ch = f.style->parts[1].channels[8];
    ch.ranged = 1, ch.middleLow = 48, ch.middleHigh = 84;
    ch.ntr = 1, ch.ntt = 2, ch.highKey = 7;   // middle: a root-fixed chord table
    ch.outerRules[0] = {0, 3, 6, 0, 127, 0};  // below: the bass table
    ch.outerRules[1] = {0, 1, 11, 0, 127, 3}; // above: melody, root transposed
    const struct { int stat, in, out; const char* chord; } steps[] = {
        {0x98, 36, 40, "C/E"}, {0x88, 36, 40, "C/E"}, // the slash bass
        {0x98, 48, 43, "G"},   {0x98, 84, 79, "G"},   // the middle's bounds, root fixed
        {0x98, 85, 92, "G"},   {0x88, 85, 92, "G"},
    };
    for (const auto& s : steps) EXPECT_EQ(f.run({s.stat, s.in, 90, 0}, s.chord).db1, s.out) << s.stat << " " << s.in;
}

TEST(Transform, VelocityVariety)
{
    const struct { int velocity, amount, lowest, highest; } rows[] = {
        {10, 10, 10, 10}, {100, 5, 81, 104}, {127, 10, 68, 127}, {1, 10, 1, 1}, {64, 0, 64, 64}};
    for (const auto& r : rows) {
        CRandom random(11);
        int lo = 999, hi = -1;
        for (int k = 0, v = 0; k < 4000; ++k) v = varyVelocity(r.velocity, r.amount, random), lo = std::min(lo, v), hi = std::max(hi, v);
        EXPECT_TRUE(lo == r.lowest && hi == r.highest) << r.velocity << "/" << r.amount << ": " << lo << ".." << hi;
    }
    Fixture f; // live mode: transformEvent varies the velocity
    f.settings.velocityVariety = 10, f.settings.liveMode = true;
    int varied = 0;
    for (int k = 0; k < 20; ++k) varied += f.run({0x98, 64, 100, 0}).db2 != 100;
    EXPECT_GT(varied, 0);
}

// Real styles: a Main played for F is the music played for C a fourth up in
// pitch class, drums unmoved, nothing below channel 9.
TEST(Transform, CorpusMainFollowsTheChord)
{
    const std::string dir = testsupport::corpusDir();
    if (dir.empty()) GTEST_SKIP() << "no corpus";
    for (const char* name : {"JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty", "8Beat.T160.STY",
                             "ModPickin!.T151.STY"}) {
        std::vector<uint8_t> data;
        auto style = std::make_unique<CStyle>();
        ASSERT_TRUE(vtn::readWholeFile(dir + "/styles/" + name, kMaxStyleFileBytes, data) == vtn::kFileRead &&
                    style->readStyle(data.data(), static_cast<int>(data.size()), SequenceOptions{}) > 0);
        TransformSettings settings{};
        settings.currentPart = 1; // live mode off: no variety
        BassMemory bassC, bassF;
        CRandom random;
        int moved = 0;
        const auto& ev = style->events;
        for (int e = ev[static_cast<size_t>(style->parts[1].startevent)].next; e >= kFirstEvent; e = ev[static_cast<size_t>(e)].next) {
            const MidiEvent& m = ev[static_cast<size_t>(e)];
            StyleEvent c{m.stat, m.db1, m.db2, m.onoff}, f = c;
            const bool plays = transformEvent(*style, c, chordOf("C"), 1, settings, bassC, random);
            ASSERT_EQ(plays, transformEvent(*style, f, chordOf("F"), 1, settings, bassF, random)) << name << " " << e;
            const bool note = plays && c.stat >= 0x80 && c.stat <= 0x9F, drum = style->parts[1].channels[m.stat & 15].drum;
            EXPECT_TRUE(!plays || c.stat < 0x80 || (c.stat == f.stat && (c.stat & 15) >= 8)) << name << " " << e;
            EXPECT_TRUE(!note || (f.db1 - c.db1 + 24) % 12 == (drum ? 0 : 5)) << name << " " << e;
            moved += note && c.db1 != f.db1;
            if (style->partEndsAfter(1, e)) break;
        }
        EXPECT_GT(moved, 10) << name;
    }
}

} // namespace
