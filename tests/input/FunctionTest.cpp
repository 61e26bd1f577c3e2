// The functions: steps and switches of the settings, variations and
// start/stop against the fixture style, the mixer re-sends, and registrations.
#include "player/PlayerFixture.h"

#include "melody/CMelody.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace playertest;

class Functions : public PlayerTest {
protected:
    void SetUp() override
    {
        PlayerTest::SetUp();
        engine.presets[0].layers[0].type = 1; // one melody layer on channel 1
        engine.melody->selectPreset(0);
        engine.port->capture.clear();
    }
    int fn(int id, int action = 1) { return engine.liveInput->callFunction(id, action); }
    std::string partName() { return engine.currentPartName(); }
    // Controller 7 values sent, by channel.
    std::map<int, int> volumesSent()
    {
        std::map<int, int> v;
        for (const CapturedMessage& m : engine.port->capture.take())
            if (isController(m.status) && m.d1 == kCtlVolume) v[m.channel()] = m.d2;
        return v;
    }
};

// Steps land on their grid and within their bounds; each is one change of the field.
TEST_F(Functions, StepsStayOnTheirGridAndWithinBounds)
{
    struct Step {
        int id;
        int32_t* field;
        int from, to;
    } steps[] = {
        {19, &engine.mixer.melodyVolume, 195, 200}, {20, &engine.mixer.melodyVolume, 7, 0},
        {21, &engine.mixer.accompVolume, 100, 110}, {24, &engine.mixer.drumsVolume, 13, 0},
        {25, &engine.mixer.bassVolume, 200, 200},   {28, &engine.mixer.otherVolume, 55, 50},
        {29, &engine.play.tempo, 248, 250},        {30, &engine.play.tempo, 12, 10},
        {31, &engine.play.transposition, 300, 301}, {32, &engine.play.transposition, -5, -6},
        {73, &engine.mixer.velocityVariety, 10, 10}, {74, &engine.mixer.velocityVariety, 0, 0},
        {75, &engine.mixer.pitchVariety, 3, 4},      {78, &engine.mixer.bassVariety, 4, 3},
        {39, &engine.areas.chordMethod, 5, 0},       {41, &engine.areas.chordMethod, 0, 2},
        {44, &engine.areas.chordMethod, 0, 5},       {50, &engine.areas.chordMethod, 0, 6},
        {33, &engine.mixer.leftVoicesOff, 0, 1},     {35, &engine.mixer.bassOff, 1, 0},
    };
    for (const Step& s : steps) {
        engine.set(*s.field, s.from);
        engine.set(engine.stateChanged, 0);
        EXPECT_EQ(fn(s.id), 0);
        EXPECT_EQ(engine.get(*s.field), s.to) << "function " << s.id;
        EXPECT_EQ(engine.get(engine.stateChanged), 1) << "function " << s.id;
    }
    EXPECT_EQ(engine.get(engine.play.userTempo), 10); // the tempo steps are the player's own
    engine.set(engine.stateChanged, 0);
    fn(38);
    EXPECT_EQ(std::make_pair(engine.get(engine.areas.syncStop), engine.get(engine.stateChanged)), std::make_pair(1, uint8_t{0}));
}

TEST_F(Functions, PresetButtonsSplitAreaTapTempoAndExitMenu)
{
    engine.presets[50].layers[0].type = 1;
    EXPECT_EQ(fn(150, 2), 0);
    EXPECT_NE(engine.get(engine.play.presetIndex), 50); // a release selects nothing
    fn(150);
    EXPECT_EQ(engine.get(engine.play.presetIndex), 50);

    // Twice without a key: no split area, and the next key still defines one.
    engine.set(engine.areas.splitKey, 70);
    fn(67);
    fn(67);
    EXPECT_EQ(engine.get(engine.areas.splitKey), -1);
    engine.processInput(0x90, 72, 90);
    EXPECT_EQ(engine.get(engine.areas.splitKey), 72);

    for (int gap : {500, 5}) {
        engine.liveInput->lastTapTime = 0;
        engine.liveInput->lastTapInterval = 0;
        engine.setTempo(100);
        for (int tap = 0; tap < 3; ++tap) {
            EXPECT_EQ(engine.get(engine.play.tempo), 100) << "tempo set before the third tap";
            engine.clock->advanceTo(engine.clock->nowUs() + gap * 1000);
            fn(37);
        }
        EXPECT_EQ(engine.get(engine.play.tempo), gap == 500 ? 120 : 250);
    }
    EXPECT_EQ(fn(57), 1);
}

