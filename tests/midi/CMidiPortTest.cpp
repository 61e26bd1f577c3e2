// What leaves the port: routing, clamping, the event table, SysEx texts and
// the connection rules, seen through the port's capture with a fixed port list.
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr unsigned kReadable = 0x20 | 0x01;
constexpr unsigned kWritable = 0x40 | 0x02;

std::vector<SeqPortInfo> somePorts()
{
    return {
        {14, 0, "Midi Through", "Midi Through Port-0", kReadable | kWritable},
        {20, 0, "USB Keyboard", "USB Keyboard MIDI 1", kReadable},
        {128, 0, "FLUID Synth (123)", "Synth input port (123:0)", kWritable},
        {129, 0, "Other Synth", "Synth Port", kWritable},
    };
}

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.simulatePorts(somePorts());
        port.capture.enable(true);
    }
    // Connects the output to the port named `name` and forgets what was printed.
    void connectTo(const std::string& name)
    {
        engine.midiOutName = name;
        ::testing::internal::CaptureStdout();
        port.connectOutput();
        ::testing::internal::GetCapturedStdout();
        port.capture.clear();
    }
    CKvSeq engine;
    CMidiPort port{&engine};
};

TEST_F(PortTest, NothingLeavesBeforeAnOutputIsConnected)
{
    port.send(0x90, 60, 100);
    port.sendSysExText("F0 7E 7F 09 01 F7");
    EXPECT_EQ(port.capture.size(), 0u);
}

TEST_F(PortTest, OutputConnectionLastMatchWinsAndAllChannelsShareOneEntry)
{
    engine.midiOutName = "synth";
    ::testing::internal::CaptureStdout();
    port.connectOutput();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Midi Out: FLUID Synth (123) Synth input port (123:0)\n"
                       "Midi Out: Other Synth Synth Port\n");
    ASSERT_EQ(port.outputs.size(), 1u);
    EXPECT_EQ(port.outputs[0].kind, 4); // the third writable port
    EXPECT_EQ(port.outputs[0].name, "Synth Port");
    for (int c = 0; c < 16; ++c) {
        EXPECT_EQ(port.channelRoutes[c].portNumber, 4);
        EXPECT_EQ(port.channelRoutes[c].connection, 0);
    }
    port.send(0x95, 60, 100);
    const auto sent = port.capture.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].client, 129);
}

TEST_F(PortTest, OutputWithoutMatchTakesTheLastWritablePort)
{
    engine.midiOutName = "nothing like it";
    ::testing::internal::CaptureStdout();
    port.connectOutput();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Midi Out: Other Synth Synth Port\n");
    EXPECT_EQ(port.outputs[0].client, 129);
}

TEST_F(PortTest, NoWritablePortSendsNothingAnywhere)
{
    port.simulatePorts({{20, 0, "USB Keyboard", "USB Keyboard MIDI 1", kReadable}});
    ::testing::internal::CaptureStdout();
    port.connectOutput();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Midi Out: \n");
    ASSERT_EQ(port.outputs.size(), 1u);
    EXPECT_EQ(port.outputs[0].kind, 1);
    EXPECT_EQ(port.outputs[0].name, "kvSynth");
    port.send(0x90, 60, 100);
    EXPECT_EQ(port.capture.size(), 0u);
}

TEST_F(PortTest, OutputPortNumbering)
{
    int n = 0;
    std::string name;
    port.outputPortName(n, name);
    EXPECT_EQ(name, "None");
    n = 1;
    port.outputPortName(n, name);
    EXPECT_EQ(name, "kvSynth");
    n = 2;
    port.outputPortName(n, name);
    EXPECT_EQ(name, "Midi Through Port-0");
    n = 4;
    port.outputPortName(n, name);
    EXPECT_EQ(name, "Synth Port");
    n = 5;
    port.outputPortName(n, name);
    EXPECT_EQ(n, -1);
}

