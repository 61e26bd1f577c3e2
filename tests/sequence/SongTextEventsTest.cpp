// The arranger's own text events: markers with keywords and
// sequencer-specific chords, read into events and written back.
#include "SequenceTestUtil.h"
#include "SmfBuilder.h"

#include "chords/Chord.h"
#include "engine/CKvSeq.h"

#include <gtest/gtest.h>

#include <memory>

using smftest::Bytes;
using smftest::Ev;
using smftest::eventsOf;

namespace {

struct Engine {
    Engine()
    {
        engine->baseFolder = "/music/";
        engine->presets[7].name = "Grand Piano";
    }
    std::unique_ptr<CKvSeq> engine = std::make_unique<CKvSeq>();
};

std::vector<Ev> readMarker(CMidiSequence& s, std::string_view text)
{
    smftest::read(s, smftest::smf(0, 96, {Bytes{}.meta(7, 0x06, text)}));
    return eventsOf(s);
}

struct MarkerCase {
    const char* text;
    Ev want; // at tick 7
    bool unresolved;
};

class MarkerKeyword : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerKeyword, BecomesItsEvent)
{
    Engine e;
    CMidiSequence s(e.engine.get());
    const std::vector<Ev> ev = readMarker(s, GetParam().text);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0], GetParam().want);
    const std::vector<int32_t> unresolved = GetParam().unresolved ? std::vector<int32_t>{kFirstEvent} : std::vector<int32_t>{};
    EXPECT_EQ(s.unresolvedVoices, unresolved);
}

INSTANTIATE_TEST_SUITE_P(
    SongTextEvents, MarkerKeyword,
    ::testing::Values(MarkerCase{"chord:Am7", {7, kStatChord, 9, 10, -1, ""}, false},
                      MarkerCase{"chord:C#m7/G", {7, kStatChord, 1, 10, 7, ""}, false},
                      MarkerCase{"chord:x", {7, kStatChord, -1, 0, -1, ""}, false},
                      MarkerCase{"Chord:C", {7, kStatMarker, 0, 0, 0, "Chord:C"}, false},
                      MarkerCase{"style:Swing.sty", {7, kStatStyle, 0, 0, 0, "/music/Styles/Swing.sty"}, false},
                      MarkerCase{"style:/x/y.sty", {7, kStatStyle, 0, 0, 0, "/x/y.sty"}, false},
                      MarkerCase{"part:Main A", {7, kStatVariation, 0, 0, 0, "Main A"}, false},
                      MarkerCase{"part:", {7, kStatVariation, 0, 0, 0, ""}, false},
                      MarkerCase{"voice:12", {7, kStatMultiVoice, 12, 0, 0, "12"}, false},
                      MarkerCase{"voice: Grand Piano ", {7, kStatMultiVoice, 7, 0, 0, ""}, false},
                      MarkerCase{"voice:012", {7, kStatMultiVoice, 0, 0, 0, "012"}, true},
                      MarkerCase{"voice:Organ", {7, kStatMultiVoice, 0, 0, 0, "Organ"}, true},
                      MarkerCase{"channelvoice:3;5;42", {7, kStatChannelVoice, 3, 5, 42, ""}, false},
                      MarkerCase{"channelvoice:", {7, kStatChannelVoice, 0, 0, 0, ""}, false},
                      MarkerCase{"channelvoice:7;8", {7, kStatChannelVoice, 7, 8, 0, ""}, false},
                      MarkerCase{"melody:001;064;100", {7, kStatMelody, 64, 100, 1, ""}, false},
                      MarkerCase{"melody:5", {7, kStatMelody, 0, 0, 5, ""}, false},
                      MarkerCase{"Intro", {7, kStatMarker, 0, 0, 0, "Intro"}, false}));

TEST(SongTextEvents, VoiceNamesOfTheSettingsSongAreLeftForTheSettingsLoader)
{
    Engine e;
    CMidiSequence s(e.engine.get());
    s.sequenceId = 99;
    EXPECT_EQ(readMarker(s, "voice:Grand Piano"), (std::vector<Ev>{{7, kStatMultiVoice, 0, 0, 0, "Grand Piano"}}));
    EXPECT_TRUE(s.unresolvedVoices.empty());
}

TEST(SongTextEvents, StyleMarkersStayPlainForTheStyleReader)
{
    CMidiSequence s(nullptr);
    s.isStyle = 1;
    // Plain, and moved from tick 7 of bar 1 to the start of bar 2 as every style marker is.
    EXPECT_EQ(readMarker(s, "chord:C"), (std::vector<Ev>{{384, kStatMarker, 0, 0, 0, "chord:C"}}));
}

struct SeqCase {
    std::string bytes;
    int root, type, bass; // root -2: no event
};

class SequencerChord : public ::testing::TestWithParam<SeqCase> {};

TEST_P(SequencerChord, DecodesRootTypeAndBass)
{
    CMidiSequence s(nullptr);
    smftest::read(s, smftest::smf(0, 96, {Bytes{}.meta(0, 0x7F, GetParam().bytes)}));
    const std::vector<Ev> ev = eventsOf(s);
    if (GetParam().root == -2) {
        EXPECT_TRUE(ev.empty());
        return;
    }
    EXPECT_EQ(ev, (std::vector<Ev>{{0, kStatChord, GetParam().root, GetParam().type, GetParam().bass, ""}}));
}