TEST_F(Functions, VariationsWithTheAccompanimentStopped)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    engine.selectPart(part("Main A"));
    // Each row: the function, and the part current afterwards.
    const std::pair<int, const char*> rows[] = {
        {10, "Main B"}, {1, "Main A"}, {0, "Main B"}, {0, "Main B"}, {2, "Fill In AA"},
        {3, "Intro A"}, {6, "Main A"},  {16, "Ending A"}, {13, "Intro A"},
    };
    for (const auto& [id, wanted] : rows) {
        fn(id);
        EXPECT_EQ(partName(), wanted) << "function " << id;
        EXPECT_EQ(engine.pendingRequest(), 0);
    }
    fn(6, 2); // a release of Main A does nothing
    EXPECT_EQ(partName(), "Intro A");
    fn(11); // Fill In + Main B: the fill now, Main B after it
    EXPECT_EQ(std::make_pair(partName(), engine.get(engine.play.returnPart)), std::make_pair(std::string("Fill In AA"), part("Main B")));
    fn(69);
    EXPECT_EQ(engine.get(engine.play.repeatFill), 1);
    fn(69, 2);
    EXPECT_EQ(engine.get(engine.play.repeatFill), 0);

    // Played hard, the chord asks for Main D: the nearest Main the style has.
    engine.set(engine.areas.velocitySelectsMain, 1);
    for (const auto& [velocity, wanted] : {std::pair{20, "Main A"}, std::pair{127, "Main B"}}) {
        for (int k : {36, 40, 43}) engine.processInput(0x90, k, velocity);
        EXPECT_EQ(partName(), wanted);
        for (int k : {36, 40, 43}) engine.processInput(0x80, k, 0);
        stop();
    }
}

TEST_F(Functions, StartStopPauseAndSyncStop)
{
    int slotPlays = 0;
    engine.hooks.context = &slotPlays;
    engine.hooks.playSongSlot = [](void* c) { ++*static_cast<int*>(c); };
    fn(4); // no style yet: the latest recording is played back instead
    EXPECT_EQ(slotPlays, 1);

    ASSERT_GE(load(fixtureStyle()), 0);
    engine.selectPart(part("Main A"));
    engine.set(engine.play.currentChord, Chord{});
    fn(4);
    ASSERT_TRUE(engine.isStylePlaying());
    run(1900);
    for (const On& on : noteOns(engine.port->capture.take(), 0)) EXPECT_EQ(on.channel, kDrums) << "drums alone until a chord";
    for (int k : {36, 40, 43}) engine.processInput(0x90, k, 100); // C in the chord area brings the band in
    run(2000);
    const auto band = noteOns(engine.port->capture.take(), 0);
    EXPECT_TRUE(std::any_of(band.begin(), band.end(), [](const On& on) { return on.channel == kBass; }));

    fn(48); // pause: held in place, its channels cut
    const auto cut = engine.port->capture.take();
    EXPECT_TRUE(std::any_of(cut.begin(), cut.end(), [](const CapturedMessage& m) { return m.text() == "BB 123 0"; }));
    run(2000);
    EXPECT_TRUE(noteOns(engine.port->capture.take(), 0).empty());
    fn(48);
    run(1000);
    EXPECT_FALSE(noteOns(engine.port->capture.take(), 0).empty());

    fn(38); // sync stop: lifting the left hand stops the accompaniment
    for (int k : {36, 40, 43}) {
        EXPECT_TRUE(engine.isStylePlaying());
        engine.processInput(0x80, k, 0);
    }
    run(200);
    EXPECT_FALSE(engine.isStylePlaying());

    engine.set(engine.areas.syncStop, 0);
    for (int k : {36, 40, 43}) engine.processInput(0x90, k, 100);
    ASSERT_TRUE(engine.isStylePlaying());
    fn(4);
    run(200);
    EXPECT_FALSE(engine.isStylePlaying());
    EXPECT_EQ(engine.liveInput->heldChordKeys.size(), 0);
}