TEST_F(PortTest, InputConnectsEveryMatchOrTheLastReadablePort)
{
    engine.midiInName = "";
    ::testing::internal::CaptureStdout();
    port.connectInput(0, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Midi In: Midi Through Midi Through Port-0\nMidi In: USB Keyboard USB Keyboard MIDI 1\n");
    EXPECT_EQ(port.inputSlotConnected[1], 1);
    EXPECT_EQ(port.inputSlotClient[1], 20);

    CMidiPort other(&engine);
    other.simulatePorts(somePorts());
    engine.midiInName = "no such keyboard";
    ::testing::internal::CaptureStdout();
    other.connectInput(0, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Midi In: USB Keyboard USB Keyboard MIDI 1\n");

    CMidiPort third(&engine);
    third.simulatePorts(somePorts());
    ::testing::internal::CaptureStdout();
    third.connectInput(5, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(third.inputSlotConnected[0], 0);
}

struct SendCase {
    int status, d1, d2;
    int wantStatus, wantD1, wantD2, wantValue;
};

class PortSendTest : public PortTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(PortSendTest, ClampsAndConvertsEachMessage)
{
    connectTo("synth");
    const SendCase& c = GetParam();
    port.send(c.status, c.d1, c.d2);
    const auto sent = port.capture.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].status, c.wantStatus);
    EXPECT_EQ(sent[0].d1, c.wantD1);
    EXPECT_EQ(sent[0].d2, c.wantD2);
    EXPECT_EQ(sent[0].value, c.wantValue);
}

INSTANTIATE_TEST_SUITE_P(Messages, PortSendTest,
                         ::testing::Values(SendCase{0x93, 200, -5, 0x93, 127, 0, 0},
                                           SendCase{0x90, 60, 0, 0x90, 60, 0, 0},
                                           SendCase{0x81, 60, 64, 0x81, 60, 64, 64},
                                           SendCase{0xB2, 7, 300, 0xB2, 7, 127, 127},
                                           SendCase{0xC4, 12, 99, 0xC4, 12, 99, 12},
                                           SendCase{0xD0, 70, 0, 0xD0, 70, 0, 70},
                                           SendCase{0xE0, 0, 64, 0xE0, 0, 64, 0},
                                           SendCase{0xE5, 127, 127, 0xE5, 127, 127, 8191},
                                           SendCase{0xE0, 0, 0, 0xE0, 0, 0, -8192}));

TEST_F(PortTest, SystemStatusesAreDropped)
{
    connectTo("synth");
    for (int status : {0xF0, 0xF1, 0xF8, 0xFF, 0x7F, -1, 81})
        port.send(status, 1, 2);
    EXPECT_EQ(port.capture.size(), 0u);
}

TEST_F(PortTest, AllNotesOffEndsRememberedNotesFirstThenSilencesEveryChannel)
{
    connectTo("synth");
    port.allNotesOff();
    auto sent = port.capture.take();
    ASSERT_EQ(sent.size(), 48u);
    for (int c = 0; c < 16; ++c) {
        EXPECT_EQ(sent[3 * c].status, 0xB0 + c);
        EXPECT_EQ(sent[3 * c].d1, 123);
        EXPECT_EQ(sent[3 * c + 1].d1, 120);
        EXPECT_EQ(sent[3 * c + 2].status, 0xE0 + c);
        EXPECT_EQ(sent[3 * c + 2].value, 0);
    }

    port.sendTracked(0x90, 60, 100);
    port.sendTracked(0x93, 64, 90);
    port.capture.clear();
    port.allNotesOff();
    sent = port.capture.take();
    ASSERT_EQ(sent.size(), 50u);
    EXPECT_EQ(sent[0].status, 0x83); // the last started ends first
    EXPECT_EQ(sent[0].d1, 64);
    EXPECT_EQ(sent[1].status, 0x80);
    EXPECT_EQ(sent[1].d2, 0);
    EXPECT_EQ(port.soundingCount(), 0);
}

TEST_F(PortTest, SysExTextSendsItsBytes)
{
    connectTo("synth");
    port.sendSysExText("  F0 43 10 4C 00 00 7E 00 F7 ");
    port.sendSysExText("f0 7e 7f 09 01 f7");
    const auto sent = port.capture.messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].sysex, std::string("\xF0\x43\x10\x4C\x00\x00\x7E\x00\xF7", 9));
    EXPECT_EQ(sent[1].sysex, std::string("\xF0\x7E\x7F\x09\x01\xF7", 6));
}

TEST_F(PortTest, DamagedOrOverlongSysExIsNotSent)
{
    connectTo("synth");
    port.sendSysExText("");
    port.sendSysExText("F0 4");           // half a pair at the end
    port.sendSysExText("F0 XY F7");       // not hex
    std::string huge = "F0";
    while (huge.size() <= 1500) huge += " 00";
    port.sendSysExText(huge);
    EXPECT_EQ(port.capture.size(), 0u);
}

TEST_F(PortTest, MidiTextPlaysMessagesRunningStatusStyle)
{
    connectTo("synth");
    port.sendMidiText("90 3c 64 80 3c 00");
    port.sendMidiText("b0 07 64 c0 05");
    port.sendMidiText("f0 7e 7f 09 01 f7");
    port.sendMidiText("c0 05 f0 41 f7 b1 0a 40");
    const auto sent = port.capture.messages();
    ASSERT_EQ(sent.size(), 8u);
    EXPECT_EQ(sent[0].status, 0x90);
    EXPECT_EQ(sent[0].d1, 0x3C);
    EXPECT_EQ(sent[0].d2, 0x64);
    EXPECT_EQ(sent[1].status, 0x80);
    EXPECT_EQ(sent[2].status, 0xB0);
    EXPECT_EQ(sent[2].d2, 100);
    EXPECT_EQ(sent[3].status, 0xC0);
    EXPECT_EQ(sent[3].d1, 5);
    EXPECT_EQ(sent[4].sysex.size(), 6u);
    EXPECT_EQ(sent[5].status, 0xC0); // flushed by the F0 that follows it
    EXPECT_EQ(sent[6].sysex, std::string("\xF0\x41\xF7", 3));
    EXPECT_EQ(sent[7].status, 0xB1);
    EXPECT_EQ(sent[7].d2, 0x40);
}

TEST_F(PortTest, ReconnectingWhileAnotherThreadSendsIsSafe)
{
    connectTo("synth");
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) port.send(0x90, 60, 1);
    });
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 200; ++i) port.connectOutput();
    ::testing::internal::GetCapturedStdout();
    stop = true;
    sender.join();
    for (const auto& m : port.capture.messages()) EXPECT_EQ(m.client, 129);
}

TEST(PortWithoutSequencer, OpensQuietlyFailingAndStaysUsable)
{
    CKvSeq engine;
    CMidiPort port(&engine);
    ::testing::internal::CaptureStdout();
    port.open();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    if (!port.isOpen()) {
        EXPECT_EQ(printed.rfind("Cannot open sequencer - ", 0), 0u);
    }
    port.send(0x90, 60, 100);
    port.allNotesOff();
    port.close();
    port.close();
}

} // namespace
