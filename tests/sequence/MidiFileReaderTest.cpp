// The Standard MIDI File reader on crafted files: merging, running status,
// note pairing, SysEx, tempo and time-signature rules, chunks and the CASM tail.
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"

#include "sequence/CMidiFileReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

using smftest::Bytes;
using smftest::Ev;
using smftest::eventsOf;

namespace {

constexpr int kOff = -100; // marks an expected note off inserted with velocity 0

Bytes noteTrack(std::initializer_list<std::array<int, 4>> events)
{
    Bytes t;
    for (const auto& e : events) {
        t.vlq(static_cast<uint32_t>(e[0])).u8({e[1], e[2]});
        if (e[1] < 0xC0 || e[1] > 0xDF) t.u8({e[3]});
    }
    return t;
}

const Bytes kOneNote = noteTrack({{0, 0x90, 60, 1}});

std::vector<int> notes(const CMidiSequence& s) { return {s.channelNoteCount[0], s.channelNoteCount[1]}; }

TEST(MidiFileReader, MergesTracksInTimeOrderWithTrackZeroFirstAtEqualTicks)
{
    const Bytes file = smftest::smf(1, 96,
                                    {noteTrack({{0, 0x90, 60, 100}, {96, 0x80, 60, 0}}),
                                     noteTrack({{0, 0x91, 62, 90}, {48, 0x81, 62, 0}, {48, 0xC1, 5, 0}})});
    CMidiSequence s;
    CMidiFileReader reader(s, {});
    EXPECT_EQ(reader.read(file.v.data(), 0, file.size()), file.size());
    EXPECT_EQ(std::vector<int>({s.ticksPerBeat, s.trackCount, reader.fileFormat(), s.tempo, s.numerator, s.denominator}),
              std::vector<int>({96, 2, 1, 120, 4, 4}));
    const std::vector<Ev> want = {{0, 0x90, 60, 100, 0, ""}, {0, 0x91, 62, 90, 0, ""}, {48, 0x81, 62, 0, 0, ""},
                                  {96, 0x80, 60, 0, 0, ""},  {96, 0xC1, 5, 0, 0, ""}};
    EXPECT_EQ(eventsOf(s), want);
    const std::vector<int> idx = seqtest::indexesOf(s, kMainList);
    EXPECT_EQ(std::vector<int>({s.events[idx[0]].track, s.events[idx[1]].track}), std::vector<int>({0, 1}));
    EXPECT_EQ(notes(s), std::vector<int>({1, 1}));
    seqtest::expectConsistent(s);
}

TEST(MidiFileReader, RunningStatusReadsEveryEventReportsOnceAndOutlivesSysExMetaAndTrackEnds)
{
    Bytes t = Bytes{0x00, 0x90, 0x3C, 0x40, 0x00, 0x3E, 0x40};
    for (int k = 0; k < 1000; ++k) t.u8({0x01, 0x40, k % 2 ? 0x00 : 0x50});
    CMidiSequence s;
    std::string messages;
    smftest::read(s, smftest::smf(0, 96, {t}), {}, &messages);
    EXPECT_EQ(messages, "Runningstatus!!!!!\n");
    EXPECT_EQ(s.channelNoteCount[0], 2 + 500);
    const std::vector<Ev> ev = eventsOf(s);
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[1], (Ev{0, 0x90, 62, 64, 0, ""}));

    const Bytes t0 = Bytes{0x00, 0x91, 0x3C, 0x40}.u8({0x00, 0xF0, 0x01, 0xF7}).meta(0, 0x01, "x").u8({0x00, 0x3E, 0x40});
    CMidiSequence s2;
    smftest::read(s2, smftest::smf(1, 96, {t0, Bytes{0x00, 0x40, 0x40}}));
    EXPECT_EQ(s2.channelNoteCount[1], 3);
}

