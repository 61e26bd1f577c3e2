// The Standard MIDI File reader on crafted files: merging, running status,
// note pairing, SysEx, tempo and time-signature rules, chunks and the CASM tail.
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"

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

TEST(MidiFileReader, MergesTracksInTimeOrderWithTrackZeroFirstAtEqualTicks)
{
    const Bytes file = smftest::smf(1, 96,
                                    {noteTrack({{0, 0x90, 60, 100}, {96, 0x80, 60, 0}}),
                                     noteTrack({{0, 0x91, 62, 90}, {48, 0x81, 62, 0}, {48, 0xC1, 5, 0}})});
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, file), file.size());
    EXPECT_EQ(s.ticksPerBeat, 96);
    EXPECT_EQ(s.trackCount, 2);
    EXPECT_EQ(s.format, 1);
    const std::vector<Ev> want = {{0, 0x90, 60, 100, 0, ""},
                                  {0, 0x91, 62, 90, 0, ""},
                                  {48, 0x81, 62, 0, 0, ""},
                                  {96, 0x80, 60, 0, 0, ""},
                                  {96, 0xC1, 5, 0, 0, ""}};
    EXPECT_EQ(eventsOf(s), want);
    const std::vector<int> idx = seqtest::indexesOf(s, kMainList);
    EXPECT_EQ(s.events[idx[0]].track, 0);
    EXPECT_EQ(s.events[idx[1]].track, 1);
    EXPECT_EQ(s.channelNoteCount[0], 1);
    EXPECT_EQ(s.channelNoteCount[1], 1);
    EXPECT_EQ(s.tempo, 120);
    EXPECT_EQ(s.numerator, 4);
    EXPECT_EQ(s.denominator, 4);
    seqtest::expectConsistent(s);
}

TEST(MidiFileReader, RunningStatusReadsEveryEventButReportsOncePerFile)
{
    Bytes t = Bytes{0x00, 0x90, 0x3C, 0x40, 0x00, 0x3E, 0x40};
    for (int k = 0; k < 1000; ++k) t.u8({0x01, 0x40, k % 2 ? 0x00 : 0x50});
    CMidiSequence s(nullptr);
    std::string messages;
    smftest::read(s, smftest::smf(0, 96, {t}), &messages);
    EXPECT_EQ(messages, "Runningstatus!!!!!\n");
    EXPECT_EQ(s.channelNoteCount[0], 2 + 500);
    const std::vector<Ev> ev = eventsOf(s);
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[0], (Ev{0, 0x90, 60, 64, 0, ""}));
    EXPECT_EQ(ev[1], (Ev{0, 0x90, 62, 64, 0, ""}));
}

TEST(MidiFileReader, RunningStatusOutlivesSysExMetaAndTrackEnds)
{
    const Bytes t0 = Bytes{0x00, 0x91, 0x3C, 0x40}.u8({0x00, 0xF0, 0x01, 0xF7}).meta(0, 0x01, "x").u8({0x00, 0x3E, 0x40});
    const Bytes t1 = Bytes{0x00, 0x40, 0x40};
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(1, 96, {t0, t1}));
    EXPECT_EQ(s.channelNoteCount[1], 3);
}

struct PairingCase {
    const char* name;
    std::vector<std::array<int, 4>> in; // delta, status, note, velocity
    std::vector<std::array<int, 4>> out; // ticks, status (kOff: inserted 0x90 off), note, velocity
};

class NotePairing : public ::testing::TestWithParam<PairingCase> {};

TEST_P(NotePairing, PairsEveryNoteOnWithOneNoteOff)
{
    Bytes t;
    for (const auto& e : GetParam().in) t.vlq(static_cast<uint32_t>(e[0])).u8({e[1], e[2], e[3]});
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(0, 96, {t}));
    std::vector<Ev> want;
    for (const auto& e : GetParam().out) want.push_back({e[0], e[1] == kOff ? 0x90 : e[1], e[2], e[3], 0, ""});
    EXPECT_EQ(eventsOf(s), want);
    seqtest::expectConsistent(s);
    for (int r : seqtest::indexesOf(s, kMainList)) {
        const MidiEvent& e = s.events[r];
        if (!isNoteOn(e.stat, e.db2)) continue;
        ASSERT_GE(e.onoff, kFirstEvent);
        const MidiEvent& off = s.events[e.onoff];
        EXPECT_TRUE(isNoteOff(off.stat, off.db2));
        EXPECT_EQ(off.db1, e.db1);
        EXPECT_EQ(off.stat & 15, e.stat & 15);
        EXPECT_GE(off.ticks, e.ticks);
    }
}

