// What leaves the port: routing, clamping, the event table, SysEx texts and
// the connection rules, seen through the port's capture with a fixed port list.
#include "base/CClock.h"
#include "base/MessageSink.h"
#include "midi/CMidiPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <tuple>

namespace {

constexpr unsigned kReadable = 0x20 | 0x01;
constexpr unsigned kWritable = 0x40 | 0x02;

const std::vector<SeqPortInfo> kPorts = {
    {14, 0, "Midi Through", "Midi Through Port-0", kReadable | kWritable},
    {20, 0, "USB Keyboard", "USB Keyboard MIDI 1", kReadable},
    {128, 0, "FLUID Synth (123)", "Synth input port (123:0)", kWritable},
    {129, 0, "Other Synth", "Synth Port", kWritable},
};

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.simulatePorts(kPorts);
        port.capture.enable(true);
    }
    // Connects the output to the port named `name`; returns what was printed.
    std::string connectTo(const std::string& name)
    {
        ::testing::internal::CaptureStdout();
        port.connectOutput(name);
        port.capture.clear();
        return ::testing::internal::GetCapturedStdout();
    }
    std::vector<std::string> sent()
    {
        std::vector<std::string> out;
        // With the sequencer's value: pitch bends and programs carry theirs there.
        for (const CapturedMessage& m : port.capture.take())
            out.push_back(m.text() + (m.sysex.empty() ? " =" + std::to_string(m.value) : ""));
        return out;
    }
    CMidiPort port;
};

using Texts = std::vector<std::string>;

// The last port whose full name contains the text wins (every match is
// printed); without a match the last writable port; with none, no output.
TEST_F(PortTest, OutputConnectionRulesAndNumbering)
{
    port.send(0x90, 60, 100);
    port.sendSysExText("F0 7E 7F 09 01 F7");
    EXPECT_TRUE(sent().empty()) << "nothing leaves before an output is connected";
    EXPECT_EQ(connectTo("synth"),
              "Midi Out: FLUID Synth (123) Synth input port (123:0)\nMidi Out: Other Synth Synth Port\n");
    ASSERT_EQ(port.outputs.size(), 1u);
    EXPECT_EQ(port.outputs[0].kind * 1000 + port.outputs[0].client, 4129); // the third writable port
    for (const ChannelRoute& r : port.channelRoutes) EXPECT_EQ(r.portNumber * 10 + r.connection, 40);
    port.send(0x95, 60, 100);
    ASSERT_EQ(port.capture.size(), 1u);
    EXPECT_EQ(port.capture.messages()[0].client, 129);
    std::string names; // output port numbers: none, the own synth, then the writable ports
    for (int n : {0, 1, 2, 4, 5}) {
        std::string name = "?";
        port.outputPortName(n, name);
        names += (n < 0 ? "-1" : name) + ",";
    }
    EXPECT_EQ(names, "None,kvSynth,Midi Through Port-0,Synth Port,-1,");
    EXPECT_EQ(connectTo("nothing like it"), "Midi Out: Other Synth Synth Port\n");
    EXPECT_EQ(port.outputs[0].client, 129);
    port.simulatePorts({kPorts[1]});
    EXPECT_EQ(connectTo("synth"), "Midi Out: \n");
    ASSERT_EQ(port.outputs.size(), 1u);
    EXPECT_EQ(port.outputs[0].kind, 1);
    EXPECT_EQ(port.outputs[0].name, "kvSynth");
    port.send(0x90, 60, 100);
    EXPECT_EQ(port.capture.size(), 0u);
}

// An empty name connects every keyboard port (Midi Through is none), a name
// without a match the last keyboard port; input index 5 does nothing.
TEST_F(PortTest, InputConnections)
{
    const std::tuple<const char*, int, const char*, const char*> cases[] = {
        {"", 0, "Midi In: USB Keyboard USB Keyboard MIDI 1\n", "- 20 - "},
        {"no such keyboard", 0, "Midi In: USB Keyboard USB Keyboard MIDI 1\n", "- 20 - "},
        {"", 5, "", "- - - "},
    };
    for (const auto& [name, index, printed, want] : cases) {
        CMidiPort p;
        p.simulatePorts(kPorts);
        vtn::CMessageCapture messages;
        p.connectInput(index, 1, name);
        EXPECT_EQ(messages.take(), printed);
        std::string slots; // clients of the connected input slots
        for (int i = 0; i < 3; ++i) slots += p.inputSlotConnected[i] ? std::to_string(p.inputSlotClient[i]) + " " : "- ";
        EXPECT_EQ(slots, want) << name;
    }
}

// The empty text's inputs follow the output: a port that becomes the output
// is let go as input, before it can echo the accompaniment back.
TEST_F(PortTest, AnOutputChangeLetsGoOfTheNewOutputAsInput)
{
    const SeqPortInfo echo{24, 0, "Virtual Raw MIDI 1-0", "VirMIDI 1-0", kReadable | kWritable};
    port.simulatePorts({kPorts[1], echo, kPorts[2]});
    vtn::CMessageCapture quiet;
    port.connectOutput("synth");
    port.connectInput(0, 1, "");
    EXPECT_EQ(port.connectedInputNames(), "USB Keyboard USB Keyboard MIDI 1, Virtual Raw MIDI 1-0 VirMIDI 1-0");
    port.connectOutput("virmidi");
    EXPECT_EQ(port.connectedInputNames(), "USB Keyboard USB Keyboard MIDI 1");
}