TEST_F(Functions, SongModeStopsAndLoopsTheSongThatPlays)
{
    CMidiSequence song;
    song.ticksPerBeat = 96;
    engine.set(engine.songState.playMode, 1);
    engine.set(engine.play.playingSong, &song);
    engine.set(engine.play.songPosition, (96 * 4 * 2 + 2) * 1000); // in bar 3
    fn(68);
    EXPECT_EQ(std::make_tuple(engine.get(engine.songState.songStartBar), engine.get(engine.songState.songEndBar), engine.get(engine.songState.songLoop)),
              std::make_tuple(3, 3, uint8_t{1}));
    fn(68);
    EXPECT_EQ(engine.get(engine.songState.songLoop), 0);
    fn(4);
    EXPECT_EQ(engine.get(engine.play.stopRequest), 1);

    // Volumes: each channel from the level the song set, skipped when it set none.
    engine.port->sendTracked(0xB9, kCtlVolume, 100);
    engine.port->sendTracked(0xB2, kCtlVolume, 100);
    engine.port->sendTracked(0xB3, kCtlVolume, 80);
    engine.set(engine.songState.songBassChannel, 2);
    engine.set(engine.mixer.drumsVolume, 150);
    engine.set(engine.mixer.otherVolume, 50);
    engine.set(engine.mixer.bassVolume, 200);
    engine.set(engine.mixer.accompVolume, 200); // bass: 400 % would overflow a controller
    engine.port->capture.clear();
    engine.liveInput->resendGroupVolumes(0);
    EXPECT_EQ(volumesSent(), (std::map<int, int>{{0, 100}, {9, 127}, {2, 127}, {3, 80}})); // 0: the melody's
    engine.set(engine.mixer.accompVolume, 100);
    engine.liveInput->resendGroupVolumes(1);
    EXPECT_EQ(volumesSent(), (std::map<int, int>{{9, 113}}));
    engine.set(engine.play.playingSong, nullptr);
}

TEST_F(Functions, SlidersAndVolumeStepsResendTheStyleLevels)
{
    ASSERT_GE(load(fixtureStyle()), 0);
    engine.selectPart(part("Main A"));
    engine.liveInput->sliders[1][0] = 21; // controller 20: drums
    engine.processInput(0xB0, 20, 0);
    auto levels = volumesSent();
    EXPECT_EQ(levels.at(kDrums), 0);
    EXPECT_GT(levels.at(kBass), 0);
    fn(22); // accompaniment down: every channel follows at once
    levels = volumesSent();
    EXPECT_EQ(levels.size(), 3u);
    EXPECT_EQ(levels.at(kDrums), 0);
}

TEST_F(Functions, RegistrationAppliesWhenItsStyleIsSelected)
{
    CLiveInput& in = *engine.liveInput;
    StyleEntry entry;
    entry.partName = "main b";
    entry.values[kValueTempo] = 90;
    entry.values[kValuePreset] = 7;
    entry.values[kValueTransposition] = 2;
    entry.values[kValueBassOff] = 1;
    entry.values[kValueBassVolume] = 80;
    entry.values[kValueOtherOff] = 1; // without its volume the pair is left alone
    entry.values[kValueMelodyVolume] = 60;
    entry.entrySplitKey = 66;
    in.styleEntries = {entry};
    engine.presets[7].layers[0].type = 1;
    engine.set(engine.play.activePreset, 0);
    engine.processInput(0x90, 72, 100); // a melody note sounding across the change
    const Bytes style = fixtureStyle();
    ASSERT_GE(engine.loadStyle(-2, style.data(), static_cast<int>(style.size()), "Fixture.sty"), 0);
    const auto sent = engine.port->capture.take();
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [](const CapturedMessage& m) { return isNoteOff(m.status, m.d2) && m.d1 == 72; }))
        << "the note sounding when the transposition changed is ended at its pitch";

    EXPECT_EQ(partName(), "Main B");
    EXPECT_EQ(std::make_tuple(engine.get(engine.play.tempo), engine.get(engine.play.presetIndex), engine.get(engine.play.transposition),
                              engine.get(engine.mixer.bassOff), engine.get(engine.mixer.bassVolume), engine.get(engine.mixer.otherOff),
                              engine.get(engine.mixer.melodyVolume), engine.get(engine.areas.splitKey), engine.get(engine.play.activePreset)),
              std::make_tuple(90, 7, 2, 1, 80, 0, 60, 66, -1));
    // The next style selected is no longer this registration's: its own tempo counts.
    engine.set(engine.play.tempo, 100);
    ASSERT_GE(load(fixtureStyle(140)), 0);
    EXPECT_EQ(engine.get(engine.play.tempo), 140);
    // A blocked tempo stays.
    engine.set(engine.play.blockTempo, 1);
    engine.set(engine.play.activePreset, 0);
    ASSERT_GE(load(fixtureStyle()), 0);
    EXPECT_EQ(engine.get(engine.play.tempo), 140);

    // While the accompaniment plays, the registration comes with the style at the bar line.
    engine.selectPart(part("Main A"));
    for (int k : {36, 40, 43}) engine.processInput(0x90, k, 100);
    run(100);
    engine.set(engine.play.activePreset, 0);
    engine.set(engine.mixer.melodyVolume, 100);
    ASSERT_GE(load(fixtureStyle()), 0);
    EXPECT_EQ(partName(), "Main A");
    run(2000);
    EXPECT_EQ(std::make_tuple(partName(), engine.get(engine.mixer.melodyVolume), engine.get(engine.play.activePreset)),
              std::make_tuple(std::string("Main B"), 60, -1));
}

} // namespace
