// The reader on damaged and hostile files: it must never read outside the
// buffer, hang or grow without bound, and must keep what it could read.
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using smftest::Bytes;
using smftest::Ev;
using smftest::eventsOf;

namespace {

using Check = std::function<void(const CMidiSequence&, int result, int size)>;

// Reads the file, checks it, and writes and reads back whatever was read.
void readSafely(const Bytes& file, const Check& check)
{
    CMidiSequence s;
    const int r = smftest::read(s, file);
    seqtest::expectConsistent(s);
    check(s, r, file.size());
    const Bytes copy = smftest::write(s, s.trackNames[0]);
    ASSERT_GE(smftest::checkChunks(copy), 1);
    CMidiSequence again;
    ASSERT_EQ(smftest::read(again, copy), copy.size());
    seqtest::expectConsistent(again);
}

Bytes track(const Bytes& body) { return smftest::smf(0, 96, {body}); }
// A damaged first track, then a good one with a note on channel 2.
Bytes damagedThenGood(const Bytes& first) { return smftest::smf(1, 96, {first, Bytes{0x00, 0x91, 0x3E, 0x40}}); }

TEST(MidiFileReader, HostileFilesAreReadSafely)
{
    const Check secondTrackRead = [](const CMidiSequence& s, int r, int size) {
        EXPECT_EQ(r, size);
        EXPECT_EQ(eventsOf(s).size(), 2u); // the note on and its note off
        EXPECT_EQ(s.channelNoteCount[1], 1);
    };
    const Check nothingRead = [](const CMidiSequence& s, int, int) {
        EXPECT_EQ(std::make_tuple(s.tempo, s.numerator, eventsOf(s).size()), std::make_tuple(120, 4, size_t{0}));
    };
    Bytes bigDeltas, misplacedSigs;
    for (int k = 0; k < 20; ++k) bigDeltas.vlq(0x0FFFFFFF).u8({0xB0, 7, k});
    for (int k = 0; k < 5000; ++k)
        misplacedSigs.vlq(37).meta(0, 0x58, std::string(1, static_cast<char>(2 + k % 5)) + "\x02").u8({0x00, 0x90, 60, 1});

    const std::vector<std::tuple<const char*, Bytes, Check>> cases = {
        {"division zero", smftest::smf(0, 0, {Bytes{0x00, 0x90, 60, 1, 0x60, 60, 0}}),
         [](const CMidiSequence& s, int r, int size) {
             EXPECT_EQ(std::make_tuple(r, s.ticksPerBeat, s.channelNoteCount[0]), std::make_tuple(size, 0, 1));
         }},
        {"quantity of five bytes stops at four", track(Bytes{0x81, 0x81, 0x81, 0x81, 0x90, 0x3C, 0x40}),
         [](const CMidiSequence& s, int, int) {
             ASSERT_FALSE(eventsOf(s).empty());
             EXPECT_EQ(eventsOf(s)[0], (Ev{(1 << 21) + (1 << 14) + (1 << 7) + 1, 0x90, 0x3C, 0x40, 0, ""}));
         }},
        {"event cut by the chunk end", damagedThenGood(Bytes{0x00, 0x90, 0x3C}), secondTrackRead},
        {"SysEx length past the chunk", damagedThenGood(Bytes{0x00, 0xF0, 0xFF, 0x7F, 0x01, 0x02}), secondTrackRead},
        {"meta length past the chunk", damagedThenGood(Bytes{0x00, 0xFF, 0x01, 0x8F, 0x7F, 0x41}), secondTrackRead},
        {"text of 100000 bytes", track(Bytes{}.meta(0, 0x01, std::string(100000, 'a'))),
         [](const CMidiSequence& s, int, int) {
             ASSERT_EQ(eventsOf(s).size(), 1u);
             EXPECT_EQ(eventsOf(s)[0].text.size(), 100000u);
         }},
        {"data byte before any status", track(Bytes{0x00, 0x3C, 0x40, 0x00, 0x90, 0x3C, 0x40}),
         [](const CMidiSequence& s, int, int) {
             EXPECT_EQ(s.channelNoteCount[0], 1);
             for (const Ev& e : eventsOf(s)) EXPECT_GE(e.stat, 0x80);
         }},
        {"tempo without bytes or of value zero", track(Bytes{0x00, 0xFF, 0x51, 0x00, 0x00, 0xFF, 0x51, 0x03, 0, 0, 0}),
         nothingRead},
        {"tempo of many bytes",
         track(Bytes{}.meta(0, 0x51, std::string(40, '\xFF')).meta(0, 0x51, std::string("\x00\x00\x09\x27\xC0", 5))),
         [](const CMidiSequence& s, int, int) { EXPECT_EQ(s.tempo, 100); }},
        {"time signatures of one byte or a huge exponent",
         track(Bytes{0x00, 0xFF, 0x58, 0x01, 0x03}.meta(0, 0x58, std::string("\x03\xFF", 2)).meta(0, 0x58, std::string("\x01\xFF", 2))),
         nothingRead},
        {"ticks beyond the largest delta are held", track(bigDeltas),
         [](const CMidiSequence& s, int, int) {
             const std::vector<Ev> ev = eventsOf(s);
             ASSERT_EQ(ev.size(), 20u);
             EXPECT_EQ(ev.back().ticks, 0x0FFFFFFF);
         }},
        {"fewer tracks than the header says",
         smftest::header(1, 99, 96).add(smftest::chunk("MTrk", Bytes{0x00, 0x91, 0x3E, 0x40})).text("MTr"),
         [](const CMidiSequence& s, int r, int size) { EXPECT_EQ(std::make_pair(r, s.channelNoteCount[1]), std::make_pair(size, 1)); }},
        {"empty chunk and foreign chunk of huge length",
         smftest::header(1, 2, 96).add(smftest::chunk("MTrk", Bytes{})).text("XXXX").be(0xFFFFFFFF, 4).text("junk")
             .add(smftest::chunk("MTrk", Bytes{0x00, 0x91, 0x3E, 0x40})),
         [](const CMidiSequence& s, int, int) { EXPECT_EQ(s.channelNoteCount[1], 1); }},
        {"thousands of misplaced time signatures", track(misplacedSigs),
         [](const CMidiSequence& s, int, int) { EXPECT_LE(eventsOf(s, kTimeSigList).size(), 1000u); }},
    };
    for (const auto& [name, file, check] : cases) {
        SCOPED_TRACE(name);
        readSafely(file, check);
    }
}

TEST(MidiFileReader, EveryTruncationOfASongIsReadSafely)
{
    const Bytes song = smftest::richSong();
    for (int n = 0; n <= song.size(); ++n) {
        Bytes cut;
        cut.v.assign(song.v.begin(), song.v.begin() + n);
        CMidiSequence s;
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
        readSafely(damaged, [](const CMidiSequence&, int, int) {});
        if (::testing::Test::HasFailure()) FAIL() << "round " << round;
    }
}

} // namespace