TEST_F(PortTest, SendClampsAndConvertsEachMessageAndDropsSystemStatuses)
{
    connectTo("synth");
    const int messages[][3] = {{0x93, 200, -5}, {0x90, 60, 0}, {0x81, 60, 64}, {0xB2, 7, 300}, {0xC4, 12, 99},
                               {0xD0, 70, 0},   {0xE0, 0, 64}, {0xE5, 127, 127}, {0xE0, 0, 0}};
    for (const auto& m : messages) port.send(m[0], m[1], m[2]);
    for (int status : {0xF0, 0xF1, 0xF8, 0xFF, 0x7F, -1, 81}) port.send(status, 1, 2);
    EXPECT_EQ(sent(), (Texts{"-3:127/0 =0", "-0:60/0 =0", "-1:60/64 =64", "B2 7 127 =127",
                             "C4 12 99 =12", "D0 70 0 =70", "E0 0 64 =0", "E5 127 127 =8191",
                             "E0 0 0 =-8192"}));
}

TEST_F(PortTest, AllNotesOffEndsRememberedNotesFirstThenSilencesEveryChannel)
{
    connectTo("synth");
    Texts silence;
    for (int c = 0; c < 16; ++c)
        for (const char* f : {"B%X 123 0 =0", "B%X 120 0 =0", "E%X 0 64 =0"}) {
            char b[24];
            std::snprintf(b, sizeof b, f, c);
            silence.push_back(b);
        }
    port.allNotesOff();
    EXPECT_EQ(sent(), silence);
    port.sendTracked(0x90, 60, 100);
    port.sendTracked(0x93, 64, 90);
    sent();
    port.allNotesOff();
    silence.insert(silence.begin(), {"-3:64/0 =0", "-0:60/0 =0"}); // the last started ends first
    EXPECT_EQ(sent(), silence);
    EXPECT_EQ(port.soundingCount(), 0);
}

TEST_F(PortTest, SysExAndMidiTexts)
{
    connectTo("synth");
    std::string huge = "F0";
    while (huge.size() <= 1500) huge += " 00";
    // Damaged or overlong texts send nothing: empty, half a pair, not hex, too long.
    for (const std::string& t : {std::string(), std::string("F0 4"), std::string("F0 XY F7"), huge}) port.sendSysExText(t);
    port.sendSysExText("  F0 43 10 4C 00 00 7E 00 F7 ");
    port.sendSysExText("f0 7e 7f 09 01 f7");
    EXPECT_EQ(sent(), (Texts{"F0 43 10 4C 00 00 7E 00 F7", "F0 7E 7F 09 01 F7"}));
    // MIDI texts run status by status; a message is sent when the next status begins.
    for (const char* t : {"90 3c 64 80 3c 00", "b0 07 64 c0 05", "f0 7e 7f 09 01 f7", "c0 05 f0 41 f7 b1 0a 40"})
        port.sendMidiText(t);
    EXPECT_EQ(sent(), (Texts{"+0:60/100 =100", "-0:60/0 =0", "B0 7 100 =100", "C0 5 0 =5",
                             "F0 7E 7F 09 01 F7", "C0 5 0 =5", "F0 41 F7", "B1 10 64 =64"}));
}

TEST_F(PortTest, ReconnectingWhileAnotherThreadSendsIsSafe)
{
    connectTo("synth");
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) port.send(0x90, 60, 1);
    });
    {
        vtn::CMessageCapture quiet;
        for (int i = 0; i < 200; ++i) port.connectOutput("synth");
    }
    stop = true;
    sender.join();
    for (const auto& m : port.capture.messages()) EXPECT_EQ(m.client, 129);
}

// A take-back by one thread (a cut of every note) withdraws what another
// queued after it too, until that one has looked: it plays again all that was
// taken back, and a message sent on would sound twice.
TEST_F(PortTest, WhatIsQueuedAfterATakeBackWaitsForItsOwnerToLook)
{
    CClock clock;
    clock.setManual(1'000'000);
    port.setClock(&clock);
    connectTo("synth");
    ASSERT_TRUE(port.startQueue());
    port.send(0x90, 60, 100, 1'005'000);
    port.send(0x80, 60, 0, 1'010'000);
    port.takeBack(1'008'000);
    port.send(0x90, 62, 100, 1'012'000); // queued by its owner, which has not looked yet
    clock.advanceMs(20);
    EXPECT_EQ(sent(), Texts{"+0:60/100 =100"});
    EXPECT_EQ(port.takenBackFrom(), 1'008'000);
    EXPECT_EQ(port.takenBackFrom(), -1);
    port.send(0x80, 60, 0, 1'025'000);
    clock.advanceMs(10);
    EXPECT_EQ(sent(), Texts{"-0:60/0 =0"});
    port.stopQueue();
}