// Each case: a track {delta, status, note, velocity} and the events read
// {ticks, status (kOff: inserted 0x90 off), note, velocity}; every note on is
// linked to one note off of its key and channel.
TEST(MidiFileReader, PairsEveryNoteOnWithOneNoteOff)
{
    using Rows = std::vector<std::array<int, 4>>;
    const std::vector<std::tuple<const char*, Rows, Rows>> cases = {
        {"overlapping notes of one key are cut",
         {{0, 0x90, 60, 100}, {100, 0x90, 60, 100}, {50, 0x80, 60, 0}, {50, 0x80, 60, 0}},
         {{0, 0x90, 60, 100}, {100, kOff, 60, 0}, {100, 0x90, 60, 100}, {200, 0x80, 60, 0}}},
        {"note without off ends at the last tick", {{0, 0x90, 60, 100}, {300, 0xB0, 7, 100}},
         {{0, 0x90, 60, 100}, {300, 0xB0, 7, 100}, {300, kOff, 60, 0}}},
        {"doubled note on at one tick is dropped", {{0, 0x90, 60, 100}, {0, 0x90, 60, 90}, {10, 0x90, 60, 0}},
         {{0, 0x90, 60, 100}, {10, 0x90, 60, 0}}},
        {"note off without note on is dropped", {{0, 0x80, 61, 0}, {5, 0x90, 60, 100}, {5, 0x90, 60, 0}},
         {{5, 0x90, 60, 100}, {10, 0x90, 60, 0}}},
        {"keys and channels pair separately",
         {{0, 0x90, 60, 100}, {0, 0x91, 60, 100}, {0, 0x90, 61, 100}, {10, 0x81, 60, 0}, {0, 0x80, 61, 0}},
         {{0, 0x90, 60, 100}, {0, 0x91, 60, 100}, {0, 0x90, 61, 100}, {10, 0x81, 60, 0}, {10, 0x80, 61, 0},
          {10, kOff, 60, 0}}}};
    for (const auto& [name, in, out] : cases) {
        SCOPED_TRACE(name);
        Bytes t;
        for (const auto& e : in) t.vlq(static_cast<uint32_t>(e[0])).u8({e[1], e[2], e[3]});
        CMidiSequence s;
        smftest::read(s, smftest::smf(0, 96, {t}));
        std::vector<Ev> want;
        for (const auto& e : out) want.push_back({e[0], e[1] == kOff ? 0x90 : e[1], e[2], e[3], 0, ""});
        EXPECT_EQ(eventsOf(s), want);
        seqtest::expectConsistent(s);
        for (int r : seqtest::indexesOf(s, kMainList)) {
            const MidiEvent& e = s.events[r];
            if (!isNoteOn(e.stat, e.db2)) continue;
            ASSERT_GE(e.onoff, kFirstEvent);
            const MidiEvent& off = s.events[e.onoff];
            EXPECT_TRUE(isNoteOff(off.stat, off.db2) && off.db1 == e.db1 && (off.stat & 15) == (e.stat & 15) &&
                        off.ticks >= e.ticks);
        }
    }
}

// A song read into an empty list is paired while it is read; a style is
// paired after reading. Random tracks of overlapping, doubled and stray notes
// with misplaced time signatures must come out the same either way.
TEST(MidiFileReader, NotesArePairedAlikeWhileReadingAndAfterReading)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<Bytes> tracks(1 + rng() % 4);
        for (Bytes& t : tracks) {
            for (int k = 0; k < 60; ++k) {
                t.vlq(static_cast<uint32_t>(rng() % 3 == 0 ? 0 : rng() % 200));
                if (rng() % 40 == 0)
                    t.u8({0xFF, 0x58, 0x02, 2 + static_cast<int>(rng() % 5), 2});
                else
                    t.u8({(rng() % 2 ? 0x90 : 0x80) | static_cast<int>(rng() % 2), 60 + static_cast<int>(rng() % 4),
                          rng() % 3 ? 100 : 0});
            }
        }
        const Bytes file = smftest::smf(1, 96, tracks);
        CMidiSequence song, style;
        style.isStyle = 1;
        smftest::read(song, file);
        smftest::read(style, file);
        ASSERT_EQ(eventsOf(song), eventsOf(style)) << "round " << round;
        seqtest::expectConsistent(song);
        const std::vector<int> a = seqtest::indexesOf(song, kMainList), b = seqtest::indexesOf(style, kMainList);
        for (size_t k = 0; k < a.size(); ++k)
            ASSERT_EQ(std::find(a.begin(), a.end(), song.events[a[k]].onoff) - a.begin(),
                      std::find(b.begin(), b.end(), style.events[b[k]].onoff) - b.begin())
                << "round " << round << " event " << k;
    }
}