INSTANTIATE_TEST_SUITE_P(
    MidiFileReader, NotePairing,
    ::testing::Values(
        PairingCase{"OverlappingNotesOfOneKeyAreCut",
                    {{0, 0x90, 60, 100}, {100, 0x90, 60, 100}, {50, 0x80, 60, 0}, {50, 0x80, 60, 0}},
                    {{0, 0x90, 60, 100}, {100, kOff, 60, 0}, {100, 0x90, 60, 100}, {200, 0x80, 60, 0}}},
        PairingCase{"NoteWithoutOffEndsAtTheLastTick",
                    {{0, 0x90, 60, 100}, {300, 0xB0, 7, 100}},
                    {{0, 0x90, 60, 100}, {300, 0xB0, 7, 100}, {300, kOff, 60, 0}}},
        PairingCase{"DoubledNoteOnAtOneTickIsDropped",
                    {{0, 0x90, 60, 100}, {0, 0x90, 60, 90}, {10, 0x90, 60, 0}},
                    {{0, 0x90, 60, 100}, {10, 0x90, 60, 0}}},
        PairingCase{"NoteOffWithoutNoteOnIsDropped",
                    {{0, 0x80, 61, 0}, {5, 0x90, 60, 100}, {5, 0x90, 60, 0}},
                    {{5, 0x90, 60, 100}, {10, 0x90, 60, 0}}},
        PairingCase{"KeysAndChannelsPairSeparately",
                    {{0, 0x90, 60, 100}, {0, 0x91, 60, 100}, {0, 0x90, 61, 100}, {10, 0x81, 60, 0}, {0, 0x80, 61, 0}},
                    {{0, 0x90, 60, 100},
                     {0, 0x91, 60, 100},
                     {0, 0x90, 61, 100},
                     {10, 0x81, 60, 0},
                     {10, 0x80, 61, 0},
                     {10, kOff, 60, 0}}}),
    [](const auto& p) { return std::string(p.param.name); });

// A song read into an empty list is paired while it is read; a style (and a
// list already holding events) is paired after reading. Random tracks of
// overlapping, doubled and stray notes with misplaced time signatures must
// come out the same either way.
TEST(MidiFileReader, NotesArePairedAlikeWhileReadingAndAfterReading)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<Bytes> tracks(1 + rng() % 4);
        for (Bytes& t : tracks) {
            for (int k = 0; k < 60; ++k) {
                t.vlq(rng() % 3 == 0 ? 0 : rng() % 200);
                if (rng() % 40 == 0) {
                    t.u8({0xFF, 0x58, 0x02, 2 + static_cast<int>(rng() % 5), 2});
                } else {
                    const int status = (rng() % 2 ? 0x90 : 0x80) | static_cast<int>(rng() % 2);
                    t.u8({status, 60 + static_cast<int>(rng() % 4), rng() % 3 ? 100 : 0});
                }
            }
        }
        const Bytes file = smftest::smf(1, 96, tracks);
        CMidiSequence song(nullptr), style(nullptr);
        style.isStyle = 1;
        smftest::read(song, file);
        smftest::read(style, file);
        ASSERT_EQ(eventsOf(song), eventsOf(style)) << "round " << round;
        seqtest::expectConsistent(song);
        const std::vector<int> a = seqtest::indexesOf(song, kMainList), b = seqtest::indexesOf(style, kMainList);
        for (size_t k = 0; k < a.size(); ++k) {
            const int pa = song.events[a[k]].onoff, pb = style.events[b[k]].onoff;
            const auto posA = std::find(a.begin(), a.end(), pa) - a.begin();
            const auto posB = std::find(b.begin(), b.end(), pb) - b.begin();
            ASSERT_EQ(posA, posB) << "round " << round << " event " << k;
        }
    }
}

TEST(MidiFileReader, SysExBecomesUpperCaseHexTextBeginningWithF0)
{
    const Bytes t = Bytes{0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}.u8({0x10, 0xF7, 0x02, 0xAB, 0xCD});
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(0, 96, {t}));
    const std::vector<Ev> want = {{0, kStatSysEx, 0, 0, 0, "F0 7E 7F 09 01 F7 "}, {16, kStatSysEx, 0, 0, 0, "F0 AB CD "}};
    EXPECT_EQ(eventsOf(s), want);
    EXPECT_EQ(s.events[seqtest::indexesOf(s, kMainList)[0]].track, -1);
}

struct TempoCase {
    std::vector<uint32_t> micros; // one tempo meta event each, 10 ticks apart
    int tempo;                    // the sequence's tempo after reading
    std::vector<int> events;      // bpm of the tempo events in list 0
};

class TempoMeta : public ::testing::TestWithParam<TempoCase> {};

