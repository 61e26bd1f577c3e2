// The console and config.txt, driven in-process in a working directory of
// their own; results are read from the engine and from what was printed.
#include "app/CApplication.h"
#include "engine/CKvSeq.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home = here;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
    }
    void TearDown() override
    {
        ::testing::internal::CaptureStdout();
        app.reset();
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(chdir(home.c_str()), 0);
    }
    // Starts the arranger; returns what start-up printed.
    std::string start()
    {
        app = std::make_unique<CApplication>();
        ::testing::internal::CaptureStdout();
        app->startUp();
        return ::testing::internal::GetCapturedStdout();
    }
    // Carries out console lines; returns what they printed.
    std::string type(std::initializer_list<std::string> lines)
    {
        ::testing::internal::CaptureStdout();
        for (const std::string& l : lines) app->command(l);
        return ::testing::internal::GetCapturedStdout();
    }
    CKvSeq& engine() { return *app->engine; }
    void freePresets(int count)
    {
        for (int p = 0; p < count; ++p) engine().presets[p].name = kFreePresetName;
    }

    testsupport::TempDir dir;
    std::string home;
    std::unique_ptr<CApplication> app;
};

TEST_F(ConsoleTest, MissingSetUpFilesAreReportedAndTheChordIsC)
{
    const std::string out = start();
    EXPECT_NE(out.find("Unable to open file config.txt\nUnable to open vtn.cfg\nUnable to open file config.txt\nReady\n"),
              std::string::npos);
    EXPECT_STREQ(engine().currentChord.symbol, "C");
    EXPECT_EQ(engine().get(engine().inputMode), 0);
}

TEST_F(ConsoleTest, SplitCommands)
{
    start();
    const std::pair<const char*, int> cases[] = {
        {"split: 60", 59}, {"Split: 60", 59}, {"SPLIT:60", 59}, {"split:", -1}, {"  split: 36  ", 35}, {"split: x", -1},
    };
    for (auto [line, want] : cases) {
        EXPECT_EQ(type({line}), "Ready\n") << line;
        EXPECT_EQ(engine().get(engine().splitKey), want) << line;
    }
}

TEST_F(ConsoleTest, RecordTogglesAndOnlyTheBareWordCounts)
{
    start();
    type({"record"});
    EXPECT_EQ(engine().get(engine().recording), 1);
    type({"RECORD"});
    EXPECT_EQ(engine().get(engine().recording), 0);
    EXPECT_EQ(type({"record on"}), "Unknown command\nReady\n");
    EXPECT_EQ(engine().get(engine().recording), 0);
}

TEST_F(ConsoleTest, NamesAndFolders)
{
    start();
    type({"midiin: USB Keyboard ", "stylefiles: /home/pi/Styles/", "MidiFiles:  My Songs/ "});
    EXPECT_EQ(engine().midiInName, "usb keyboard");
    EXPECT_EQ(app->styleFolder, "/home/pi/Styles/");
    EXPECT_EQ(app->midiFolder, "My Songs/");
    app->styleFiles = {"a.sty"};
    type({"stylefiles: other"});
    EXPECT_TRUE(app->styleFiles.empty());
}