// Tempo meta events 10 ticks apart: the first usable one is the song's
// tempo, later ones become events (bpm listed, -1 for any other event).
TEST(MidiFileReader, FirstUsableTempoIsTheSongTempoLaterOnesAreEvents)
{
    // Any tempo three bytes can hold is one, however slow (7 000 000 us: 9 BPM shown).
    const std::vector<std::tuple<std::vector<uint32_t>, int, std::vector<int>>> cases = {
        {{500000}, 120, {}},         {{1000000, 500000}, 60, {120}}, {{7000000}, 9, {}},
        {{7000000, 400000}, 9, {150}}, {{0, 600000}, 100, {}},        {{1}, 60000000, {}},
        {{500000, 7000000, 0, 461538}, 120, {9, 130}}};
    for (const auto& [micros, tempo, events] : cases) {
        Bytes t;
        for (uint32_t us : micros) t.vlq(10).u8({0xFF, 0x51, 0x03}).be(us, 3);
        CMidiSequence s;
        smftest::read(s, smftest::smf(0, 96, {t}));
        std::vector<int> bpm;
        for (const Ev& e : eventsOf(s)) bpm.push_back(e.stat == kStatTempo ? e.db1 : -1);
        EXPECT_EQ(std::make_pair(s.tempo, bpm), std::make_pair(tempo, events)) << micros[0];
    }
}

TEST(MidiFileReader, FirstTimeSignatureSetsTheSongLaterOnesAreTwinnedIntoTheBarGrid)
{
    // 6/8 first (at tick 100, it still sets the song's), then 3/4 on the
    // next bar line of the song's six-beat grid, an invalid 5/128 and one
    // with a single byte.
    const Bytes t = Bytes{}.meta(100, 0x58, std::string("\x06\x03\x18\x08", 4))
                        .meta(2 * 3 * 96 - 100, 0x58, std::string("\x03\x02\x18\x08", 4))
                        .meta(288, 0x58, std::string("\x05\x07\x18\x08", 4))
                        .meta(0, 0x58, std::string("\x07", 1));
    CMidiSequence s;
    smftest::read(s, smftest::smf(0, 96, {t}));
    EXPECT_EQ(std::make_pair(s.numerator, s.denominator), std::make_pair(6, 8));
    const std::vector<Ev> want = {{576, kStatTimeSig, 3, 4, 0, ""}};
    EXPECT_EQ(eventsOf(s), want);
    EXPECT_EQ(eventsOf(s, kTimeSigList), want);
    seqtest::expectConsistent(s);

    for (const char* sig : {"\x00\x02", "\x64\x02", "\x04\x06"}) { // invalid first one: 4/4
        CMidiSequence bad;
        smftest::read(bad, smftest::smf(0, 96, {Bytes{}.meta(0, 0x58, std::string(sig, 2))}));
        EXPECT_EQ(std::make_pair(bad.numerator, bad.denominator), std::make_pair(4, 4));
    }

    // 2/4 at 100 ticks into bar 2 moves back to the bar line, and the note
    // of the track read after it moves with it.
    const Bytes t0 = Bytes{}.meta(0, 0x58, std::string("\x04\x02", 2)).meta(2020, 0x58, std::string("\x02\x02", 2));
    CMidiSequence moved;
    smftest::read(moved, smftest::smf(1, 480, {t0, noteTrack({{2100, 0x90, 60, 100}, {100, 0x80, 60, 0}})}));
    EXPECT_EQ(eventsOf(moved), (std::vector<Ev>{{1920, kStatTimeSig, 2, 4, 0, ""}, {2000, 0x90, 60, 100, 0, ""}, {2100, 0x80, 60, 0, 0, ""}}));
    seqtest::expectConsistent(moved);
}

