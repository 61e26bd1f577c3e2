// The port against the real kernel sequencer, with a test client of our own
// as keyboard and sound generator. Skipped where there is no sequencer; the
// kernel test run boots a machine that has one, and fails when these skip.
// What the arranger binary does with a real keyboard (pass-through outside
// live mode, the console's midiin and midiout) is checked by that run itself.
#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"

#include "SeqProbe.h"
#include "player/PlayerFixture.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"
#include "player/EngineAssembly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <unistd.h>

namespace {

bool haveSequencer() { return access("/dev/snd/seq", R_OK | W_OK) == 0; }

class KernelSequencer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveSequencer()) GTEST_SKIP() << "no /dev/snd/seq here";
        ASSERT_TRUE(probe.open("vtn-probe"));
        engine = std::make_unique<CKvSeq>();
        vtn::CMessageCapture messages;
        assembleEngine(*engine, 1);
        EXPECT_EQ(messages.take(), "");
        ASSERT_TRUE(engine->port->isOpen());
        engine->port->capture.enable(true);
    }
    void TearDown() override
    {
        if (engine) engine->shutdown();
    }
    std::string connectOutput(const std::string& name)
    {
        engine->midiOutName = name;
        vtn::CMessageCapture messages;
        engine->port->connectOutput(name);
        return messages.take();
    }
    std::string connectInput(const std::string& name)
    {
        engine->midiInName = name;
        vtn::CMessageCapture messages;
        engine->port->connectInput(0, 1, name);
        return messages.take();
    }
    std::vector<std::string> receive(size_t count)
    {
        std::vector<std::string> got;
        ProbeEvent e;
        while (got.size() < count && probe.receive(e, 5000)) got.push_back(e.text());
        return got;
    }

    // Keeps `sounding`: the (channel, pitch) of note ons not yet ended.
    void track(const ProbeEvent& e)
    {
        if (e.type == SND_SEQ_EVENT_NOTEON && e.b > 0) sounding.insert({e.channel, e.a});
        else if (e.type == SND_SEQ_EVENT_NOTEON || e.type == SND_SEQ_EVENT_NOTEOFF) sounding.erase({e.channel, e.a});
        else if (e.type == SND_SEQ_EVENT_CONTROLLER && e.a == kCtlAllNotesOff)
            std::erase_if(sounding, [&](const auto& s) { return s.first == e.channel; });
    }
    void expectSilence()
    {
        for (const auto& [channel, pitch] : sounding)
            ADD_FAILURE() << "still sounding: channel " << channel << " pitch " << pitch;
    }

    // The fixture style at a bar a second, on Main A, in live mode.
    void loadFixtureStyle()
    {
        const playertest::Bytes style = playertest::fixtureStyle(240);
        ASSERT_GE(engine->loadStyle(-2, style.data(), static_cast<int>(style.size()), "Styles/Fixture.sty"), 0);
        int mainA = -1;
        for (int p = 0; p < engine->currentStyle()->partCount(); ++p)
            if (engine->currentStyle()->parts[static_cast<size_t>(p)].name == "Main A") mainA = p;
        ASSERT_GE(mainA, 0);
        engine->selectPart(mainA);
        engine->set(engine->defaults.styleBankSelect, 1);
        engine->setTempo(240);
        engine->set(engine->play.inputMode, kLiveMode);
    }

    SeqProbe probe;
    std::unique_ptr<CKvSeq> engine;
    std::set<std::pair<int, int>> sounding;
};

TEST_F(KernelSequencer, ClientAndPortCarryTheirNamesAndCapabilities)
{
    ProbePort vtn;
    ASSERT_TRUE(probe.findPort("VTN Veltrona MIDI Port", vtn));
    EXPECT_EQ(std::make_tuple(vtn.clientName, vtn.portName, vtn.port, vtn.capability & 0x63u, vtn.client),
              std::make_tuple(std::string("VTN"), std::string("Veltrona MIDI Port"), 0, 0x63u, engine->port->clientId));
    EXPECT_TRUE(vtn.type & SND_SEQ_PORT_TYPE_MIDI_GENERIC);
}

