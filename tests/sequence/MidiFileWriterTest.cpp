// The Standard MIDI File writer: track layout, header events, event kinds,
// and read-write-read round trips.
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>

using smftest::Bytes;
using smftest::Ev;
using smftest::eventsOf;

namespace {

std::string bytesOf(const Bytes& b) { return std::string(b.v.begin(), b.v.end()); }

// The events of the kinds a round trip must keep, sorted so that the order
// of tracks in the file does not matter.
std::vector<Ev> kept(const CMidiSequence& s)
{
    std::vector<Ev> out;
    for (const Ev& e : eventsOf(s))
        if (e.stat >= 0x80 || e.stat == kStatTempo || e.stat == kStatTimeSig || (e.stat >= 1 && e.stat <= 6) || e.stat < 0)
            out.push_back(e);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> trackNames(const CMidiSequence& s) { return {s.trackNames, s.trackNames + s.trackCount}; }

TEST(MidiFileWriter, FirstTrackStartsWithTimeSignatureTempoAndNameThenItsEvents)
{
    CMidiSequence s;
    s.numerator = 6;
    s.denominator = 8;
    s.tempo = 100;
    s.ticksPerBeat = 96;
    const Bytes want = smftest::header(1, 1, 96).text("MTrk").be(8 + 7 + 6 + 4, 4)
                           .u8({0x00, 0xFF, 0x58, 0x04, 6, 3, 0x18, 0x08, 0x00, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0})
                           .u8({0x00, 0xFF, 0x03, 0x02, 'A', 'B', 0x00, 0xFF, 0x2F, 0x00});
    EXPECT_EQ(smftest::write(s, "AB").v, want.v);

    CMidiSequence style;
    style.isStyle = 1; // the style's name is padded to 32 bytes
    EXPECT_NE(bytesOf(smftest::write(style, "Swing")).find(std::string("\xFF\x03\x20Swing", 8) + std::string(27, '\0')),
              std::string::npos);

    // Of the events: tempi, SysEx and texts, each by its rules.
    CMidiSequence e;
    seqtest::add(e, kMainList, 10, kStatTempo, 150);
    seqtest::add(e, kMainList, 10, kStatTempo, 0); // no tempo: not written
    seqtest::add(e, kMainList, 20, kStatSysEx);
    e.events[e.events[kMainList].prev].string = "F0 7E 7F 09 01 F7 ";
    seqtest::add(e, kMainList, 30, kStatSysEx);
    std::string longSysEx = "F0 ";
    for (int k = 0; k < 256; ++k) longSysEx += "01 ";
    e.events[e.events[kMainList].prev].string = longSysEx; // more than 255 bytes: not written
    seqtest::add(e, kMainList, 40, 1);                    // empty text: written as " "
    seqtest::add(e, kMainList, 50, 99, 1, 2);             // no kind: not written
    const Bytes file = smftest::write(e, "");
    const std::string track0 = bytesOf(Bytes{0x0A, 0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80, 0x0A, 0xF0, 0x05, 0x7E, 0x7F, 0x09,
                                             0x01, 0xF7, 0x14, 0xFF, 0x01, 0x01, ' ', 0x00, 0xFF, 0x2F, 0x00});
    const std::string text = bytesOf(file);
    EXPECT_EQ(text.substr(text.size() - track0.size()), track0);
    EXPECT_EQ(smftest::checkChunks(file), 1);
}

// Events before the last written tick go at delta zero; values are held to
// one byte and programs have one data byte.
TEST(MidiFileWriter, ChannelEventsAreWrittenInListOrderWithValuesHeldToOneByte)
{
    CMidiSequence s;
    const int a = s.insertEvent(kMainList, 100, 0xB0, 7, 100, "", 0, 0);
    const int b = s.insertEvent(a, -50, 0xB0, 10, 64, "", 0, 0); // out of order and negative
    const int c = s.insertEvent(b, 150, 0xC0, 300, 77, "", 0, 0);
    s.insertEvent(c, 150, 0xE0, -5, 64, "", 0, 0);
    const Bytes events = Bytes{0x64, 0xB0, 7, 100, 0x00, 0xB0, 10, 64, 0x32, 0xC0, 0xFF, 0x00, 0xE0, 0x00, 0x40};
    EXPECT_NE(bytesOf(smftest::write(s, "")).find(bytesOf(events)), std::string::npos);
}

// With the keep-tracks setting the file's own tracks are written back as
// tracks, at most the 99 the reader takes (found by fuzzing: a song of 99
// tracks once came out with more); events of the file's first track and the
// recording's own events go to channel tracks, so nothing is lost either way.
TEST(MidiFileWriter, EveryChannelEventIsWrittenOnceWhetherTracksAreKeptOrNot)
{
    const Bytes song = smftest::smf(1, 96,
                                    {Bytes{}.meta(0, 0x03, "Lead").u8({0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0}),
                                     Bytes{}.meta(0, 0x03, "Bass").u8({0x00, 0x91, 40, 100, 0x60, 0x81, 40, 0}),
                                     Bytes{}.meta(0, 0x03, "Keys").u8({0x00, 0x91, 50, 100, 0x60, 0x81, 50, 0})});
    std::vector<Bytes> many;
    for (int t = 0; t < 99; ++t) many.push_back(Bytes{0x00, 0x90 | (t % 16), t, 100, 0x10, 0x80 | (t % 16), t, 0});
    const std::tuple<Bytes, bool, std::vector<std::string>> cases[] = { // no names: 99 tracks
        {song, false, {"Lead", "channel 1", "channel 2", "channel 6"}},
        {song, true, {"Lead", "channel 1", "channel 6", "Bass", "Keys"}},
        {smftest::smf(1, 96, many), true, {}}};
    for (const auto& [original, keep, names] : cases) {
        SequenceOptions options;
        options.keepTracks = keep;
        CMidiSequence s;
        ASSERT_EQ(smftest::read(s, original), original.size());
        seqtest::add(s, kMainList, 10, 0xB5, 7, 100); // recorded, no file track
        const Bytes file = smftest::write(s, "Lead", options);
        CMidiSequence back;
        ASSERT_EQ(smftest::read(back, file), file.size());
        EXPECT_EQ(smftest::checkChunks(file), names.empty() ? 99 : int(names.size()));
        EXPECT_TRUE(names.empty() || trackNames(back) == names) << ::testing::PrintToString(trackNames(back));
        EXPECT_EQ(kept(back), kept(s)) << keep;
    }
}

// Read, write, read: channel events, tempi, time signatures and texts at the
// same ticks; the song's figures the same; written again, the same bytes.
TEST(MidiFileWriter, SongSurvivesARoundTrip)
{
    SequenceOptions options;
    options.baseFolder = "/music/";
    CMidiSequence s;
    ASSERT_GT(smftest::read(s, smftest::richSong(), options), 0);
    const Bytes file = smftest::write(s, s.trackNames[0]);
    EXPECT_EQ(smftest::checkChunks(file), 3);
    CMidiSequence back;
    ASSERT_EQ(smftest::read(back, file), file.size());
    EXPECT_EQ(kept(back), kept(s));
    EXPECT_EQ(eventsOf(back, kTimeSigList), eventsOf(s, kTimeSigList));
    EXPECT_EQ(std::make_tuple(back.tempo, back.numerator, back.denominator, back.ticksPerBeat, back.trackNames[0]),
              std::make_tuple(s.tempo, s.numerator, s.denominator, s.ticksPerBeat, std::string("Conductor")));
    seqtest::expectConsistent(back);
    EXPECT_EQ(smftest::write(back, back.trackNames[0]).v, file.v);
}

} // namespace
