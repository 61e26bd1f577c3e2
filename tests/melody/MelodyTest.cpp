// Melody voices and automatic harmony, played through processInput; notes
// leaving the port are read back as texts such as "+2:76/100" (note on,
// channel index 2, pitch 76, velocity 100) or "-2:76/64".
#include "melody/CMelody.h"
#include "support/LiveEngine.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <random>
#include <set>
#include <tuple>

namespace {

using Texts = std::vector<std::string>;

PresetLayer layer(int type, int octaveShift, int channel)
{
    return {type, octaveShift, -1, -1, -1, -1, -1, -1, -1, -1, channel};
}

class MelodyTest : public testsupport::LiveEngineTest {
protected:
    CMelody& melody() { return *engine.melody; }
    // Writes the layers (the rest off) into preset n and selects it.
    void usePreset(int n, std::initializer_list<PresetLayer> layers)
    {
        engine.lock();
        int i = 0;
        for (const PresetLayer& l : layers) engine.presets[n].layers[i++] = l;
        for (; i < 4; ++i) engine.presets[n].layers[i] = PresetLayer{};
        engine.unlock();
        melody().selectPreset(n);
        out();
    }
    void chord(const char* symbol)
    {
        Chord c;
        parseChordSymbol(c, symbol);
        engine.setFreeChord(c);
    }
    Texts out() { return sentTexts(); }
};

TEST_F(MelodyTest, PresetSendsEachEnabledLayersSetUpThenTheVolumes)
{
    engine.lock();
    engine.presets[7].layers[0] = {1, 0, 12, 0, 3, 90, 20, 30, 40, 5, 2};
    engine.presets[7].layers[1] = {0, 0, 40, 1, 1, 50, 50, 50, 50, 50, 3}; // off: nothing, whatever its values
    engine.presets[7].layers[2] = layer(kLayerLeft, 0, 4);                 // unset values take the defaults
    engine.presets[7].layers[3] = {kLayerSplit, 0, 7, -1, -1, -1, -1, -1, -1, -1, 17}; // channel stays a channel
    engine.unlock();
    engine.set(engine.defaults.defaultVolume, 80);
    melody().selectPreset(7);
    EXPECT_EQ(out(), (Texts{"B2 0 0", "B2 32 3", "C2 12 0", "B2 1 5", "B2 7 90", "B2 10 20", "B2 91 30", "B2 93 40",
                            "B4 1 0", "B4 7 80", "B4 10 64", "B4 91 40", "B4 93 0", "C1 7 0", "B1 1 0", "B1 7 80",
                            "B1 10 64", "B1 91 40", "B1 93 0", "B2 7 90", "B4 7 80", "B1 7 80"}));
    EXPECT_EQ(engine.get(engine.play.presetIndex), 7);
    for (const int n : {500, -1}) melody().selectPreset(n);
    EXPECT_TRUE(out().empty());

    // {melody %, left %, volume of the channel-2 layer, levels on channels 2, 4 (left hand) and 1 (default 80)}
    const int levels[][6] = {{200, 0, 60, 127, 0, 127}, {99, 150, -1, 79, 103, 79}, {150, 100, 100, 113, 80, 103}};
    for (const auto& [melodyPercent, leftPercent, volume, two, four, one] : levels) {
        engine.set(engine.mixer.melodyVolume, melodyPercent);
        engine.set(engine.mixer.leftVolume, leftPercent);
        engine.presets[7].layers[0].volume = volume;
        melody().selectPreset(7);
        const Texts t = out();
        EXPECT_EQ(Texts(t.end() - 3, t.end()),
                  (Texts{"B2 7 " + std::to_string(two), "B4 7 " + std::to_string(four), "B1 7 " + std::to_string(one)}))
            << melodyPercent << "% " << volume;
    }
    live().sliders[5][0] = 21; // the melody slider re-sends the levels
    engine.processInput(0xB0, 20, 127);
    EXPECT_EQ(out(), (Texts{"B2 7 127", "B4 7 80", "B1 7 127"}));
}

TEST_F(MelodyTest, LeftHandAndSplitKeysSoundThroughTheirLayers)
{
    usePreset(0, {layer(kLayerLeft, 1, 3), layer(kLayerSplit, -1, 5), layer(kLayerSingle, 0, 0)});
    engine.set(engine.areas.chordRecognitionOff, 1);
    engine.set(engine.areas.splitKey, 96);
    press(48); // twice without release: two note ons, and one release ends both
    press(48);
    release(48);
    press(100);
    release(100, 0, true);
    melody().areaVoice(0x90, 120, 90, kLayerLeft); // shifted out of range: the key's own pitch
    melody().areaVoice(0x80, 120, 0, kLayerLeft);
    press(50); // left voices switched off while held: the release still ends it
    engine.set(engine.mixer.leftVoicesOff, 1);
    release(50);
    EXPECT_EQ(out(), (Texts{"+3:60/100", "+3:60/100", "-3:60/64", "-3:60/64", "+5:88/100", "-5:88/0", "+3:120/90",
                            "-3:120/0", "+3:62/100", "-3:62/64"}));
    usePreset(1, {layer(kLayerSingle, 0, 0)}); // no split layer: area 6 is silent, the key is melody
    melody().areaVoice(0x90, 100, 90, kLayerSplit);
    press(100);
    EXPECT_EQ(out(), (Texts{"+0:100/100"}));
}

TEST_F(MelodyTest, HarmonySearch)
{
    // {chord, key, method, play mode, close, wide}
    const std::tuple<const char*, int, int, int, int, int> cases[] = {
        {"C", 79, 0, 0, 76, 72},   {"Am7", 72, 0, 0, 69, 64},  {"C1+5", 72, 3, 0, 67, 60}, {"C", 5, 0, 0, 0, -2},
        {"C", 2, 0, 0, -1, -3},    {"C", 76, 4, 0, -1, -1},    {"C", 76, 0, 1, -1, -1},    {"N.C.", 76, 0, 0, -1, -1}};
    for (const auto& [symbol, key, method, mode, close, wide] : cases) {
        chord(symbol);
        engine.set(engine.areas.chordMethod, method);
        engine.set(engine.songState.playMode, mode);
        int c = 0, w = 0;
        melody().computeHarmony(key, c, w);
        EXPECT_EQ(std::make_pair(c, w), std::make_pair(close, wide)) << symbol << " " << key;
    }
}

// Layer types 1-4 sound the key and its harmony (close, wide, both); types
// 5 and 6 are the left-hand and split layers. A main note out of 1..127
// plays the key itself, harmony out of range is no note; the release ends them.
TEST_F(MelodyTest, LayerSoundsItsNotesAndTheReleaseEndsThem)
{
    const std::tuple<int, int, int, int, int, Texts> cases[] = {
        // type, octave shift, key, chord method, play mode, notes on
        {1, 0, 76, 0, 0, {"+2:76/100"}}, {2, 0, 76, 0, 0, {"+2:76/100", "+2:72/70"}},
        {3, 0, 76, 0, 0, {"+2:76/100", "+2:67/70"}}, {4, 0, 76, 0, 0, {"+2:76/100", "+2:72/70", "+2:67/70"}},
        {5, 0, 76, 0, 0, {}}, {6, 0, 76, 0, 0, {}}, {4, 0, 76, 6, 0, {"+2:76/100"}}, {4, 0, 76, 0, 1, {"+2:76/100"}},
        {4, 0, 2, 0, 0, {"+2:2/100"}}, {4, 2, 103, 0, 0, {"+2:127/100", "+2:124/70", "+2:120/70"}},
        {4, 1, 123, 0, 0, {"+2:123/100", "+2:127/70"}}, {4, -1, 12, 0, 0, {"+2:12/100"}}, {4, -1, 13, 0, 0, {"+2:1/100"}},
    };
    engine.set(engine.areas.highestChordKey, -1); // every key is melody
    chord("C");
    for (const auto& [type, shift, key, method, playMode, on] : cases) {
        usePreset(0, {layer(type, shift, 2)});
        engine.set(engine.areas.chordMethod, method);
        engine.set(engine.songState.playMode, playMode);
        press(key);
        EXPECT_EQ(out(), on) << type << " " << shift << " " << key;
        release(key);
        Texts off;
        for (const std::string& n : on) off.push_back("-" + n.substr(1, n.find('/')) + "64");
        EXPECT_EQ(out(), off) << type << " " << shift << " " << key;
    }
}

TEST_F(MelodyTest, HarmonyVelocityAndRepeatedKeys)
{
    usePreset(0, {layer(kLayerClose, 1, 7)}); // layer 0 sounds on channel index 7
    chord("C");
    const int cases[][3] = {{50, 1, 1}, {70, 100, 70}, {200, 100, 127}};
    for (const auto& [percent, velocity, want] : cases) {
        engine.set(engine.mixer.harmonyVolume, percent);
        press(76, velocity);
        release(76);
        EXPECT_EQ(out().at(1), "+7:84/" + std::to_string(want)) << percent << "% of " << velocity;
    }
    // The same key from two keyboards: the pitch that sounds (here the key's
    // own, the shift leaving the range) is checked on the layer's own channel,
    // so the second press ends the first note before sounding again.
    engine.set(engine.mixer.harmonyVolume, 100);
    press(120, 100, 0);
    press(120, 90, 1);
    release(120, 0);
    release(120, 1);
    EXPECT_EQ(out(), (Texts{"+7:120/100", "+7:127/100", "-7:120/90", "+7:120/90", "-7:127/90", "+7:127/90",
                            "-7:120/64", "-7:127/64"}));
}

TEST_F(MelodyTest, ChordChangeReharmonisesHeldKeysOnce)
{
    usePreset(0, {layer(kLayerClose, 0, 1), layer(kLayerCloseWide, 0, 0), layer(kLayerLeft, 0, 3)});
    engine.set(engine.areas.chordRecognitionOff, 1);
    chord("C");
    press(48);
    press(76);
    out();
    chord("F"); // harmony notes end and the new ones sound; main and left-hand notes sound on
    EXPECT_EQ(out(), (Texts{"-0:67/100", "-0:72/100", "-1:72/100", "+1:72/70", "+0:72/70", "+0:69/70"}));
    release(76);
    release(48);
    EXPECT_EQ(out(), (Texts{"-1:76/64", "-0:76/64", "-1:72/64", "-0:72/64", "-0:69/64", "-3:48/64"}));

    // A preset changed under a held key: its notes still end with it, and
    // repeated chord changes keep the key's harmony velocity.
    engine.set(engine.mixer.harmonyVolume, 150);
    press(76, 60);
    usePreset(1, {layer(kLayerClose, 0, 5)});
    for (const char* symbol : {"C", "F", "C", "F"}) chord(symbol);
    EXPECT_EQ(out(), (Texts{"-0:69/100", "-0:72/100", "-1:72/100", "+5:72/90", "-5:72/100", "+5:72/90", "-5:72/100",
                            "+5:72/90", "-5:72/100", "+5:72/90"}));
    release(76);
    EXPECT_EQ(out(), (Texts{"-1:76/64", "-0:76/64", "-5:72/64"}));
}

TEST_F(MelodyTest, RandomPlayingLeavesNothingSoundingOnceEveryKeyIsUp)
{
    // Layers share channels on purpose, so notes of different keys collide.
    engine.lock();
    const PresetLayer layers[2][4] = {
        {layer(4, 0, 0), layer(2, 1, 1), layer(5, 2, 0), layer(6, -1, 2)},
        {layer(3, -1, 0), layer(1, 0, 3), layer(5, 1, 1), layer(0, 0, 0)}};
    for (int p = 0; p < 2; ++p) std::copy(std::begin(layers[p]), std::end(layers[p]), engine.presets[p].layers);
    engine.unlock();
    const char* chords[] = {"C", "F", "G7", "Am7", "C1+5", "C1+8", "Bbdim7", "N.C."};
    std::mt19937 rng(6020);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::set<std::pair<int, int>> down;        // (channel, key)
    std::map<std::pair<int, int>, int> depth; // note ons minus note offs on the output
    auto drain = [&] {
        for (const CapturedMessage& m : sent()) {
            if (m.status < 0x80 || m.status > 0x9F) continue;
            int& d = depth[{m.channel(), m.d1}];
            d += m.status >= 0x90 && m.d2 > 0 ? 1 : -1;
            ASSERT_GE(d, 0) << "note off for a silent note";
        }
        ASSERT_EQ(melody().soundingCount(), engine.port->soundingCount());
    };
    for (int step = 0; step < 12000 && !HasFatalFailure(); ++step) {
        const int action = pick(0, 99);
        if (action < 42) {
            const int ch = pick(0, 1), key = pick(20, 110);
            if (down.insert({ch, key}).second) press(key, pick(1, 127), ch);
        } else if (action < 82 && !down.empty()) {
            auto it = std::next(down.begin(), pick(0, static_cast<int>(down.size()) - 1));
            release(it->second, it->first, pick(0, 1) == 1);
            down.erase(it);
        } else if (action < 92) {
            chord(chords[pick(0, 7)]);
        } else {
            const int v = pick(0, 200);
            switch (pick(0, 5)) {
            case 0: melody().selectPreset(v % 2); break;
            case 1: engine.set(engine.areas.chordMethod, v % 4 == 3 ? 6 : v % 4 * 2 % 5); break; // 0, 2, 4, 6
            case 2: engine.set(engine.areas.splitKey, v % 2 ? -1 : 96); break;
            case 3: engine.set(engine.mixer.leftVoicesOff, v % 2); break;
            case 4: engine.set(engine.mixer.harmonyVolume, v); break;
            default: engine.set(engine.songState.playMode, v % 4 == 0); break;
            }
        }
        drain();
    }
    for (const auto& [ch, key] : down) release(key, ch);
    drain();
    EXPECT_EQ(std::make_pair(engine.port->soundingCount(), melody().soundingCount()), std::make_pair(0, 0));
    for (const auto& [note, d] : depth) EXPECT_EQ(d, 0) << "channel " << note.first << " note " << note.second;
}

} // namespace