TEST_F(KernelSequencer, EveryKindOfMessageReachesTheSoundGenerator)
{
    EXPECT_EQ(connectOutput("vtn-probe"), "Midi Out: vtn-probe in\n");
    CMidiPort& port = *engine->port;
    port.send(0x90, 60, 100);
    port.send(0x80, 60, 64);
    port.send(0x93, 200, -5); // clamped
    port.send(0xB1, 7, 90);
    port.send(0xC2, 5, 0);
    port.send(0xE0, 0, 64);   // centre
    port.send(0xE3, 127, 127);
    port.send(0xD4, 33, 0);
    port.send(0xA5, 61, 20);
    port.sendSysExText("F0 43 10 4C 00 00 7E 00 F7");
    port.sendMidiText("f0 7e 7f 09 01 f7");
    port.sendMidiText("b0 0a 40 c0 07");
    const std::vector<std::string> want = {
        "noteon 0 60 100", "noteoff 0 60 64", "noteon 3 127 0", "control 1 7 90", "program 2 5",
        "pitchbend 0 0", "pitchbend 3 8191", "chanpress 4 33", "keypress 5 61 20",
        "sysex F0 43 10 4C 00 00 7E 00 F7", "sysex F0 7E 7F 09 01 F7", "control 0 10 64", "program 0 7",
    };
    EXPECT_EQ(receive(want.size()), want);
}

TEST_F(KernelSequencer, LastMatchingOutputWinsAndReconnectingMovesTheOutput)
{
    SeqProbe second;
    ASSERT_TRUE(second.open("vtn-probe-two"));
    EXPECT_EQ(connectOutput("vtn-probe"), "Midi Out: vtn-probe in\nMidi Out: vtn-probe-two in\n");
    engine->port->send(0x90, 61, 1);
    ProbeEvent e;
    ASSERT_TRUE(second.receive(e, 5000));
    EXPECT_EQ(e.text(), "noteon 0 61 1");
    EXPECT_FALSE(probe.receive(e, 200));

    EXPECT_EQ(connectOutput("vtn-probe in"), "Midi Out: vtn-probe in\n");
    engine->port->send(0x90, 62, 1);
    ASSERT_TRUE(probe.receive(e, 5000));
    EXPECT_EQ(e.text(), "noteon 0 62 1");
    EXPECT_FALSE(second.receive(e, 200));
}

TEST_F(KernelSequencer, SuspendedInputIsDropped)
{
    connectInput("vtn-probe out");
    connectOutput("vtn-probe");
    engine->set(engine->play.inputSuspended, 1);
    ProbeEvent e;
    SeqProbe::parse("noteon 0 60 100", e);
    probe.send(e);
    EXPECT_FALSE(probe.receive(e, 300));
    engine->set(engine->play.inputSuspended, 0);
    SeqProbe::parse("noteon 0 61 100", e);
    probe.send(e);
    ASSERT_TRUE(probe.receive(e, 5000));
    EXPECT_EQ(e.a, 61);
}

TEST_F(KernelSequencer, ShutdownUnderAFloodOfInputEndsCleanlyAndLeavesNoClient)
{
    connectInput("vtn-probe out");
    connectOutput("vtn-probe");
    std::atomic<bool> stop{false};
    std::thread keyboard([&] {
        ProbeEvent e;
        SeqProbe::parse("noteon 0 60 100", e);
        while (!stop) {
            e.b = e.b == 100 ? 0 : 100;
            probe.send(e);
        }
    });
    usleep(100 * 1000);
    engine->shutdown();
    stop = true;
    keyboard.join();
    engine.reset();
    EXPECT_FALSE(probe.clientExists("VTN"));
}