// Hot-plug, step by step: what each announcement connects, prints, releases
// through the input hook and whether the output's return hook runs.
TEST(PortHotPlug, ConnectsReturningPortsOnceAndLetsGoOfWhatWasLost)
{
    const SeqPortInfo unnamed{130, 0, "Client-130", "port", kWritable};
    const SeqPortInfo fluid{130, 0, "FLUID Synth (456)", "Synth input port (456:0)", kWritable};
    const std::vector<SeqPortInfo> noSynth = {kPorts[0], kPorts[1], kPorts[3]};
    const std::vector<SeqPortInfo> renamed = {kPorts[0], kPorts[1], kPorts[3], unnamed};
    const std::vector<SeqPortInfo> back = {kPorts[0], kPorts[1], kPorts[3], fluid};
    const std::vector<SeqPortInfo> second = {kPorts[0], kPorts[1], fluid, kPorts[2]};
    CMidiPort p;
    struct Context {
        CMidiPort* port = nullptr;
        std::string delivered;
        int returns = 0;
        size_t passedWhileHeld = 0; // messages of the hook's thread, then of another
    } seen;
    seen.port = &p;
    p.setHooks(
        [](void* c, int s, int d1, int d2) {
            static_cast<Context*>(c)->delivered += std::to_string(s) + " " + std::to_string(d1) + " " + std::to_string(d2) + ",";
        },
        nullptr, &seen);
    // While the returning synth is set up, only the hook's thread reaches it.
    p.setOutputReturnHook([](void* c) {
        auto* s = static_cast<Context*>(c);
        ++s->returns;
        s->port->send(0x90, 1, 1);
        std::thread([s] { s->port->send(0x90, 2, 2); }).join();
        s->passedWhileHeld = s->port->capture.size();
    });
    p.simulatePorts(kPorts);
    p.capture.enable(true);
    vtn::CMessageCapture messages;
    p.connectInput(0, 1, "usb keyboard");
    p.connectOutput("fluid");
    messages.take();
    // Held on the USB keyboard (20:0): key 60 and the pedal, 61 let go again; 70 on another source.
    const int played[][5] = {
        {20, 0, 0x90, 60, 100}, {20, 0, 0x91, 61, 90}, {20, 0, 0x91, 61, 0}, {20, 0, 0xB0, 64, 127}, {21, 0, 0x90, 70, 100}};
    for (const auto& m : played) p.receiveInput(m[0], m[1], m[2], m[3], m[4]);
    p.sendTracked(0x90, 72, 100);
    seen.delivered.clear();

    using A = SeqAnnouncement;
    struct Step {
        A what;
        int client, port;
        const std::vector<SeqPortInfo>* ports;
        const char* printed;
        const char* delivered;
        int returns, outputClient;
    };
    const Step steps[] = {
        {A::PortExit, 20, 0, &kPorts, "", "128 60 0,176 64 0,", 0, 128},  // the keyboard leaves: its held key and pedal let go
        {A::PortStart, 20, 0, &kPorts, "Midi In: USB Keyboard USB Keyboard MIDI 1\n", "", 0, 128},
        {A::PortChange, 20, 0, &kPorts, "", "", 0, 128},                  // connected once only
        {A::PortStart, 14, 0, &kPorts, "", "", 0, 128},                   // does not match
        {A::ClientExit, 20, 0, &kPorts, "", "", 0, 128},                  // nothing held any more
        {A::ClientExit, 128, 0, &noSynth, "", "", 0, -1},                 // the synth leaves
        {A::PortStart, 130, 0, &renamed, "", "", 0, -1},                  // back, still unnamed
        {A::ClientChange, 130, 0, &back, "Midi Out: FLUID Synth (456) Synth input port (456:0)\n", "", 1, 130},
        {A::PortStart, 128, 0, &second, "", "", 1, 130},                  // a second match does not take over
        {A::ClientExit, 0, 0, &second, "", "", 1, 130},                   // the system client is never ours to lose
    };
    for (const Step& s : steps) {
        p.simulatePorts(*s.ports);
        p.announce(s.what, s.client, s.port);
        const std::string at = std::to_string(static_cast<int>(s.what)) + " " + std::to_string(s.client);
        EXPECT_EQ(messages.take(), s.printed) << at;
        EXPECT_EQ(seen.delivered, s.delivered) << at;
        seen.delivered.clear();
        EXPECT_EQ(seen.returns, s.returns) << at;
        p.capture.clear();
        p.send(0x90, 64, 1);
        const auto out = p.capture.take();
        EXPECT_EQ(out.empty() ? -1 : out[0].client, s.outputClient) << at;
        if (s.returns && s.what == A::ClientChange) {
            EXPECT_EQ(seen.passedWhileHeld, 1u);
        }
        if (s.outputClient < 0) {
            EXPECT_EQ(p.soundingCount(), 0) << "the lost synth's notes are forgotten, not ended";
        }
    }
}

} // namespace
