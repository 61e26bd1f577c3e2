// The port against the real kernel sequencer, with a test client of our own
// as keyboard and sound generator. Skipped where there is no sequencer; the
// kernel test run boots a machine that has one, and fails when these skip.
// What the arranger binary does with a real keyboard (pass-through outside
// live mode, the console's midiin and midiout) is checked by that run itself.
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"

#include "SeqProbe.h"
#include "player/PlayerFixture.h"
#include "sequence/CStyle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <set>
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
        engine->init(1);
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

    SeqProbe probe;
    std::unique_ptr<CKvSeq> engine;
};

TEST_F(KernelSequencer, ClientAndPortCarryTheirNamesAndCapabilities)
{
    ProbePort vtn;
    ASSERT_TRUE(probe.findPort("VTN Veltrona MIDI Port", vtn));
    EXPECT_EQ(vtn.clientName, "VTN");
    EXPECT_EQ(vtn.portName, "Veltrona MIDI Port");
    EXPECT_EQ(vtn.port, 0);
    EXPECT_EQ(vtn.capability & 0x63u, 0x63u);
    EXPECT_TRUE(vtn.type & SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    EXPECT_EQ(vtn.client, engine->port->clientId);
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
    engine->set(engine->inputSuspended, 1);
    ProbeEvent e;
    SeqProbe::parse("noteon 0 60 100", e);
    probe.send(e);
    EXPECT_FALSE(probe.receive(e, 300));
    engine->set(engine->inputSuspended, 0);
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
    EXPECT_EQ(after[0], "noteoff 0 60 0");
    EXPECT_EQ(after[1], "control 0 123 0");
    EXPECT_EQ(after[48], "pitchbend 15 0");
}

// Live mode with a style, in real time: a chord played on the keyboard starts
// the accompaniment, whose notes reach the sound generator through the
// kernel; a new chord moves them; shutting down leaves nothing sounding.
TEST_F(KernelSequencer, ChordsPlayedLiveDriveTheStyleAndShutdownSilencesIt)
{
    connectInput("vtn-probe out");
    connectOutput("vtn-probe");
    const playertest::Bytes style = playertest::fixtureStyle(240); // a bar a second
    ASSERT_GE(engine->loadStyle(-2, style.data(), static_cast<int>(style.size()), "Styles/Fixture.sty"), 0);
    int mainA = -1;
    for (int p = 0; p < engine->currentStyle()->partCount(); ++p)
        if (engine->currentStyle()->parts[static_cast<size_t>(p)].name == "Main A") mainA = p;
    ASSERT_GE(mainA, 0);
    engine->selectPart(mainA);
    engine->set(engine->styleBankSelect, 1);
    engine->setTempo(240);
    engine->set(engine->inputMode, kLiveMode);

    std::set<std::pair<int, int>> sounding; // (channel, pitch) of note ons not yet ended
    auto track = [&](const ProbeEvent& e) {
        if (e.type == SND_SEQ_EVENT_NOTEON && e.b > 0) sounding.insert({e.channel, e.a});
        else if (e.type == SND_SEQ_EVENT_NOTEON || e.type == SND_SEQ_EVENT_NOTEOFF) sounding.erase({e.channel, e.a});
        else if (e.type == SND_SEQ_EVENT_CONTROLLER && e.a == 123)
            std::erase_if(sounding, [&](const auto& s) { return s.first == e.channel; });
    };
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
    for (const auto& [channel, pitch] : sounding) ADD_FAILURE() << "still sounding: channel " << channel << " pitch " << pitch;
}

} // namespace
