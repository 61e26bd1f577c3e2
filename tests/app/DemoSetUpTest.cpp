// The demo set-up as `make run` builds it: what the arranger prints and what
// it sends to the sound generator while it starts, in order.
#include "midi/CMidiPort.h"
#include "ArrangerTest.h"

#include <filesystem>

namespace {

using DemoSetUp = ArrangerTest;

TEST_F(DemoSetUp, StartsWithItsStyleSetUpChannelDefaultsAndPresetInOrderAndSendsThemAgainToAReturningSynth)
{
    // demo/ built into the working directory as the Makefile does.
    const std::string demo = std::string(VTN_SOURCE_DIR) + "/demo/";
    std::filesystem::copy_file(demo + "config.txt", dir.file("config.txt"));
    std::filesystem::create_directory(dir.file("Styles"));
    ASSERT_EQ(testsupport::runTool({"settings-write", demo + "settings.json", dir.file("vtn.cfg")}).status, 0);
    for (const char* style : {"DemoPop", "DemoWaltz"}) {
        const auto run = testsupport::runTool({"style-write", demo + "style-sources/" + style + ".json",
                                               dir.file(std::string("Styles/") + style + ".sty")});
        ASSERT_EQ(run.status, 0) << run.err;
    }
    app = std::make_unique<CApplication>();
    app->createEngine();
    engine().port->simulatePorts({{20, 0, "USB Keys", "USB Keys MIDI 1", 0x21}, {128, 0, "FLUID Synth (synth)", "Synth input port (synth:0)", 0x42}});
    engine().port->capture.enable(true);
    app->configure();
    std::string printed = messages.take();
    if (printed.rfind("Cannot open sequencer", 0) == 0) printed.erase(0, printed.find('\n') + 1); // no kernel sequencer here
    EXPECT_EQ(printed, "Midi Out: FLUID Synth (synth) Synth input port (synth:0)\n"
                       "Midi In: USB Keys USB Keys MIDI 1\n"
                       "Remote display: control socket veltrona.sock\n"
                       "Ready\n");
    std::string sent;
    for (const CapturedMessage& m : engine().port->capture.take()) sent += m.text() + "\n";
    // The style's set-up (its channels reset, each instrument's program and
    // mixer), the channel defaults, then the preset: bank, program and
    // controllers of its right-hand and left-hand layers, and their volumes.
    const std::string preset = "B0 0 0\nB0 32 0\nC0 0 0\nB0 1 0\nB0 7 100\nB0 10 64\nB0 91 40\nB0 93 0\n"
                               "B3 0 0\nB3 32 0\nC3 48 0\nB3 1 0\nB3 7 70\nB3 10 64\nB3 91 55\nB3 93 0\nB0 7 100\nB3 7 70\n";
    ASSERT_GT(sent.size(), preset.size());
    EXPECT_EQ(sent.substr(sent.size() - preset.size()), preset);
    EXPECT_EQ(sent.rfind("B9 121 0\nBA 121 0\nBB 121 0\nBC 121 0\nBD 121 0\nBE 121 0\nCA 33 0\nBA 7 104\n", 0), 0u) << sent;
    EXPECT_LT(sent.find("CE 48 0\n"), sent.find("E9 0 64\nB9 127 0\n")) << sent;
    EXPECT_EQ(engine().get(engine().play.inputMode), kLiveMode);
    EXPECT_EQ(engine().get(engine().areas.highestChordKey), 59);
    EXPECT_EQ(engine().styleName, "Styles/DemoPop.sty");

    // Unplugged with a melody key held, the keyboard leaves nothing sounding.
    CMidiPort& port = *engine().port;
    port.receiveInput(20, 0, 0x90, 72, 100);
    ASSERT_GT(port.soundingCount(), 0);
    port.announce(SeqAnnouncement::ClientExit, 20, 0);
    EXPECT_EQ(port.soundingCount(), 0);
    // The synth goes with a key held on another keyboard, and comes back
    // under another client number: the first it hears is the style's set-up
    // and the preset, as start-up last sent them.
    port.receiveInput(21, 0, 0x90, 74, 100);
    port.capture.clear();
    port.announce(SeqAnnouncement::PortExit, 128, 0);
    EXPECT_EQ(port.soundingCount(), 0);
    port.simulatePorts(
        {{20, 0, "USB Keys", "USB Keys MIDI 1", 0x21}, {131, 0, "FLUID Synth (synth)", "Synth input port (synth:0)", 0x42}});
    port.announce(SeqAnnouncement::PortStart, 131, 0);
    EXPECT_EQ(messages.take(), "Midi Out: FLUID Synth (synth) Synth input port (synth:0)\n");
    std::string again;
    for (const CapturedMessage& m : port.capture.take())
        again += m.client == 131 ? m.text() + "\n" : "(to " + std::to_string(m.client) + ")";
    EXPECT_EQ(again.rfind("B9 121 0\n", 0), 0u) << again;
    ASSERT_LE(again.size(), sent.size()) << again;
    EXPECT_EQ(sent.substr(sent.size() - again.size()), again);
}

} // namespace
