// The style and MIDI-file library from the console and config.txt: loading
// by name, stepping through the style folder, deleting, playing a file.
#include "StyleWriter.h"

#include "app/CApplication.h"
#include "engine/CKvSeq.h"
#include "sequence/CStyle.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <unistd.h>

namespace {

// A style whose tempo tells which file it came from.
std::string styleBytes(int bpm)
{
    stylewriter::StyleWriter w(480, 4, 4, bpm);
    w.part("Main A", 2).note(w.at(2), 0, 60, 90, 400);
    const stylewriter::Bytes b = w.build();
    return std::string(b.begin(), b.end());
}

class StyleLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home = here;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        std::filesystem::create_directory("Styles");
        std::filesystem::create_directory("MIDI files");
    }
    void TearDown() override
    {
        ::testing::internal::CaptureStdout();
        app.reset();
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(chdir(home.c_str()), 0);
    }
    std::string start()
    {
        app = std::make_unique<CApplication>();
        ::testing::internal::CaptureStdout();
        app->startUp();
        return ::testing::internal::GetCapturedStdout();
    }
    std::string type(const std::vector<std::string>& lines)
    {
        ::testing::internal::CaptureStdout();
        for (const std::string& l : lines) app->command(l);
        return ::testing::internal::GetCapturedStdout();
    }
    CKvSeq& engine() { return *app->engine; }
    // Tempo of the style in use: which file was loaded last.
    int loadedTempo() { return engine().currentStyle() ? engine().currentStyle()->tempo : -1; }

    testsupport::TempDir dir;
    std::string home;
    std::unique_ptr<CApplication> app;
};

// Each row on a fresh console; "@" in an expected output stands for the
// file the step loaded ("a" and "d" go in the folder's own order).
struct ConsoleCase {
    const char* name;
    std::vector<std::string> commands;
    const char* out;
    int tempo;            // of the style in use afterwards (120: the start-up style)
    const char* folder;   // styleFolder afterwards; nullptr: not checked
};

class ConsoleRows : public StyleLibrary, public ::testing::WithParamInterface<ConsoleCase> {};

TEST_P(ConsoleRows, PrintAndLoad)
{
    const ConsoleCase& c = GetParam();
    dir.write("Styles/Pop.sty", styleBytes(101));
    dir.write("Styles/Broken.sty", "MThd but not really a style");
    dir.write("Here.sty", styleBytes(77));
    start();
    EXPECT_EQ(type(c.commands), c.out);
    EXPECT_EQ(loadedTempo(), c.tempo);
    if (c.folder) {
        EXPECT_EQ(app->styleFolder, c.folder);
    }
    if (c.tempo == 101) {
        EXPECT_EQ(engine().get(engine().styleName), "Styles/Pop.sty");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Style, ConsoleRows,
    ::testing::Values(
        ConsoleCase{"PlainName", {"stylefiles: Styles", "Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"PathPartsAreDropped", {"stylefiles: Styles/", "x/y/Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"DrivePrefixIsDropped", {"stylefiles: Styles", "C:Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"BackslashesToo", {"stylefiles: Styles", "a\\b\\Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"Missing", {"stylefiles: Styles", "Missing.sty"}, "Ready\nStyle not found\nReady\n", 120, nullptr},
        ConsoleCase{"NotAStyle", {"stylefiles: Styles", "Broken.sty"}, "Ready\nNot a style file: Styles/Broken.sty\nReady\n", 120, nullptr},
        ConsoleCase{"EmptyFolderIsTheWorkingDirectory", {"stylefiles:", "Here.sty"}, "Ready\nReady\n", 77, ""},
        ConsoleCase{"DeleteBeforeAnyStep", {"d"}, "Ready\n", 120, nullptr},
        ConsoleCase{"FolderThatCannotBeOpened", {"stylefiles: Nowhere", "a"}, "Ready\nUnable to open style folder\nReady\n", 120, nullptr},
        ConsoleCase{"PlayMissingFile", {"play:missing.mid"}, "file not found\nReady\n", 120, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(StyleLibrary, StepDeleteAndStopAtTheEndOfTheFolder)
{
    dir.write("Styles/a.sty", styleBytes(91));
    dir.write("Styles/b.sty", styleBytes(92));
    dir.write("Styles/.hidden.sty", styleBytes(93));
    std::filesystem::create_directory(dir.file("Styles/sub"));
    start();
    type({"stylefiles: Styles"});
    const std::string first = type({"a"});
    // Only the two visible files are entries, in the directory's own order.
    ASSERT_EQ(app->styleFiles.size(), 2u);
    const std::string one = app->styleFiles[0], two = app->styleFiles[1];
    EXPECT_EQ(first + std::to_string(loadedTempo()), one + "\nReady\n" + (one == "a.sty" ? "91" : "92"));
    // "d" deletes the file just loaded and goes on with the next.
    const std::string next = type({"d"});
    EXPECT_EQ(next + std::to_string(loadedTempo()), two + "\nReady\n" + (two == "a.sty" ? "91" : "92"));
    EXPECT_FALSE(testsupport::fileExists(dir.file("Styles/" + one)));
    // Past the end nothing more happens, however often.
    EXPECT_EQ(type({"a", "d", "a"}), "Ready\nReady\nReady\n");
    EXPECT_TRUE(testsupport::fileExists(dir.file("Styles/" + two)));
}

TEST_F(StyleLibrary, PathsOf512CharactersAreRefused)
{
    start();
    const std::string folder = std::string(500, 'f') + "/";
    app->styleFolder = folder;
    ::testing::internal::CaptureStdout();
    app->loadStyleByName("abcdef.sty");  // 511 characters: looked for
    app->loadStyleByName("abcdefg.sty"); // 512: refused
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Style not found\nPath too long (512 characters or more): " + folder + "abcdefg.sty\n");
}

TEST_F(StyleLibrary, PlayLoadsTheSongAsSequenceOneUntilAStyleLoads)
{
    stylewriter::StyleWriter song(96, 4, 4, 100);
    song.fileNameMarkers = false, song.withCasm = false;
    const stylewriter::Bytes b = song.note(0, 0, 60, 90, 96).build();
    dir.write("MIDI files/song.mid", std::string(b.begin(), b.end()));
    dir.write("Styles/Pop.sty", styleBytes(101));
    start();
    // The text after the colon is taken as typed; the folder comes from "midifiles:".
    EXPECT_EQ(type({"midifiles: MIDI files", "play: song.mid", "PLAY:elsewhere/song.mid"}), "Ready\nfile not found\nReady\nReady\n");
    EXPECT_EQ(engine().get(engine().playMode), 1);
    ASSERT_NE(engine().sequences[1], nullptr);
    EXPECT_EQ(std::make_tuple(engine().sequences[1]->sequenceId, engine().sequences[1]->tempo,
                              engine().sequences[1]->channelNoteCount[0]), std::make_tuple(1, 100, 1));
    type({"stylefiles: Styles", "Pop.sty"});
    EXPECT_EQ(engine().get(engine().playMode), 0);
    // The song slot plays only a recording: the 82nd lives under id 12.
    engine().set(engine().recordCount, 81);
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().playMode), 0);
    engine().createRecordSequence(12);
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().playMode), 1);
}

} // namespace
