// The style reader on damaged and hostile files: truncated, bit-flipped and
// length-corrupted copies of real and written styles never crash, hang or
// read outside the buffer, and what is loaded stays within its ranges.
#include "SequenceTestUtil.h"
#include "StyleWriter.h"

#include "base/MessageSink.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

using stylewriter::Bytes;
using stylewriter::ChannelTable;
using stylewriter::Segment;
using stylewriter::StyleWriter;

namespace {

// Reads the bytes (copied to a buffer of exactly their size, so that the
// sanitizers see any read past the end) and checks what was loaded.
void loadAndCheck(const Bytes& file, const std::string& what)
{
    SCOPED_TRACE(what);
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size() + 1]);
    if (!file.empty()) std::memcpy(exact.get(), file.data(), file.size());
    auto s = std::make_unique<CStyle>();
    vtn::CMessageCapture quiet;
    const int r = s->readStyle(file.empty() ? nullptr : exact.get(), static_cast<int>(file.size()), {});
    ASSERT_TRUE(r == 0 || (r >= 14 && r <= static_cast<int>(file.size()))) << r;
    seqtest::expectConsistent(*s);
    ASSERT_TRUE(s->partCount() >= 1 && s->partCount() <= 17); // sixteen part names exist
    EXPECT_TRUE(s->averageVolume >= 1 && s->averageVelocity >= 1);
    for (int d = 0; d < 16; ++d) EXPECT_TRUE(s->destUsed[d] <= 1 && s->destBank8[d] <= 1);
    for (int k = 0; k < s->partCount(); ++k) {
        const StylePart& p = s->parts[static_cast<size_t>(k)];
        EXPECT_TRUE(p.bars >= 0 && p.offsettime >= 0) << p.name;
        if (k > 0) {
            ASSERT_TRUE(p.startevent >= kFirstEvent && p.startevent < s->eventCount()) << p.name;
            EXPECT_EQ(s->events[p.startevent].stat, kStatMarker) << p.name;
        }
        for (const PartChannel& c : p.channels)
            EXPECT_TRUE(c.dest >= -1 && c.dest <= 15 && c.ntt >= 0 && c.ntt <= 5 && (c.ntr == 0 || c.ntr == 1) &&
                        c.sourceChord.root >= 0 && c.sourceChord.root <= 11 && c.sourceChord.type >= 0 &&
                        c.sourceChord.type <= 33 && c.name.size() <= 8)
                << p.name << " dest " << c.dest << " ntt " << c.ntt;
        for (const PartChannel& c : p.channels) {
            EXPECT_TRUE(c.ranged <= 1 && c.middleLow >= 0 && c.middleLow <= 127 && c.middleHigh >= 0 && c.middleHigh <= 127);
            for (const NoteRule& rule : c.outerRules) EXPECT_TRUE(rule.ntt >= 0 && rule.ntt <= 5 && (rule.ntr == 0 || rule.ntr == 1));
            for (const RangeBlock& b : c.blocks)
                EXPECT_TRUE(b.ntr >= 0 && b.ntr <= 2 && b.ntt >= 0 && b.ntt <= (b.ntr == 2 ? 2 : 10) && b.bassOn <= 1);
        }
        // A player walking the part reaches its end.
        int steps = 0;
        for (int e = s->events[p.startevent].next; e >= kFirstEvent && !s->partEndsAfter(k, e); e = s->events[e].next)
            ASSERT_LE(++steps, s->eventCount()) << p.name;
        for (int d = -1; d <= 16; ++d) EXPECT_TRUE(s->channelClass(k, d) >= 0 && s->channelClass(k, d) <= 3);
    }
    int type = 0, level1 = 0, level2 = 0, found = s->findPart(type, level1, level2);
    EXPECT_TRUE(found >= 0 && found < s->partCount());
}

