// The console and config.txt, driven in-process in a working directory of
// their own; results are read from the engine and from what was printed.
#include "ArrangerTest.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"
#include "player/PlayerFixture.h"

namespace {

using ConsoleTest = ArrangerTest;

// A missing config.txt is reported by each pass; one that is no set-up (too
// large, a folder) once, and the arranger starts as without it. Lines are
// cut at 4096 characters.
TEST_F(ConsoleTest, StartUpReadsConfigTxtWholeOrNotAtAll)
{
    const std::tuple<std::string, std::string, int, size_t> cases[] = {
        {"", "Unable to open file config.txt\nUnable to open vtn.cfg\nUnable to open file config.txt\nReady\n", -1, 0},
        {"split: 60\n" + std::string(1 << 20, '#'), "config.txt not read: larger than 1048576 bytes\nUnable to open vtn.cfg\nReady\n", -1, 0},
        {"/", "config.txt not read: not a regular file\nUnable to open vtn.cfg\nReady\n", -1, 0},
        {std::string((1 << 20) - 6000, 'x') + "\nsplit: 60\n60: " + std::string(5000, 'y'), "Unable to open vtn.cfg\nReady\n", 59, 4092},
    };
    for (const auto& [config, out, split, keyText] : cases) {
        std::filesystem::remove_all("config.txt");
        if (config == "/") std::filesystem::create_directory("config.txt");
        const std::string got = start(config == "/" ? "" : config);
        EXPECT_EQ(got.substr(got.size() - std::min(got.size(), out.size())), out);
        EXPECT_EQ(std::make_pair(engine().get(engine().areas.splitKey), app->keyCommands[60].text.size()), std::make_pair(split, keyText));
    }
    EXPECT_STREQ(engine().play.currentChord.symbol, "C");
}

// One console, line after line: what each line prints, and the split key and
// recording switch it leaves. Keywords in any case; only the bare words
// "record" and "quit" count, and a blank line is an unknown command.
TEST_F(ConsoleTest, CommandLines)
{
    start();
    const char* const unknown = "Unknown command\nReady\n";
    const std::tuple<const char*, const char*, int, int> rows[] = {
        {"Split: 60", "Ready\n", 59, 0}, {"SPLIT:60", "Ready\n", 59, 0},   {"split:", "Ready\n", -1, 0},
        {"  split: 36  ", "Ready\n", 35, 0}, {"split: x", "Ready\n", -1, 0}, {"record", "Ready\n", -1, 1},
        {"RECORD", "Ready\n", -1, 0},    {"record on", unknown, -1, 0},    {"QUIT", unknown, -1, 0},
        {" quit", unknown, -1, 0},        {"", unknown, -1, 0},             {"quit", "", -1, 0}};
    for (const auto& [line, out, split, recording] : rows) {
        EXPECT_EQ(app->command(line), *out != '\0') << line;
        EXPECT_EQ(messages.take(), out) << line;
        EXPECT_EQ(std::make_pair(engine().get(engine().areas.splitKey), int(engine().get(engine().recordState.recording))),
                  std::make_pair(split, recording)) << line;
    }
    type({"midiin: USB Keyboard ", "stylefiles: /home/pi/Styles/", "MidiFiles:  My Songs/ "});
    EXPECT_EQ(engine().midiInName + "|" + app->styleFolder + "|" + app->midiFolder,
              "usb keyboard|/home/pi/Styles/|My Songs/");
    app->styleFiles = {"a.sty"};
    type({"stylefiles: other"});
    EXPECT_TRUE(app->styleFiles.empty());
}

// "status" answers with one line of what the board is set to, unless a
// preset of that name takes the word.
TEST_F(ConsoleTest, StatusLine)
{
    start("split: 55\nrecord\n");
    engine().port->simulatePorts({{20, 0, "USB Keys", "Port 1", 0x21}, {128, 0, "Synth", "Synth Port", 0x42}});
    type({"midiin: usb", "midiout: synth"});
    engine().presets[4].name = "Piano";
    engine().set(engine().play.presetIndex, 4);
    EXPECT_EQ(type({"STATUS"}), "Status: style none stopped, tempo 120, chord C, preset Piano, recording on, split 55, "
                                "in: USB Keys Port 1, out: Synth Synth Port\nReady\n");
    engine().port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}}); // the keyboard unplugged
    EXPECT_NE(type({"status"}).find(", in: none, out: Synth Synth Port\n"), std::string::npos);
    engine().presets[5].name = "Status";
    EXPECT_EQ(type({"status"}), "Ready\n");
    EXPECT_EQ(engine().get(engine().play.presetIndex), 5);
}