TEST_F(KernelSequencer, ShutdownLeavesTheSoundGeneratorSilent)
{
    connectOutput("vtn-probe");
    engine->sendEvent(0x90, 60, 100);
    ProbeEvent e;
    ASSERT_TRUE(probe.receive(e, 5000));
    engine->shutdown();
    const auto after = receive(49);
    ASSERT_EQ(after.size(), 49u);
    EXPECT_EQ(after[0] + "|" + after[1] + "|" + after[48], "noteoff 0 60 0|control 0 123 0|pitchbend 15 0");
}

// Live mode with a style, in real time: a chord played on the keyboard starts
// the accompaniment, whose notes reach the sound generator through the
// kernel; a new chord moves them; shutting down leaves nothing sounding.
TEST_F(KernelSequencer, ChordsPlayedLiveDriveTheStyleAndShutdownSilencesIt)
{
    connectInput("vtn-probe out");
    connectOutput("vtn-probe");
    loadFixtureStyle();

    // Takes what arrives until a note on satisfies `wanted`; false when none
    // does within ten seconds.
    auto until = [&](auto wanted) {
        const int64_t end = probeNowUs() + 10'000'000;
        ProbeEvent e;
        while (probeNowUs() < end && probe.receive(e, 5000)) {
            track(e);
            if (e.type == SND_SEQ_EVENT_NOTEON && e.b > 0 && wanted(e)) return true;
        }
        return false;
    };
    // The style's bass or pad plays one of these pitch classes.
    auto accompanimentIn = [](std::vector<int> pitchClasses) {
        return [pitchClasses](const ProbeEvent& e) {
            const bool tonal = e.channel == playertest::kBass || e.channel == playertest::kPad;
            return tonal && std::find(pitchClasses.begin(), pitchClasses.end(), e.a % 12) != pitchClasses.end();
        };
    };
    auto keys = [&](const std::string& kind, std::initializer_list<int> notes) {
        ProbeEvent e;
        for (int n : notes) {
            SeqProbe::parse(kind + " 0 " + std::to_string(n) + " 100", e);
            probe.send(e);
        }
    };

    keys("noteon", {36, 40, 43}); // C E G below the chord key limit
    EXPECT_TRUE(until(accompanimentIn({0, 4, 7}))) << "no accompaniment after C";
    int beats = 0;
    EXPECT_TRUE(until([&](const ProbeEvent& e) { return e.channel == playertest::kDrums && ++beats == 2; }))
        << "the style did not play on";
    keys("noteoff", {36, 40, 43});
    keys("noteon", {41, 45, 48}); // F A C
    EXPECT_TRUE(until(accompanimentIn({5, 9}))) << "the accompaniment did not follow F";
    EXPECT_TRUE(engine->isStylePlaying());

    engine->shutdown();
    ProbeEvent e;
    while (probe.receive(e, 1000)) track(e);
    expectSilence();
}

// The synthesizer restarts while the style plays and comes back under
// another client number: the style's set-up (its channels' controllers
// reset) reaches it before any note, and the style plays on into it.
TEST_F(KernelSequencer, ASynthRestartedWhileTheStylePlaysIsSetUpBeforeItsNextNote)
{
    auto synth = std::make_unique<SeqProbe>();
    ASSERT_TRUE(synth->open("vtn-synth"));
    connectInput("vtn-probe out");
    connectOutput("vtn-synth");
    loadFixtureStyle();
    ProbeEvent e;
    for (const int n : {36, 40, 43}) {
        SeqProbe::parse("noteon 0 " + std::to_string(n) + " 100", e);
        probe.send(e);
    }
    auto nextNote = [&](bool& setUp) {
        setUp = false;
        while (synth->receive(e, 5000)) {
            setUp = setUp || (e.type == SND_SEQ_EVENT_CONTROLLER && e.a == kCtlResetControllers);
            if (e.type == SND_SEQ_EVENT_NOTEON && e.b > 0) return true;
        }
        return false;
    };
    bool setUp = false;
    ASSERT_TRUE(nextNote(setUp)) << "the style did not start";
    vtn::CMessageCapture messages;
    synth = std::make_unique<SeqProbe>(); // the old one leaves as the new one comes
    ASSERT_TRUE(synth->open("vtn-synth"));
    EXPECT_TRUE(nextNote(setUp)) << "nothing reached the synthesizer that came back";
    EXPECT_TRUE(setUp) << "a note came before the set-up";
    EXPECT_EQ(messages.take(), "Midi Out: vtn-synth in\n");
}