TEST_P(TempoMeta, FirstUsableTempoIsTheSongTempoLaterOnesAreEvents)
{
    Bytes t;
    for (uint32_t us : GetParam().micros) t.vlq(10).u8({0xFF, 0x51, 0x03}).be(us, 3);
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(0, 96, {t}));
    EXPECT_EQ(s.tempo, GetParam().tempo);
    std::vector<int> bpm;
    for (const Ev& e : eventsOf(s)) bpm.push_back(e.stat == kStatTempo ? e.db1 : -1);
    EXPECT_EQ(bpm, GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(MidiFileReader, TempoMeta,
                         ::testing::Values(TempoCase{{500000}, 120, {}}, TempoCase{{1000000, 500000}, 60, {120}},
                                           TempoCase{{7000000}, 120, {}}, TempoCase{{7000000, 400000}, 150, {}},
                                           TempoCase{{0, 600000}, 100, {}}, TempoCase{{1}, 60000000, {}},
                                           TempoCase{{500000, 7000000, 0, 461538}, 120, {130}}));

TEST(MidiFileReader, FirstTimeSignatureSetsTheSongLaterOnesAreTwinnedIntoTheBarGrid)
{
    // 6/8 first (at tick 100, it still sets the song's), then 3/4 on the
    // next bar line of the song's six-beat grid, an invalid 5/128 and one
    // with a single byte.
    const Bytes t = Bytes{}.meta(100, 0x58, std::string("\x06\x03\x18\x08", 4))
                        .meta(2 * 3 * 96 - 100, 0x58, std::string("\x03\x02\x18\x08", 4))
                        .meta(288, 0x58, std::string("\x05\x07\x18\x08", 4))
                        .meta(0, 0x58, std::string("\x07", 1));
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(0, 96, {t}));
    EXPECT_EQ(s.numerator, 6);
    EXPECT_EQ(s.denominator, 8);
    EXPECT_EQ(eventsOf(s), (std::vector<Ev>{{576, kStatTimeSig, 3, 4, 0, ""}}));
    EXPECT_EQ(eventsOf(s, kTimeSigList), (std::vector<Ev>{{576, kStatTimeSig, 3, 4, 0, ""}}));
    seqtest::expectConsistent(s);
}

TEST(MidiFileReader, InvalidFirstTimeSignatureGivesFourFour)
{
    for (const char* sig : {"\x00\x02", "\x64\x02", "\x04\x06"}) {
        CMidiSequence s(nullptr);
        smftest::read(s, smftest::smf(0, 96, {Bytes{}.meta(0, 0x58, std::string(sig, 2))}));
        EXPECT_EQ(s.numerator, 4);
        EXPECT_EQ(s.denominator, 4);
    }
}

TEST(MidiFileReader, OffBarTimeSignatureMovesEveryLaterEventOfEveryTrack)
{
    // 2/4 at 100 ticks into bar 2 moves back to the bar line, and the note
    // of the track read after it moves with it.
    const Bytes t0 = Bytes{}.meta(0, 0x58, std::string("\x04\x02", 2)).meta(2020, 0x58, std::string("\x02\x02", 2));
    const Bytes t1 = noteTrack({{2100, 0x90, 60, 100}, {100, 0x80, 60, 0}});
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(1, 480, {t0, t1}));
    const std::vector<Ev> want = {
        {1920, kStatTimeSig, 2, 4, 0, ""}, {2000, 0x90, 60, 100, 0, ""}, {2100, 0x80, 60, 0, 0, ""}};
    EXPECT_EQ(eventsOf(s), want);
    seqtest::expectConsistent(s);
}

TEST(MidiFileReader, TextMetaEventsTrackNamesAndSkippedTypes)
{
    const Bytes t0 = Bytes{}
                         .meta(0, 0x03, "Lead")
                         .meta(0, 0x01, "hello")
                         .meta(5, 0x02, "(c)")
                         .meta(5, 0x05, "la")
                         .meta(0, 0x01, "")
                         .meta(0, 0x21, std::string("\x01", 1))
                         .meta(0, 0x54, std::string(5, '\0'))
                         .meta(0, 0x04, "Piano")
                         .meta(0, 0x2F, "");
    const Bytes t1 = Bytes{}.meta(0, 0x03, "").meta(0, 0x06, "Verse");
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(1, 96, {t0, t1}));
    EXPECT_EQ(s.trackNames[0], "Lead");
    EXPECT_EQ(s.trackNames[1], "");
    const std::vector<Ev> want = {{0, 1, 0, 0, 0, "hello"},
                                  {0, kStatMarker, 0, 0, 0, "Verse"},
                                  {5, 2, 0, 0, 0, "(c)"},
                                  {10, 5, 0, 0, 0, "la"}};
    EXPECT_EQ(eventsOf(s), want);
}