TEST_F(ConsoleTest, Classification)
{
    start();
    for (int p = 0; p < 3; ++p) engine().presets[p].name = kFreePresetName;
    engine().presets[7].name = " Grand Piano ";
    engine().presets[8].name = "grand piano";
    const std::tuple<std::string, int, int> cases[] = {
        {"", kCommandNone, -99},      {"Rock.sty", kCommandStyle, -99},
        {"GRAND PIANO", kCommandPreset, 7}, // the first preset of that name
        {"grand.piano", kCommandStyle, -99}, // a full stop always means a style file
        {"I5", kCommandNone, 0},      {"ix", kCommandNone, 0}, // only a lower-case i builds a preset
        {"i5", kCommandPreset, 0},    {"i6v80", kCommandPreset, 1},
        {" VAR up ", kCommandFunction, 0}, {"Chordrecognition On/Off", kCommandFunction, 65},
        {std::string(5000, 'x'), kCommandNone, -99},
    };
    for (const auto& [text, kind, index] : cases) {
        int gotKind = -1, gotIndex = -99;
        app->classifyCommand(text, gotKind, gotIndex);
        EXPECT_EQ(gotKind, kind) << text.substr(0, 20);
        EXPECT_TRUE(index == -99 || gotIndex == index) << text.substr(0, 20);
    }
}

// Layers: i<program>, v<volume>, o/O octave down/up, d a layer of type 4,
// l a left-hand layer; without one a default left layer (type 5) is added.
TEST_F(ConsoleTest, MultiVoiceTexts)
{
    start();
    for (int p = 0; p < 4; ++p) engine().presets[p].name = kFreePresetName;
    const std::pair<const char*, const char*> cases[] = {
        {"i12v90i48o", "1/12/90/0 1/48/100/-1 0/0/-1/0 5/48/70/2"},
        {"i1dl33v60OO", "4/1/100/0 5/33/60/-2 0/0/-1/0 0/0/-1/0"},
        {"i200v300i1i2i3i4i5", "1/0/-1/0 1/1/100/0 1/2/100/0 1/3/100/0"}, // out-of-range numbers and a fifth layer ignored
    };
    for (int p = 0; p < 3; ++p) {
        ASSERT_EQ(app->defineMultiVoice(cases[p].first), p);
        std::string layers = engine().presets[p].name + ":"; // type/program/volume/octave of each layer
        for (const PresetLayer& l : engine().presets[p].layers)
            layers += " " + std::to_string(l.type) + "/" + std::to_string(l.program) + "/" + std::to_string(l.volume) +
                      "/" + std::to_string(l.octaveShift);
        EXPECT_EQ(layers, std::string(cases[p].first) + ": " + cases[p].second);
    }
    EXPECT_EQ(app->defineMultiVoice("i" + std::string(400, '9') + "v" + std::string(400, '9')), 3); // overlong numbers
    EXPECT_EQ(app->defineMultiVoice("i5"), -1); // no free preset left: nothing is overwritten
    EXPECT_EQ(messages.take(), "No free preset for i5\n");
    EXPECT_EQ(type({"i5"}), "No free preset for i5\nReady\n");
    for (const Preset& p : engine().presets) EXPECT_NE(p.name, "i5");
}

TEST_F(ConsoleTest, ConfigFileEntries)
{
    start("# set-up\r\nMidiIn: USB Keyboard   # the keys\r\nmidiout: Synth\nstylefiles: /home/pi/Styles/\n"
          "midifiles: MIDI files/\nSPLIT: 60\nrecord # comment\n60: Attention\n48: var up\n50: i20v100\n"
          "52: Rock.sty\n200: var up\n-1: var up\n10: i7\nRecord it\ni9\n");
    for (int p = 0; p < kPresetCount; ++p) ASSERT_NE(engine().presets[p].name, "i20v100") << "no free preset yet";
    EXPECT_EQ(engine().midiInName + "|" + engine().midiOutName + "|" + app->styleFolder + "|" + app->midiFolder,
              "usb keyboard|synth|/home/pi/Styles/|MIDI files/");
    EXPECT_EQ(std::make_tuple(engine().get(engine().areas.splitKey), engine().get(engine().recordState.recording),
                              engine().get(engine().attention.attentionTrigger), engine().get(engine().attention.attentionActive)),
              std::make_tuple(59, 1, 61, 0));
    std::string commands; // folder and port lines are no key commands; 200 and -1 are ignored
    for (int k = 0; k < 128; ++k)
        if (!app->keyCommands[k].text.empty()) commands += std::to_string(k) + ":" + app->keyCommands[k].text + ",";
    EXPECT_EQ(commands, "10:i7,48:var up,50:i20v100,52:Rock.sty,60:Attention,");
    EXPECT_EQ(app->keyCommands[52].kind, kCommandStyle);
}