// Keys bound to functions drive a corpus style in real time: Start/Stop starts
// the drums alone, a chord brings the rest in, Var Up changes the Main at the
// next bar line, Fill In A plays at once and again while held, then the Main
// returns; Start/Stop ends it. A part shows by what only it plays; bars count
// from the first note, stamped by the kernel, with half a beat for the late.
TEST_F(KernelSequencer, KeysBoundToFunctionsMoveTheStyleThroughItsPartsAtTheRightBars)
{
    const std::string path = testsupport::corpusDir() + "/styles/LingusFunk.S066.sty";
    if (testsupport::corpusDir().empty() || !testsupport::fileExists(path)) GTEST_SKIP() << "no corpus style";
    const std::string file = testsupport::readFile(path);
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    connectInput("vtn-probe out");
    connectOutput("vtn-probe");
    ASSERT_TRUE(probe.stampArrivals());
    engine->set(engine->defaults.styleBankSelect, 1);
    ASSERT_GE(engine->loadStyle(-2, bytes, static_cast<int>(file.size()), path), 0);
    const CStyle& style = *engine->currentStyle();
    const auto& events = style.events;
    ASSERT_EQ(engine->currentPartName(), "Main A");
    constexpr int kBpm = 240, kVarUp = 84, kStartStop = 86, kFillInA = 88;
    engine->setTempo(kBpm);
    engine->setUserTempo(kBpm); // the style's tempo events keep out
    engine->set(engine->play.inputMode, kLiveMode);
    {
        CLockGuard guard(engine->liveInput->inputMutex);
        for (const auto& [function, note] : {std::pair{0, kVarUp}, std::pair{4, kStartStop}, std::pair{69, kFillInA}})
            engine->liveInput->setTrigger(function, note + kNoteCodeBase, 0);
    }

    using Key = std::pair<int, int>; // channel, and the pitch on a drum channel (-1 elsewhere)
    const char* names[] = {"Main A", "Main B", "Fill In AA"};
    std::set<Key> keys[3];
    std::set<int> drums;
    for (int i = 0; i < 3; ++i)
        for (const StylePart& part : style.parts) {
            if (part.name != names[i]) continue;
            for (int r = events[size_t(part.startevent)].next; r >= kFirstEvent; r = events[size_t(r)].next) {
                const MidiEvent& m = events[size_t(r)];
                if (m.stat == kStatMarker) break;
                if (!isNoteOn(m.stat, m.db2)) continue;
                const PartChannel& c = part.channels[m.stat & 15];
                if (c.drum) drums.insert(c.dest);
                keys[i].insert({c.dest, c.drum ? m.db1 : -1});
            }
        }
    auto only = [&](int i) {
        std::set<Key> k = keys[i];
        for (int j = 0; j < 3; ++j)
            if (j != i) std::erase_if(k, [&](const Key& x) { return keys[j].count(x) > 0; });
        EXPECT_FALSE(k.empty()) << names[i];
        return [k](Key x) { return k.count(x) > 0; };
    };
    const std::function<bool(Key)> mainB = only(1), fill = only(2);

    std::vector<ProbeEvent> got;
    auto pumpUntil = [&](int64_t us) {
        ProbeEvent e;
        for (int64_t now; (now = probeNowUs()) < us;)
            if (probe.receive(e, static_cast<int>((us - now) / 1000) + 1)) track(e), got.push_back(e);
    };
    auto key = [&](int note, bool down) {
        ProbeEvent e;
        SeqProbe::parse((down ? "noteon 0 " : "noteoff 0 ") + std::to_string(note) + " 100", e);
        probe.send(e);
        return probeNowUs();
    };
    auto on = [](const ProbeEvent& e) { return e.type == SND_SEQ_EVENT_NOTEON && e.b > 0; };
    // Whether a note on in [from, to) passes `notes`.
    auto heard = [&](int64_t from, int64_t to, const std::function<bool(Key)>& notes) {
        return std::any_of(got.begin(), got.end(), [&](const ProbeEvent& e) {
            return on(e) && e.timeUs >= from && e.timeUs < to && notes({e.channel, drums.count(e.channel) ? e.a : -1});
        });
    };
    auto any = [](Key) { return true; };

    key(kStartStop, true), key(kStartStop, false);
    for (const int64_t end = probeNowUs() + 5'000'000; !heard(0, INT64_MAX, any) && probeNowUs() < end;)
        pumpUntil(probeNowUs() + 10'000);
    ASSERT_TRUE(heard(0, INT64_MAX, any)) << "Start/Stop started nothing";
    const int64_t t0 = std::find_if(got.begin(), got.end(), on)->timeUs, beat = 60'000'000 / kBpm, late = beat / 2;
    auto bar = [&](double b) { return t0 + static_cast<int64_t>(b * static_cast<double>(beat * style.numerator)); };

    pumpUntil(bar(1.3));
    const int64_t chord = key(36, true);
    key(40, true), key(43, true), key(36, false), key(40, false), key(43, false); // C, which stays
    pumpUntil(bar(3.3));
    key(kVarUp, true), key(kVarUp, false);
    pumpUntil(bar(6.3));
    const int64_t fillPressed = key(kFillInA, true);
    pumpUntil(bar(8.3));
    key(kFillInA, false);
    pumpUntil(bar(10.3));
    const int64_t stop = key(kStartStop, true);
    key(kStartStop, false);
    pumpUntil(stop + 2'000'000);

    auto channel = [](int c) { return [c](Key k) { return k.first == c; }; };
    const struct { int64_t from, to; std::function<bool(Key)> notes; bool played; const char* what; } windows[] = {
        {t0, chord, [&](Key k) { return drums.count(k.first) > 0; }, true, "drums from Start/Stop"},
        {t0, chord, [&](Key k) { return k.first >= 8 && !drums.count(k.first); }, false, "others before a chord"},
        {chord, bar(3), channel(10), true, "the bass (index 10) after the chord"},
        {chord, bar(3), channel(11), true, "the other part (index 11) after the chord"},
        {t0, bar(4), mainB, false, "Main B before the bar line after Var Up"},
        {bar(4), bar(5), mainB, true, "Main B from that bar line"},
        {fillPressed, bar(7), fill, true, "the fill at once"},
        {fillPressed + late, bar(9), mainB, false, "Main B while the fill key is held"},
        {bar(7), bar(8), fill, true, "the fill repeated"},
        {bar(8), bar(9), fill, true, "the fill to the end of the bar its key was let go in"},
        {bar(9), bar(10), mainB, true, "Main B back after the fill"},
        {bar(9) + late, INT64_MAX, fill, false, "the fill after that"},
        {stop + late, INT64_MAX, any, false, "anything after Start/Stop"},
    };
    for (const auto& w : windows) EXPECT_EQ(heard(w.from, w.to, w.notes), w.played) << w.what;
    EXPECT_FALSE(engine->isStylePlaying());
    expectSilence();
}

} // namespace