INSTANTIATE_TEST_SUITE_P(SongTextEvents, SequencerChord,
                         ::testing::Values(SeqCase{std::string("\x43\x7B\x01\x23\x00\x7F", 6), 3, 0, -1},
                                           SeqCase{std::string("\x43\x7B\x01\x31\x0A\x33", 6), 0, 10, 4},
                                           SeqCase{std::string("\x43\x7B\x01\x36\x08\x36", 6), 9, 8, -1},
                                           SeqCase{std::string("\x43\x7B\x01\x67\x63\x11\x55", 7), 2, 0, 10},
                                           SeqCase{std::string("\x43\x7B\x01\x00\x00\x7F", 6), -1, 0, -1},
                                           SeqCase{std::string("\x43\x7B\x01\x31\x00", 5), -2, 0, 0},
                                           SeqCase{std::string("\x43\x7B\x02\x31\x00\x7F", 6), -2, 0, 0}));

TEST(SongTextEvents, EveryChordSurvivesTheSequencerBytes)
{
    for (int root = -1; root < 12; ++root) {
        for (int type = 0; type < kChordTypeCount; ++type) {
            for (int bass : {-1, (root + 7) % 12}) {
                Chord want, got;
                buildChord(want, root, type, bass);
                parseChordSymbol(got, CMidiSequence::seqBytesToChord(CMidiSequence::chordToSeqBytes(root, type, bass)));
                EXPECT_TRUE(chordsEqual(want, got)) << root << " " << type << " " << bass << " " << got.symbol;
            }
        }
    }
}

class TextEventRoundTrip : public ::testing::TestWithParam<int> {};

// Events written by the writer read back as the same events, with chords as
// markers or as sequencer-specific events by the engine's setting.
TEST_P(TextEventRoundTrip, WrittenEventsReadBackUnchanged)
{
    Engine e;
    e.engine->recordChordsSeqSpecific = static_cast<uint8_t>(GetParam());
    CMidiSequence s(e.engine.get());
    auto add = [&](int t, int stat, int db1, int db2, int db3, const char* text) {
        const int i = s.insertEvent(s.findAfter(t, kMainList), t, stat, db1, db2, text, 0, 1);
        s.events[i].db3 = db3;
    };
    add(0, kStatChord, 9, 10, -1, "");
    add(0, kStatChord, 1, 22, 7, "");
    add(0, kStatChord, -1, 0, -1, "");
    add(10, kStatStyle, 0, 0, 0, "/x/y.sty");
    add(20, kStatVariation, 0, 0, 0, "Fill In AB");
    add(30, kStatMultiVoice, 12, 0, 0, "");
    add(30, kStatMultiVoice, 0, 0, 0, "Organ");
    add(40, kStatChannelVoice, 3, 5, 42, "");
    add(50, kStatMelody, 64, 100, 1, "");
    add(60, kStatMarker, 0, 0, 0, "");
    const Bytes file = smftest::write(s, "song");

    CMidiSequence back(e.engine.get());
    ASSERT_EQ(smftest::read(back, file), file.size());
    const std::vector<Ev> want = {{0, kStatChord, 9, 10, -1, ""},   {0, kStatChord, 1, 22, 7, ""},
                                  {0, kStatChord, -1, 0, -1, ""},   {10, kStatStyle, 0, 0, 0, "/x/y.sty"},
                                  {20, kStatVariation, 0, 0, 0, "Fill In AB"}, {30, kStatMultiVoice, 12, 0, 0, "12"},
                                  {30, kStatMultiVoice, 0, 0, 0, "Organ"}, {40, kStatChannelVoice, 3, 5, 42, ""},
                                  {50, kStatMelody, 64, 100, 1, ""}, {60, kStatMarker, 0, 0, 0, " "}};
    EXPECT_EQ(eventsOf(back), want);
    EXPECT_EQ(back.unresolvedVoices.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SongTextEvents, TextEventRoundTrip, ::testing::Values(0, 1));

TEST(SongTextEvents, WrittenMarkerTextsAreTheKeywordForms)
{
    Engine e;
    CMidiSequence s(e.engine.get());
    const int a = s.insertEvent(kMainList, 0, kStatChannelVoice, 3, 5, "", 0, 1);
    s.events[a].db3 = 42;
    const int b = s.insertEvent(a, 0, kStatMelody, 64, 100, "", 0, 1);
    s.events[b].db3 = 1;
    s.insertEvent(b, 0, kStatChord, 9, 10, "", 0, 1);
    const Bytes file = smftest::write(s, "");
    const std::string bytes(file.v.begin(), file.v.end());
    EXPECT_NE(bytes.find("channelvoice:3;5;42"), std::string::npos);
    EXPECT_NE(bytes.find("melody:001;064;100"), std::string::npos);
    EXPECT_NE(bytes.find("chord:Am7"), std::string::npos);
}

} // namespace
