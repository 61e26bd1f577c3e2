// The reader on damaged and hostile files: it must never read outside the
// buffer, hang or grow without bound, and must keep what it could read.
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"

#include "engine/CKvSeq.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

using smftest::Bytes;
using smftest::Ev;
using smftest::eventsOf;

namespace {

struct HostileCase {
    const char* name;
    std::function<Bytes()> file;
    std::function<void(const CMidiSequence&, int result, int size)> check;
};

class HostileFile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFile, IsReadSafely)
{
    const Bytes file = GetParam().file();
    CMidiSequence s(nullptr);
    const int r = smftest::read(s, file);
    seqtest::expectConsistent(s);
    GetParam().check(s, r, file.size());
    // Whatever was read can be written and read back.
    const Bytes copy = smftest::write(s, "x");
    EXPECT_GE(smftest::checkChunks(copy), 1);
    CMidiSequence again(nullptr);
    EXPECT_EQ(smftest::read(again, copy), copy.size());
}

Bytes track(const Bytes& body) { return smftest::smf(0, 96, {body}); }
Bytes twoTracks(const Bytes& first, const Bytes& second) { return smftest::smf(1, 96, {first, second}); }
const Bytes kNoteCh1 = Bytes{0x00, 0x91, 0x3E, 0x40};

INSTANTIATE_TEST_SUITE_P(
    MidiFileReader, HostileFile,
    ::testing::Values(
        HostileCase{"DivisionZero", [] { return smftest::smf(0, 0, {Bytes{0x00, 0x90, 60, 1, 0x60, 60, 0}}); },
                    [](const CMidiSequence& s, int r, int size) {
                        EXPECT_EQ(r, size);
                        EXPECT_EQ(s.ticksPerBeat, 0);
                        EXPECT_EQ(s.channelNoteCount[0], 1);
                    }},
        HostileCase{"QuantityLongerThanFourBytesStopsAtFour",
                    [] { return track(Bytes{0x81, 0x81, 0x81, 0x81, 0x90, 0x3C, 0x40}); },
                    [](const CMidiSequence& s, int, int) {
                        ASSERT_FALSE(eventsOf(s).empty());
                        EXPECT_EQ(eventsOf(s)[0], (Ev{(1 << 21) + (1 << 14) + (1 << 7) + 1, 0x90, 0x3C, 0x40, 0, ""}));
                    }},
        HostileCase{"EventCutByTheChunkEndIsDropped",
                    [] { return twoTracks(Bytes{0x00, 0x90, 0x3C}, kNoteCh1); },
                    [](const CMidiSequence& s, int r, int size) {
                        EXPECT_EQ(r, size);
                        EXPECT_EQ(s.channelNoteCount[0], 0);
                        EXPECT_EQ(s.channelNoteCount[1], 1);
                    }},
        HostileCase{"DeltaCutByTheChunkEnd", [] { return twoTracks(Bytes{0x00, 0xC0, 0x01, 0x81, 0x81}, kNoteCh1); },
                    [](const CMidiSequence& s, int, int) { EXPECT_EQ(s.channelNoteCount[1], 1); }},
        HostileCase{"SysExLengthPastTheChunk",
                    [] { return twoTracks(Bytes{0x00, 0xF0, 0xFF, 0x7F, 0x01, 0x02}, kNoteCh1); },
                    [](const CMidiSequence& s, int, int) {
                        EXPECT_EQ(eventsOf(s).size(), 2u); // the note on and its note off
                        EXPECT_EQ(s.channelNoteCount[1], 1);
                    }},
        HostileCase{"MetaLengthPastTheChunk", [] { return twoTracks(Bytes{0x00, 0xFF, 0x01, 0x8F, 0x7F, 0x41}, kNoteCh1); },
                    [](const CMidiSequence& s, int, int) { EXPECT_EQ(eventsOf(s).size(), 2u); }},
        HostileCase{"MetaTypeCutByTheChunkEnd", [] { return twoTracks(Bytes{0x00, 0xFF}, kNoteCh1); },
                    [](const CMidiSequence& s, int, int) { EXPECT_EQ(s.channelNoteCount[1], 1); }},
        HostileCase{"TextOfAHundredThousandBytes",
                    [] { return track(Bytes{}.meta(0, 0x01, std::string(100000, 'a'))); },
                    [](const CMidiSequence& s, int, int) {
                        ASSERT_EQ(eventsOf(s).size(), 1u);
                        EXPECT_EQ(eventsOf(s)[0].text.size(), 100000u);
                    }},
        HostileCase{"DataByteBeforeAnyStatusIsPassedOver",
                    [] { return track(Bytes{0x00, 0x3C, 0x40, 0x00, 0x90, 0x3C, 0x40}); },
                    [](const CMidiSequence& s, int, int) {
                        EXPECT_EQ(s.channelNoteCount[0], 1);
                        for (const Ev& e : eventsOf(s)) EXPECT_GE(e.stat, 0x80);
                    }},
        HostileCase{"TempoWithoutBytesOrWithValueZero",
                    [] { return track(Bytes{0x00, 0xFF, 0x51, 0x00, 0x00, 0xFF, 0x51, 0x03, 0, 0, 0}); },
                    [](const CMidiSequence& s, int, int) {
                        EXPECT_EQ(s.tempo, 120);
                        EXPECT_TRUE(eventsOf(s).empty());
                    }},
        HostileCase{"TempoOfManyBytes",
                    [] {
                        return track(Bytes{}
                                         .meta(0, 0x51, std::string(40, '\xFF'))
                                         .meta(0, 0x51, std::string("\x00\x00\x09\x27\xC0", 5)));
                    },
                    [](const CMidiSequence& s, int, int) { EXPECT_EQ(s.tempo, 100); }},
        HostileCase{"TimeSignatureOfOneByte", [] { return track(Bytes{0x00, 0xFF, 0x58, 0x01, 0x03}); },
                    [](const CMidiSequence& s, int, int) {
                        EXPECT_EQ(s.numerator, 4);
                        EXPECT_TRUE(eventsOf(s).empty());
                    }},
        HostileCase{"TimeSignatureWithHugeExponent",
                    [] { return track(Bytes{}.meta(0, 0x58, std::string("\x03\xFF", 2)).meta(0, 0x58, std::string("\x01\xFF", 2))); },
                    [](const CMidiSequence& s, int, int) {
                        EXPECT_EQ(s.numerator, 4);
                        EXPECT_TRUE(eventsOf(s).empty());
                    }},
        HostileCase{"SequencerChordShorterThanSixBytes",
                    [] { return track(Bytes{}.meta(0, 0x7F, std::string("\x43\x7B\x01\x31\x00", 5))); },
                    [](const CMidiSequence& s, int, int) { EXPECT_TRUE(eventsOf(s).empty()); }},
        HostileCase{"TicksBeyondTheLargestDeltaAreHeld",
                    [] {
                        Bytes b;
                        for (int k = 0; k < 20; ++k) b.vlq(0x0FFFFFFF).u8({0xB0, 7, k});
                        return track(b);
                    },
                    [](const CMidiSequence& s, int, int) {
                        const std::vector<Ev> ev = eventsOf(s);
                        ASSERT_EQ(ev.size(), 20u);
                        EXPECT_EQ(ev.back().ticks, 0x0FFFFFFF);
                    }},
        HostileCase{"FewerTracksThanTheHeaderSays",
                    [] {
                        Bytes b = smftest::header(1, 99, 96);
                        return b.add(smftest::chunk("MTrk", kNoteCh1)).text("MTr");
                    },
                    [](const CMidiSequence& s, int r, int size) {
                        EXPECT_EQ(r, size);
                        EXPECT_EQ(s.channelNoteCount[1], 1);
                    }},
        HostileCase{"ChunksOfLengthZeroAndForeignChunksWithHugeLengths",
                    [] {
                        Bytes b = smftest::header(1, 2, 96);
                        b.add(smftest::chunk("MTrk", Bytes{})).text("XXXX").be(0xFFFFFFFF, 4).text("junk");
                        return b.add(smftest::chunk("MTrk", kNoteCh1));
                    },
                    [](const CMidiSequence& s, int, int) { EXPECT_EQ(s.channelNoteCount[1], 1); }},
        HostileCase{"ThousandsOfMisplacedTimeSignatures",
                    [] {
                        Bytes b;
                        for (int k = 0; k < 5000; ++k)
                            b.vlq(37).meta(0, 0x58, std::string(1, static_cast<char>(2 + k % 5)) + "\x02").u8({0x00, 0x90, 60, 1});
                        return track(b);
                    },
                    [](const CMidiSequence& s, int, int) { EXPECT_LE(eventsOf(s, kTimeSigList).size(), 1000u); }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MidiFileReader, EveryTruncationOfASongIsReadSafely)
{
    const Bytes song = smftest::richSong();
    for (int n = 0; n <= song.size(); ++n) {
        Bytes cut;
        cut.v.assign(song.v.begin(), song.v.begin() + n);
        CMidiSequence s(nullptr);
        const int r = smftest::read(s, cut);
        ASSERT_TRUE(r == 0 || r == n) << "length " << n << " gave " << r;
        seqtest::expectConsistent(s);
        if (::testing::Test::HasFailure()) FAIL() << "at length " << n;
    }
}

// Random damage with a fixed seed: flipped, inserted and deleted bytes. Every
// damaged file is read, written and read again without a fault, and the
// written file's chunk lengths match their contents.
TEST(MidiFileReader, RandomlyDamagedSongsAreReadWrittenAndReadAgain)
{
    const Bytes song = smftest::richSong();
    std::mt19937 rng(20240611);
    for (int round = 0; round < 1500; ++round) {
        Bytes damaged = song;
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < edits && !damaged.v.empty(); ++k) {
            const size_t at = rng() % damaged.v.size();
            switch (rng() % 3) {
            case 0: damaged.v[at] = static_cast<uint8_t>(rng()); break;
            case 1: damaged.v.insert(damaged.v.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
            default: damaged.v.erase(damaged.v.begin() + static_cast<long>(at)); break;
            }
        }
        CMidiSequence s(nullptr);
        smftest::read(s, damaged);
        seqtest::expectConsistent(s);
        const Bytes copy = smftest::write(s, s.trackNames[0]);
        ASSERT_GE(smftest::checkChunks(copy), 1) << "round " << round;
        CMidiSequence again(nullptr);
        ASSERT_EQ(smftest::read(again, copy), copy.size()) << "round " << round;
        seqtest::expectConsistent(again);
        if (::testing::Test::HasFailure()) FAIL() << "round " << round;
    }
}

// Inputs the fuzzer found, each run as the fuzz target runs it: read as a
// style and as a song, written with every writer setting, read again whole.
TEST(MidiFileReader, FuzzFindingsStayMended)
{
    const std::vector<std::string> findings = {
        // 99 tracks written with the file's tracks kept: more than the reader takes.
        std::string("MThd\0\0\0\6\0\0\0cc\0\xFF/\0\0\0\6\0\0\0\1\0`MTrk\0\0\0?\4\0\xFF/\xD0\0\0", 41),
    };
    auto engine = std::make_unique<CKvSeq>();
    for (const std::string& input : findings) {
        Bytes file;
        file.v.assign(input.begin(), input.end());
        for (int setting = 0; setting < 4; ++setting) {
            engine->recordKeepTracks = static_cast<uint8_t>(setting & 1);
            engine->recordChordsSeqSpecific = static_cast<uint8_t>(setting >> 1);
            CMidiSequence style(engine.get());
            style.isStyle = 1;
            smftest::read(style, file);
            seqtest::expectConsistent(style);
            CMidiSequence song(engine.get());
            if (smftest::read(song, file) == 0) continue;
            const Bytes copy = smftest::write(song, song.trackNames[0]);
            CMidiSequence again(engine.get());
            EXPECT_EQ(smftest::read(again, copy), copy.size()) << "setting " << setting;
        }
    }
}

} // namespace
