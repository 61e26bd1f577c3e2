// The port against the real kernel sequencer, with a test client of our own
// as keyboard and sound generator. Skipped where there is no sequencer; the
// kernel test run boots a machine that has one, and fails when these skip.
// What the arranger binary does with a real keyboard (pass-through outside
// live mode, the console's midiin and midiout) is checked by that run itself.
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"

#include "SeqProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
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

} // namespace