// A written style with every kind of section: parts, held notes, two
// segments with Ctab, Ctb2 and other chunks, and chunks after CASM.
Bytes richStyle()
{
    StyleWriter w(480, 4);
    int bar = 2;
    for (const char* name : {"Intro A", "Main A", "Fill In AA", "Main B", "Fill In BA", "Ending A"}) w.part(name, bar++);
    w.controller(0, 0, 0, 8).controller(0, 0, 7, 100).program(0, 0, 5);
    for (int b = 2; b < bar; ++b)
        for (int ch : {0, 2, 9, 10}) w.note(w.at(b, 2) - 10, ch, 40 + ch + b, 80 + b, 600);
    ChannelTable t;
    t.source = 9, t.dest = 1, t.chordMute[0] = 0x07;
    ChannelTable c2 = t;
    c2.source = 2, c2.ctb2 = true, c2.ntt = 0x81, c2.middleLow = 40, c2.middleHigh = 80, c2.tail = Bytes(7, 0);
    c2.low.ntt = 0x82, c2.high.ntr = 2, c2.high.ntt = 1;
    w.sff = 2;
    Segment a;
    a.sdec = "Intro A,Main A,Fill In AA", a.tables = {t, c2};
    a.otherChunks = {{"Cntt", {0x09, 0x00}}, {"Cntt", stylewriter::tableOverride(2, 0x84)}};
    Segment b = a;
    b.sdec = "Main B,Fill In BA,Ending A", b.tables[0].dest = 10;
    w.segment(a).segment(b);
    w.trailing = {'O', 'T', 'S', 'c', 0, 0, 0, 4, 'M', 'T', 'r', 'k'};
    return w.build();
}

std::vector<std::pair<std::string, Bytes>> corpusStyles()
{
    std::vector<std::pair<std::string, Bytes>> out;
    for (const char* name : {"JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty"}) {
        const std::string path = testsupport::corpusDir() + "/styles/" + name, bytes = testsupport::readFile(path);
        if (testsupport::fileExists(path)) out.emplace_back(name, Bytes(bytes.begin(), bytes.end()));
    }
    return out;
}

uint32_t bigEndian(const Bytes& b, size_t at) { return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3]; }

// Offsets of the length fields of a style's chunks: header, tracks, CASM and
// every chunk inside it.
std::vector<size_t> lengthFields(const Bytes& f)
{
    std::vector<size_t> out;
    size_t pos = 0;
    while (pos + 8 <= f.size()) {
        out.push_back(pos + 4);
        const bool casm = std::memcmp(f.data() + pos, "CASM", 4) == 0;
        const size_t end = pos + 8 + (std::memcmp(f.data() + pos, "MThd", 4) == 0 ? 6 : bigEndian(f, pos + 4));
        if (casm) {
            for (size_t q = pos + 8; q + 8 <= std::min(end, f.size());) {
                out.push_back(q + 4);
                const size_t segmentEnd = std::min(q + 8 + bigEndian(f, q + 4), f.size());
                for (size_t r = q + 8; r + 8 <= segmentEnd; r += 8 + bigEndian(f, r + 4)) out.push_back(r + 4);
                q = segmentEnd;
            }
        }
        pos = end;
    }
    return out;
}