// A song queued ahead on the kernel's queue: a pause, a transposition (which
// cuts every note), a group switched off and a stop take back what is
// queued, a loop waits for it, and at the sound generator no note sounds
// twice, none hangs (a note is ended by its own note off, not only by the
// end's all notes off) and none is lost but the drums switched off.
TEST_F(KernelSequencer, WhatASongQueuedIsTakenBackNeverHangsNorDoublesANote)
{
    connectOutput("vtn-probe");
    CMidiSequence song;
    song.ticksPerBeat = 480;
    song.tempo = 120;
    constexpr int kNotes = 600;
    for (int i = 0; i < kNotes; ++i) { // every 3 ticks (3 ms) a note of 5 ticks; every third a drum
        const int channel = i % 3 == 2 ? 9 : i % 3, pitch = 40 + i % 40;
        song.insertEvent(song.findAfter(3 * i, 0), 3 * i, noteOnStatus(channel), pitch, 100, {}, 0, 0);
        song.insertEvent(song.findAfter(3 * i + 5, 0), 3 * i + 5, noteOffStatus(channel), pitch, 0, {}, 0, 0);
    }
    engine->set(engine->play.inputMode, kLiveMode);
    engine->set(engine->songState.playMode, 1);
    std::vector<ProbeEvent> got;
    auto pumpFor = [&](int64_t ms) {
        ProbeEvent e;
        const int64_t end = probeNowUs() + ms * 1000;
        for (int64_t now; (now = probeNowUs()) < end;)
            if (probe.receive(e, static_cast<int>((end - now) / 1000) + 1)) got.push_back(e);
    };
    // Note ons heard, {tonal, drums}. A cut ends every note by all notes off;
    // the end's (after the last note on) does not count.
    auto eachNoteOnce = [&] {
        size_t lastOn = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i].type == SND_SEQ_EVENT_NOTEON && got[i].b > 0) lastOn = i;
        std::set<std::pair<int, int>> on;
        int tonal = 0, drums = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            const ProbeEvent& e = got[i];
            if (e.type == SND_SEQ_EVENT_CONTROLLER && e.a == kCtlAllNotesOff && i < lastOn)
                std::erase_if(on, [&](const auto& s) { return s.first == e.channel; });
            if (e.type != SND_SEQ_EVENT_NOTEON && e.type != SND_SEQ_EVENT_NOTEOFF) continue;
            if (e.type == SND_SEQ_EVENT_NOTEON && e.b > 0) {
                EXPECT_TRUE(on.insert({e.channel, e.a}).second) << "sounds twice: " << e.text();
                ++(e.channel == 9 ? drums : tonal);
            } else {
                on.erase({e.channel, e.a});
            }
        }
        for (const auto& [channel, pitch] : on) ADD_FAILURE() << "hangs: channel " << channel << " pitch " << pitch;
        got.clear();
        return std::make_pair(tonal, drums);
    };

    ASSERT_EQ(engine->startSongPlayer(&song, 0, 0, 0, 0, 0), 0);
    pumpFor(300);
    engine->togglePause();
    pumpFor(200);
    engine->togglePause();
    pumpFor(400);
    engine->changeTransposition(2, true);
    pumpFor(400);
    engine->set(engine->mixer.drumsOff, 1);
    engine->wakePlayer();
    while (engine->isPlaying()) pumpFor(50);
    pumpFor(300);
    const auto [tonal, drums] = eachNoteOnce();
    EXPECT_EQ(tonal, kNotes * 2 / 3);
    EXPECT_GT(drums, 0);
    EXPECT_LT(drums, kNotes / 3);
    engine->setTransposition(0);
    engine->set(engine->mixer.drumsOff, 0);

    // The song's one bar looped (its end waits for what is queued), then
    // stopped while notes are queued.
    ASSERT_EQ(engine->startSongPlayer(&song, 1, 1, 1, 0, 0), 0);
    pumpFor(2600);
    engine->requestStop();
    while (engine->isPlaying()) pumpFor(50);
    pumpFor(300);
    const auto [looped, loopedDrums] = eachNoteOnce();
    EXPECT_GT(looped, kNotes * 2 / 3);
    EXPECT_LT(looped, kNotes * 4 / 3);
    engine->setTransposition(0);
}