TEST_F(ConsoleTest, OnlyTheExactWordQuitEnds)
{
    start();
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(app->command("QUIT"));
    EXPECT_TRUE(app->command(" quit"));
    EXPECT_TRUE(app->command(""));
    EXPECT_FALSE(app->command("quit"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Unknown command\nReady\nUnknown command\nReady\nUnknown command\nReady\n");
}

TEST_F(ConsoleTest, Classification)
{
    start();
    freePresets(3);
    engine().presets[7].name = " Grand Piano ";
    engine().presets[8].name = "grand piano";
    struct Case {
        const char* text;
        int kind;
        int index;
    };
    const Case cases[] = {
        {"", kCommandNone, -99},
        {"Rock.sty", kCommandStyle, -99},
        {"GRAND PIANO", kCommandPreset, 7}, // the first preset of that name
        {"grand.piano", kCommandStyle, -99}, // a full stop always means a style file
        {"I5", kCommandNone, 0},             // only a lower-case i builds a preset
        {"ix", kCommandNone, 0},
        {"i5", kCommandPreset, 0},
        {"i6v80", kCommandPreset, 1},
    };
    for (const Case& c : cases) {
        int kind = -1, index = -99;
        app->classifyCommand(c.text, kind, index);
        EXPECT_EQ(kind, c.kind) << c.text;
        if (c.index != -99) {
            EXPECT_EQ(index, c.index) << c.text;
        }
    }
}

TEST_F(ConsoleTest, MultiVoiceTexts)
{
    start();
    freePresets(4);
    const int p = app->defineMultiVoice("i12v90i48o");
    ASSERT_EQ(p, 0);
    const Preset& a = engine().presets[0];
    EXPECT_EQ(a.name, "i12v90i48o");
    EXPECT_EQ(a.layers[0].type, 1);
    EXPECT_EQ(a.layers[0].program, 12);
    EXPECT_EQ(a.layers[0].volume, 90);
    EXPECT_EQ(a.layers[1].type, 1);
    EXPECT_EQ(a.layers[1].program, 48);
    EXPECT_EQ(a.layers[1].volume, 100);
    EXPECT_EQ(a.layers[1].octaveShift, -1);
    EXPECT_EQ(a.layers[3].type, 5); // the default left-hand layer
    EXPECT_EQ(a.layers[3].octaveShift, 2);
    EXPECT_EQ(a.layers[3].program, 48);
    EXPECT_EQ(a.layers[3].volume, 70);

    ASSERT_EQ(app->defineMultiVoice("i1dl33v60OO"), 1);
    const Preset& b = engine().presets[1];
    EXPECT_EQ(b.layers[0].type, 4);
    EXPECT_EQ(b.layers[1].type, 5);
    EXPECT_EQ(b.layers[1].program, 33);
    EXPECT_EQ(b.layers[1].volume, 60);
    EXPECT_EQ(b.layers[1].octaveShift, 2 - 4);
    EXPECT_EQ(b.layers[3].type, 0); // a left layer of its own: no default one

    ASSERT_EQ(app->defineMultiVoice("i200v300i1i2i3i4i5"), 2); // out-of-range numbers and a fifth layer are ignored
    const Preset& c = engine().presets[2];
    EXPECT_EQ(c.layers[0].type, 1);
    EXPECT_EQ(c.layers[0].program, 0);
    EXPECT_EQ(c.layers[3].program, 3);
}

TEST_F(ConsoleTest, MultiVoiceWithoutAFreePresetOverwritesNothing)
{
    start();
    engine().presets[0].name = "Piano";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app->defineMultiVoice("i5"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "No free preset for i5\n");
    for (const Preset& p : engine().presets) EXPECT_NE(p.name, "i5");
    EXPECT_EQ(type({"i5"}), "No free preset for i5\nReady\n");
}

TEST_F(ConsoleTest, OverlongTextsAreSafe)
{
    start();
    const std::string longText(5000, 'x');
    int kind = -1, index = 0;
    app->classifyCommand(longText, kind, index);
    EXPECT_EQ(kind, kCommandNone);
    freePresets(1);
    EXPECT_EQ(app->defineMultiVoice("i" + std::string(400, '9') + "v" + std::string(400, '9')), 0);
}

TEST_F(ConsoleTest, ConfigFileEntries)
{
    dir.write("config.txt",
              "# set-up\r\n"
              "MidiIn: USB Keyboard   # the keys\r\n"
              "midiout: Synth\n"
              "stylefiles: /home/pi/Styles/\n"
              "midifiles: MIDI files/\n"
              "SPLIT: 60\n"
              "record # comment\n"
              "60: Attention\n"
              "48: var up\n"
              "50: i20v100\n"
              "52: Rock.sty\n"
              "200: var up\n"
              "-1: var up\n"
              "10: i7\n"
              "Record it\n"
              "i9\n");
    start();
    for (int p = 0; p < kPresetCount; ++p) ASSERT_NE(engine().presets[p].name, "i20v100") << "no free preset yet";
    EXPECT_EQ(engine().midiInName, "usb keyboard");
    EXPECT_EQ(engine().midiOutName, "synth");
    EXPECT_EQ(app->styleFolder, "/home/pi/Styles/");
    EXPECT_EQ(app->midiFolder, "MIDI files/");
    EXPECT_EQ(engine().get(engine().splitKey), 59);
    EXPECT_EQ(engine().get(engine().recording), 1);
    EXPECT_EQ(engine().get(engine().attentionTrigger), 61);
    EXPECT_EQ(engine().get(engine().attentionActive), 0);
    EXPECT_EQ(app->keyCommands[60].text, "Attention");
    EXPECT_EQ(app->keyCommands[48].text, "var up");
    EXPECT_EQ(app->keyCommands[52].text, "Rock.sty");
    EXPECT_EQ(app->keyCommands[52].kind, kCommandStyle);
    EXPECT_EQ(app->keyCommands[10].text, "i7");
    EXPECT_EQ(app->keyCommands[0].text, ""); // folder and port lines are no key commands
    EXPECT_EQ(app->keyCommands[127].text, "");
}

TEST_F(ConsoleTest, KeyCommandPresetsAreBuiltOnceAtStartUp)
{
    dir.write("config.txt", "50: i20v100\n51: i30\n");
    app = std::make_unique<CApplication>();
    // Free places exist only once the settings are in; make them before start-up.
    ::testing::internal::CaptureStdout();
    app->startUp();
    ::testing::internal::GetCapturedStdout();
    freePresets(2);
    ::testing::internal::CaptureStdout();
    app->readConfigSecondPass();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(app->keyCommands[50].kind, kCommandPreset);
    EXPECT_EQ(app->keyCommands[50].index, 0);
    EXPECT_EQ(app->keyCommands[51].index, 1);
    EXPECT_EQ(engine().presets[0].layers[0].program, 20);
    EXPECT_EQ(engine().presets[1].layers[0].program, 30);
}

TEST_F(ConsoleTest, PrintLineWithoutTextKeepsTheStreamUsable)
{
    start();
    ::testing::internal::CaptureStdout();
    CApplication::printLine(nullptr);
    CApplication::printLine("after");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\nafter\n");
}

} // namespace