// SysEx becomes upper-case hex text beginning with F0, in no track.
TEST(MidiFileReader, TextMetaEventsTrackNamesSkippedTypesAndSysEx)
{
    const Bytes t0 = Bytes{}.meta(0, 0x03, "Lead").meta(0, 0x01, "hello").meta(5, 0x02, "(c)").meta(5, 0x05, "la")
                         .meta(0, 0x01, "").meta(0, 0x21, std::string("\x01", 1)).meta(0, 0x54, std::string(5, '\0'))
                         .meta(0, 0x04, "Piano").u8({0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0x10, 0xF7, 0x02, 0xAB, 0xCD});
    CMidiSequence s;
    smftest::read(s, smftest::smf(1, 96, {t0, Bytes{}.meta(0, 0x03, "").meta(0, 0x06, "Verse")}));
    EXPECT_EQ(std::make_pair(s.trackNames[0], s.trackNames[1]), std::make_pair(std::string("Lead"), std::string()));
    const std::vector<Ev> want = {{0, 1, 0, 0, 0, "hello"}, {0, kStatMarker, 0, 0, 0, "Verse"}, {5, 2, 0, 0, 0, "(c)"},
                                  {10, 5, 0, 0, 0, "la"},   {10, kStatSysEx, 0, 0, 0, "F0 7E 7F 09 01 F7 "},
                                  {26, kStatSysEx, 0, 0, 0, "F0 AB CD "}};
    EXPECT_EQ(eventsOf(s), want);
    EXPECT_EQ(s.events[seqtest::indexesOf(s, kMainList)[4]].track, -1);
}

TEST(MidiFileReader, RefusedFilesReturnZeroAndLeaveTheSequenceAsItWas)
{
    const std::vector<Bytes> files = {smftest::smf(2, 96, {kOneNote}),
                                      Bytes{}.text("RIFF").be(6, 4).be(0, 2).be(1, 2).be(96, 2),
                                      smftest::header(1, 100, 96), Bytes{}.text("MThd").be(6, 4).be(0, 2), Bytes{}};
    for (const Bytes& file : files) {
        CMidiSequence s;
        s.tempo = 90;
        EXPECT_EQ(smftest::read(s, file), 0) << file.size();
        EXPECT_EQ(std::make_pair(s.tempo, s.eventCount()), std::make_pair(90, kFirstEvent)) << file.size();
    }
    CMidiSequence s;
    EXPECT_EQ(smftest::read(s, smftest::header(1, 201, 96)), 0);
    EXPECT_EQ(s.trackCount, 200);
}

// Odd chunk layouts that are still read whole: {buffer, start offset, notes
// on channels 1 and 2, start of the kept CASM tail}.
TEST(MidiFileReader, ChunkLayoutsAreReadToTheEnd)
{
    const Bytes casm = Bytes{}.text("CASM").be(4, 4).text("abcd");
    const std::vector<std::tuple<const char*, Bytes, int, std::vector<int>, std::string>> cases = {
        {"foreign chunk costs no track",
         smftest::header(0, 1, 96).add(smftest::chunk("Junk", Bytes{}.text("not a track"))).add(smftest::chunk("MTrk", kOneNote)),
         0, {1, 0}, ""},
        {"track length past the buffer is repaired",
         smftest::header(1, 2, 96).text("MTrk").be(0x7FFFFFF0, 4).add(kOneNote)
             .add(smftest::chunk("MTrk", noteTrack({{0, 0x91, 60, 1}}))),
         0, {1, 1}, ""},
        {"header length ignored", smftest::header(0, 1, 96, 0).add(smftest::chunk("MTrk", kOneNote)), 0, {1, 0}, ""},
        {"start offset", Bytes{}.text("prefix").add(smftest::smf(0, 96, {kOneNote})), 6, {1, 0}, ""},
        {"trailing junk", smftest::smf(0, 96, {kOneNote}).text("trailing bytes"), 0, {1, 0}, ""},
        {"CASM tail kept", smftest::smf(0, 96, {kOneNote}).add(casm), 0, {1, 0}, "CASM\0\0\0\x04" "abcd"},
        {"CASM where a track was promised ends the tracks",
         smftest::header(1, 3, 96).add(smftest::chunk("MTrk", kOneNote)).add(smftest::chunk("CASM", Bytes{}.text("data"))),
         0, {1, 0}, "CASM"},
    };
    for (const auto& [name, file, start, want, tail] : cases) {
        CMidiSequence s;
        EXPECT_EQ(smftest::read(s, file, {}, nullptr, start), file.size()) << name;
        EXPECT_EQ(notes(s), want) << name;
        EXPECT_EQ(s.casmData.substr(0, tail.size()), tail) << name;
        EXPECT_EQ(s.casmData.empty(), tail.empty()) << name;
    }

    // A style leaves the CASM tail to the style reader.
    const Bytes tracks = smftest::smf(0, 96, {kOneNote});
    CMidiSequence style;
    style.isStyle = 1;
    EXPECT_EQ(smftest::read(style, Bytes(tracks).add(casm)), tracks.size());
    EXPECT_EQ(style.casmData, "");
}

} // namespace