// Every length of the written style, the corpus styles cut byte by byte
// around the end of the tracks and the CASM header (elsewhere in steps);
// random bit flips, half of them aimed at CASM and the bytes before it;
// and odd values in the length fields of the header, the tracks, CASM and
// the first chunks of every segment.
TEST(StyleHostile, TruncatedBitFlippedAndLengthCorruptedStyles)
{
    auto styles = corpusStyles();
    styles.emplace_back("written", richStyle());
    std::mt19937 rng(4711);
    for (const auto& [name, file] : styles) {
        const std::vector<size_t> fields = lengthFields(file); // the third is CASM's
        const size_t casm = fields.size() > 2 ? fields[2] - 4 : file.size();
        for (size_t n = 0; n <= file.size(); n += (name == "written" || (n + 150 >= casm && n < casm + 150)) ? 1 : 211) {
            loadAndCheck(Bytes(file.begin(), file.begin() + static_cast<long>(n)), name + " cut at " + std::to_string(n));
            if (HasFatalFailure()) return;
        }
        for (int round = 0; round < 250; ++round) {
            Bytes damaged = file;
            const size_t from = round % 2 ? 0 : std::max<size_t>(casm, 200) - 200;
            for (int k = 0, flips = 1 + int(rng() % 4); k < flips; ++k) damaged[from + rng() % (damaged.size() - from)] ^= uint8_t(1u << (rng() % 8));
            loadAndCheck(damaged, name + " round " + std::to_string(round));
            if (HasFatalFailure()) return;
        }
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i > 40 && i % 7) continue;
            for (uint32_t v : {0u, 1u, 7u, 25u, 27u, 100000u, 100001u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu,
                               bigEndian(file, fields[i]) - 1, bigEndian(file, fields[i]) + 1}) {
                Bytes damaged = file;
                for (int k = 0; k < 4; ++k) damaged[fields[i] + size_t(k)] = uint8_t(v >> (24 - 8 * k));
                loadAndCheck(damaged, name + " field at " + std::to_string(fields[i]) + " = " + std::to_string(v));
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Crafted files, each against a rule of its own.
TEST(StyleHostile, CraftedStyles)
{
    const std::pair<const char*, Bytes (*)()> cases[] = {
        {"SegmentOfZeroLengthsOverAndOver", [] {
                 StyleWriter w;
                 w.withCasm = false;
                 w.trailing = {'C', 'A', 'S', 'M', 0x7F, 0xFF, 0xFF, 0xFF};
                 w.trailing.resize(20000, 0);
                 return w.build();
             }},
        {"PartsInReverseTimeOrder", [] {
                 StyleWriter w;
                 w.part("Main A", 9).part("Main B", 2).part("Main A", 12).part("Intro A", 5);
                 w.note(w.at(13), 0, 60, 90, 10);
                 return w.build();
             }},
        {"ThousandsOfPartMarkers", [] {
                 StyleWriter w(96, 4);
                 const char* names[] = {"Main A", "main b", "FILL IN AA", "Ending C", "Intro B", "x"};
                 for (int k = 0; k < 6000; ++k) w.marker(k * 37, names[k % 6]).note(k * 37 + 5, k % 16, 60, 90, 200);
                 return w.build();
             }},
        {"ZeroDivisionAndHugeTimes", [] {
                 StyleWriter w(0, 4);
                 w.marker(0x0FFFFFF0, "Main A").note(0x0FFFFFF5, 0, 60, 90, 100).marker(3, "Main B");
                 return w.build();
             }},
        {"TablesOutOfEveryRange", [] {
                 StyleWriter w;
                 w.part("Main A", 2).note(w.at(2), 0, 60, 90, 10);
                 Segment s;
                 s.sdec = "Main A,Control changes";
                 for (int src : {0, 15, 16, 255}) {
                     ChannelTable bad;
                     bad.source = src, bad.dest = 255, bad.root = 200, bad.type = 255, bad.ntr = 9, bad.ntt = 255;
                     bad.chordMute[0] = 0xFF;
                     s.tables.push_back(bad);
                 }
                 s.tables.emplace_back().tail = {};
                 s.tables.back().length = 3;
                 w.segment(s);
                 return w.build();
             }},
        {"SecondFormatTablesOutOfEveryRangeAndCut", [] {
                 StyleWriter w;
                 w.sff = 2;
                 w.part("Main A", 2).note(w.at(2), 0, 60, 90, 10);
                 Segment s;
                 s.sdec = "Main A";
                 for (int cut : {0, 19, 20, 21, 22, 27, 28, 33, 39, 40}) {
                     ChannelTable bad;
                     bad.ctb2 = true, bad.source = cut % 16, bad.ntr = 9, bad.ntt = 255, bad.middleLow = 200, bad.middleHigh = 255;
                     bad.low = {3, 0x7F, 255, 255, 255, 255}, bad.high = {255, 0x8B, 0, 0, 0, 0}, bad.cut = cut;
                     s.tables.push_back(bad);
                 }
                 s.otherChunks = {{"Cntt", {}}, {"Cntt", {0x05}}, {"Cntt", {0xFF, 0xFF}}, {"Cntt", {0x0A, 0xFF, 0xFF}}};
                 w.segment(s);
                 return w.build();
             }},
        {"MarkersBeforeTheTimeSignature", [] {
                 // Track 0: the markers; the time signature only comes on track 1.
                 return Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0, 96,
                              'M', 'T', 'r', 'k', 0, 0, 0, 19, 0x50, 0xFF, 0x06, 0x06, 'M', 'a', 'i', 'n', ' ', 'A',
                              0x83, 0x00, 0x90, 60, 90, 0x10, 0x80, 60, 0,
                              'M', 'T', 'r', 'k', 0, 0, 0, 12, 0x40, 0xFF, 0x58, 0x04, 0x03, 0x02, 0x18, 0x08, 0x00, 0xFF, 0x2F, 0x00};
             }}};
    for (const auto& [name, file] : cases) loadAndCheck(file(), name);
}

} // namespace