TEST_F(ConsoleTest, PresetNamesKeyCommandsAndMultiVoicesSelectOrBuildPresets)
{
    start("Strings\n50: i20v100\n51: i30\n");
    engine().port->simulatePorts({{128, 0, "Synth", "Synth Port", 0x42}});
    engine().port->connectOutput(engine().midiOutName);
    engine().port->capture.enable(true);
    // Without a settings file no preset has a name or is free: name some, free
    // some and read config.txt again; its key commands build their presets once.
    engine().lock();
    for (int p = 0; p < 2; ++p) engine().presets[p].name = kFreePresetName;
    engine().presets[3].name = " strings ";
    engine().presets[3].layers[0] = {1, 0, 48, -1, -1, -1, -1, -1, -1, -1, 4};
    engine().presets[9].name = kFreePresetName;
    engine().unlock();
    std::string selected;
    for (const char* line : {"", "i12v90", "i20", "STRINGS"}) { // i12v90 builds preset 9; i20 finds no free one
        if (*line) app->command(line);
        else app->readConfigSecondPass();
        selected += std::to_string(engine().get(engine().play.presetIndex)) + ":";
        for (const CapturedMessage& m : engine().port->capture.take())
            if ((m.status & 0xF0) == 0xC0) selected += " " + std::to_string(m.status & 15) + "/" + std::to_string(m.d1);
        selected += ",";
    }
    EXPECT_EQ(selected, "3: 4/48,9: 0/12 0/48,9:,3: 4/48,"); // preset: channel/program sent
    EXPECT_EQ(std::make_tuple(app->keyCommands[50].kind, app->keyCommands[50].index, app->keyCommands[51].index),
              std::make_tuple(int(kCommandPreset), 0, 1));
    EXPECT_EQ(engine().presets[0].layers[0].program * 100 + engine().presets[1].layers[0].program, 2030);

    app->keyCommands[20] = app->keyCommands[50]; // the lowest keys never run a command
    app->runKeyCommand(20);
    EXPECT_EQ(engine().get(engine().play.presetIndex), 3);
    app->runKeyCommand(51);
    EXPECT_EQ(engine().get(engine().play.presetIndex), 1);
}

// Functions by name from the console, from key commands, and keys without a
// command of their own as buttons of the menu that load registrations.
TEST_F(ConsoleTest, FunctionsKeyCommandsAndRegistrations)
{
    start("stylefiles: Styles\n48: tempo up\n");
    type({"Tempo Up", "tempo down", "Tempo up"});
    app->runKeyCommand(48);
    EXPECT_EQ(engine().get(engine().play.tempo), 130);

    std::filesystem::create_directory("Styles");
    const playertest::Bytes style = playertest::fixtureStyle(100);
    dir.write("Styles/Fix.sty", std::string(style.begin(), style.end()));
    CLiveInput& in = *engine().liveInput;
    for (const char* file : {"Styles/Fix.sty", "Styles/Gone.sty"}) {
        StyleEntry entry;
        entry.fileName = file;
        entry.partName = "Main B";
        entry.values[kValueAccompVolume] = 70;
        in.styleEntries.push_back(entry);
    }
    for (int k : {0, 1}) {
        in.triggerSets[0].entries[20 + k].type = kEntryStyle;
        in.triggerSets[0].entries[20 + k].values[0] = k;
    }
    app->runKeyCommand(56); // menu key 20: the registration with Fix.sty
    EXPECT_EQ(std::make_tuple(engine().currentPartName(), engine().get(engine().mixer.accompVolume),
                              engine().get(engine().play.tempo), engine().get(engine().play.activePreset)),
              std::make_tuple(std::string("Main B"), 70, 100, -1));
    app->runKeyCommand(57); // its style is missing: nothing waits for the next style
    EXPECT_EQ(messages.take(), "Style not found\n");
    EXPECT_EQ(engine().get(engine().play.activePreset), -1);
}

} // namespace