struct RefusedCase {
    const char* name;
    Bytes file;
};

class RefusedFile : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedFile, ReturnsZeroAndLeavesTheSequenceAsItWas)
{
    CMidiSequence s(nullptr);
    s.tempo = 90;
    s.numerator = 3;
    EXPECT_EQ(smftest::read(s, GetParam().file), 0);
    EXPECT_EQ(s.tempo, 90);
    EXPECT_EQ(s.numerator, 3);
    EXPECT_EQ(s.eventCount(), kFirstEvent);
}

INSTANTIATE_TEST_SUITE_P(
    MidiFileReader, RefusedFile,
    ::testing::Values(RefusedCase{"FormatTwo", smftest::smf(2, 96, {noteTrack({{0, 0x90, 60, 1}})})},
                      RefusedCase{"NoHeader", Bytes{}.text("RIFF").be(6, 4).be(0, 2).be(1, 2).be(96, 2)},
                      RefusedCase{"HundredTracks", smftest::header(1, 100, 96)},
                      RefusedCase{"ShortHeader", Bytes{}.text("MThd").be(6, 4).be(0, 2)},
                      RefusedCase{"Empty", Bytes{}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MidiFileReader, MoreThanTwoHundredTracksAlsoSetsTheTrackCountTo200)
{
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, smftest::header(1, 201, 96)), 0);
    EXPECT_EQ(s.trackCount, 200);
}

TEST(MidiFileReader, ForeignChunkDoesNotCostATrack)
{
    Bytes file = smftest::header(0, 1, 96);
    file.add(smftest::chunk("Junk", Bytes{}.text("not a track"))).add(smftest::chunk("MTrk", noteTrack({{0, 0x90, 60, 1}})));
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, file), file.size());
    EXPECT_EQ(s.channelNoteCount[0], 1);
}

TEST(MidiFileReader, TrackLengthPastTheBufferIsRepairedToTheNextChunk)
{
    Bytes file = smftest::header(1, 2, 96);
    file.text("MTrk").be(0x7FFFFFF0, 4).add(noteTrack({{0, 0x90, 60, 1}}));
    file.add(smftest::chunk("MTrk", noteTrack({{0, 0x91, 60, 1}})));
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, file), file.size());
    EXPECT_EQ(s.channelNoteCount[0], 1);
    EXPECT_EQ(s.channelNoteCount[1], 1);
}

TEST(MidiFileReader, HeaderIsTakenAsSixBytesWhateverLengthItStates)
{
    Bytes file = smftest::header(0, 1, 96, 0);
    file.add(smftest::chunk("MTrk", noteTrack({{0, 0x90, 60, 1}})));
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, file), file.size());
    EXPECT_EQ(s.channelNoteCount[0], 1);
}

TEST(MidiFileReader, ReadsFromAStartOffsetInsideALargerBuffer)
{
    Bytes buffer = Bytes{}.text("prefix");
    buffer.add(smftest::smf(0, 96, {noteTrack({{0, 0x90, 60, 1}})}));
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, buffer, nullptr, 6), buffer.size());
    EXPECT_EQ(s.channelNoteCount[0], 1);
}

TEST(MidiFileReader, CasmTailIsKeptForSongsAndLeftToStyles)
{
    const Bytes casm = Bytes{}.text("CASM").be(4, 4).text("abcd");
    Bytes file = smftest::smf(0, 96, {noteTrack({{0, 0x90, 60, 1}})});
    const int tracksEnd = file.size();
    file.add(casm);

    CMidiSequence song(nullptr);
    EXPECT_EQ(smftest::read(song, file), file.size());
    EXPECT_EQ(song.casmData, std::string(casm.v.begin(), casm.v.end()));

    CMidiSequence style(nullptr);
    style.isStyle = 1;
    EXPECT_EQ(smftest::read(style, file), tracksEnd);
    EXPECT_EQ(style.casmData, "");

    Bytes junk = smftest::smf(0, 96, {noteTrack({{0, 0x90, 60, 1}})});
    junk.text("trailing bytes");
    CMidiSequence other(nullptr);
    EXPECT_EQ(smftest::read(other, junk), junk.size());
    EXPECT_EQ(other.casmData, "");
}

TEST(MidiFileReader, CasmWhereATrackWasPromisedEndsTheTracks)
{
    Bytes file = smftest::header(1, 3, 96);
    file.add(smftest::chunk("MTrk", noteTrack({{0, 0x90, 60, 1}}))).add(smftest::chunk("CASM", Bytes{}.text("data")));
    CMidiSequence s(nullptr);
    EXPECT_EQ(smftest::read(s, file), file.size());
    EXPECT_EQ(s.casmData.substr(0, 4), "CASM");
}

} // namespace
