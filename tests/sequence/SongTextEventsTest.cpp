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

std::unique_ptr<CKvSeq> makeEngine()
{
    auto engine = std::make_unique<CKvSeq>();
    engine->baseFolder = "/music/";
    engine->presets[7].name = "Grand Piano";
    return engine;
}

std::vector<Ev> readMeta(CMidiSequence& s, int type, std::string_view text, const SequenceOptions& options = {})
{
    smftest::read(s, smftest::smf(0, 96, {Bytes{}.meta(7, type, text)}), options);
    return eventsOf(s);
}

// Each marker at tick 7 becomes one event; some voices are left unresolved.
TEST(SongTextEvents, MarkerKeywordsBecomeTheirEvents)
{
    const std::vector<std::tuple<const char*, Ev, bool>> cases = {
        {"chord:Am7", {7, kStatChord, 9, 10, -1, ""}, false},
        {"chord:C#m7/G", {7, kStatChord, 1, 10, 7, ""}, false},
        {"chord:x", {7, kStatChord, -1, 0, -1, ""}, false},
        {"Chord:C", {7, kStatMarker, 0, 0, 0, "Chord:C"}, false},
        {"style:Swing.sty", {7, kStatStyle, 0, 0, 0, "/music/Styles/Swing.sty"}, false},
        {"style:/x/y.sty", {7, kStatStyle, 0, 0, 0, "/x/y.sty"}, false},
        {"part:Main A", {7, kStatVariation, 0, 0, 0, "Main A"}, false},
        {"part:", {7, kStatVariation, 0, 0, 0, ""}, false},
        {"voice:12", {7, kStatMultiVoice, 12, 0, 0, "12"}, false},
        {"voice: Grand Piano ", {7, kStatMultiVoice, 7, 0, 0, ""}, false},
        {"voice:012", {7, kStatMultiVoice, 0, 0, 0, "012"}, true},
        {"voice:Organ", {7, kStatMultiVoice, 0, 0, 0, "Organ"}, true},
        {"channelvoice:3;5;42", {7, kStatChannelVoice, 3, 5, 42, ""}, false},
        {"channelvoice:", {7, kStatChannelVoice, 0, 0, 0, ""}, false},
        {"channelvoice:7;8", {7, kStatChannelVoice, 7, 8, 0, ""}, false},
        {"melody:001;064;100", {7, kStatMelody, 64, 100, 1, ""}, false},
        {"melody:5", {7, kStatMelody, 0, 0, 5, ""}, false},
        {"Intro", {7, kStatMarker, 0, 0, 0, "Intro"}, false}};
    const auto engine = makeEngine();
    for (const auto& [text, want, unresolved] : cases) {
        CMidiSequence s;
        EXPECT_EQ(readMeta(s, 0x06, text, engine->sequenceOptions()), std::vector<Ev>{want}) << text;
        EXPECT_EQ(s.unresolvedVoices.size(), unresolved ? 1u : 0u) << text;
    }

    // The settings song leaves voice names to the settings loader.
    CMidiSequence settings;
    settings.sequenceId = 99;
    EXPECT_EQ(readMeta(settings, 0x06, "voice:Grand Piano", engine->sequenceOptions()), (std::vector<Ev>{{7, kStatMultiVoice, 0, 0, 0, "Grand Piano"}}));
    EXPECT_TRUE(settings.unresolvedVoices.empty());

    // A style keeps markers plain, moved to the start of bar 2 as every style marker is.
    CMidiSequence style;
    style.isStyle = 1;
    EXPECT_EQ(readMeta(style, 0x06, "chord:C"), (std::vector<Ev>{{384, kStatMarker, 0, 0, 0, "chord:C"}}));
}

// Sequencer-specific chord bytes: {bytes, root, type, bass}; root -2: no event.
TEST(SongTextEvents, SequencerChordsDecodeRootTypeAndBass)
{
    const std::vector<std::tuple<std::string, int, int, int>> cases = {
        {std::string("\x43\x7B\x01\x23\x00\x7F", 6), 3, 0, -1},  {std::string("\x43\x7B\x01\x31\x0A\x33", 6), 0, 10, 4},
        {std::string("\x43\x7B\x01\x36\x08\x36", 6), 9, 8, -1},  {std::string("\x43\x7B\x01\x67\x63\x11\x55", 7), 2, 0, 10},
        {std::string("\x43\x7B\x01\x00\x00\x7F", 6), -1, 0, -1}, {std::string("\x43\x7B\x01\x31\x00", 5), -2, 0, 0},
        {std::string("\x43\x7B\x02\x31\x00\x7F", 6), -2, 0, 0}};
    for (const auto& [bytes, root, type, bass] : cases) {
        CMidiSequence s;
        const std::vector<Ev> want = root == -2 ? std::vector<Ev>{} : std::vector<Ev>{{7, kStatChord, root, type, bass, ""}};
        EXPECT_EQ(readMeta(s, 0x7F, bytes), want) << root << " " << type << " " << bass;
    }
}

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

// Events written by the writer read back as the same events, with chords as
// markers (in their keyword forms) or as sequencer-specific events by the
// engine's setting.
TEST(SongTextEvents, WrittenEventsReadBackUnchanged)
{
    const std::vector<Ev> events = {{0, kStatChord, 9, 10, -1, ""},   {0, kStatChord, 1, 22, 7, ""},
                                    {0, kStatChord, -1, 0, -1, ""},   {10, kStatStyle, 0, 0, 0, "/x/y.sty"},
                                    {20, kStatVariation, 0, 0, 0, "Fill In AB"}, {30, kStatMultiVoice, 12, 0, 0, ""},
                                    {30, kStatMultiVoice, 0, 0, 0, "Organ"}, {40, kStatChannelVoice, 3, 5, 42, ""},
                                    {50, kStatMelody, 64, 100, 1, ""}, {60, kStatMarker, 0, 0, 0, ""}};
    std::vector<Ev> want = events;
    want[5].text = "12";
    want[9].text = " ";
    for (int seqSpecific = 0; seqSpecific < 2; ++seqSpecific) {
        const auto engine = makeEngine();
        engine->recordState.recordChordsSeqSpecific = static_cast<uint8_t>(seqSpecific);
        CMidiSequence s;
        for (const Ev& e : events) {
            const int i = s.insertEvent(s.findAfter(e.ticks, kMainList), e.ticks, e.stat, e.db1, e.db2, e.text.c_str(), 0, 1);
            s.events[i].db3 = e.db3;
        }
        const Bytes file = smftest::write(s, "song", engine->sequenceOptions());
        const std::string bytes(file.v.begin(), file.v.end());
        for (const char* keyword : {"channelvoice:3;5;42", "melody:001;064;100"})
            EXPECT_NE(bytes.find(keyword), std::string::npos) << keyword;
        EXPECT_EQ(bytes.find("chord:Am7") != std::string::npos, seqSpecific == 0);

        CMidiSequence back;
        ASSERT_EQ(smftest::read(back, file, engine->sequenceOptions()), file.size());
        EXPECT_EQ(eventsOf(back), want) << seqSpecific;
        EXPECT_EQ(back.unresolvedVoices.size(), 1u);
    }
}

} // namespace
