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
    std::string type(std::initializer_list<std::string> lines)
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

TEST_F(StyleLibrary, StylesLoadByTheirBaseNameFromTheStyleFolder)
{
    dir.write("Styles/Pop.sty", styleBytes(101));
    start();
    type({"stylefiles: Styles"});
    const char* names[] = {"Pop.sty", "x/y/Pop.sty", "C:Pop.sty", "a\\b\\Pop.sty", "/abs/olute/Pop.sty"};
    for (const char* name : names) {
        engine().setTempo(60);
        EXPECT_EQ(type({name}), "Ready\n") << name;
        EXPECT_EQ(loadedTempo(), 101) << name;
        EXPECT_EQ(engine().get(engine().styleName), "Styles/Pop.sty") << name;
        EXPECT_EQ(app->styleFolder, "Styles/");
    }
    EXPECT_EQ(type({"Missing.sty"}), "Style not found\nReady\n");
    dir.write("Styles/Broken.sty", "MThd but not really a style");
    EXPECT_EQ(type({"Broken.sty"}), "Not a style file: Styles/Broken.sty\nReady\n");
    EXPECT_EQ(loadedTempo(), 101);
}

TEST_F(StyleLibrary, EmptyFolderIsTheWorkingDirectoryAndLongPathsAreRefused)
{
    dir.write("Here.sty", styleBytes(77));
    start();
    type({"stylefiles:"});
    EXPECT_EQ(type({"Here.sty"}), "Ready\n");
    EXPECT_EQ(loadedTempo(), 77);
    EXPECT_EQ(app->styleFolder, "");

    const std::string folder = std::string(500, 'f') + "/";
    app->styleFolder = folder;
    ::testing::internal::CaptureStdout();
    app->loadStyleByName("abcdef.sty");  // 511 characters: looked for
    app->loadStyleByName("abcdefg.sty"); // 512: refused
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Style not found\nPath too long (512 characters or more): " + folder + "abcdefg.sty\n");
}

TEST_F(StyleLibrary, StepDeleteAndStopAtTheEndOfTheFolder)
{
    dir.write("Styles/a.sty", styleBytes(91));
    dir.write("Styles/b.sty", styleBytes(92));
    dir.write("Styles/.hidden.sty", styleBytes(93));
    std::filesystem::create_directory(dir.file("Styles/sub"));
    start();
    EXPECT_EQ(type({"d"}), "Ready\n"); // nothing stepped to yet
    type({"stylefiles: Styles"});
    const std::string first = type({"a"});
    // Only the two files are entries, in the directory's own order.
    ASSERT_EQ(app->styleFiles.size(), 2u);
    const std::string one = app->styleFiles[0], two = app->styleFiles[1];
    EXPECT_EQ(first, one + "\nReady\n");
    EXPECT_EQ(loadedTempo(), one == "a.sty" ? 91 : 92);

    // "d" deletes the file just loaded and goes on with the next.
    EXPECT_EQ(type({"d"}), two + "\nReady\n");
    EXPECT_FALSE(testsupport::fileExists(dir.file("Styles/" + one)));
    EXPECT_TRUE(testsupport::fileExists(dir.file("Styles/" + two)));
    EXPECT_EQ(loadedTempo(), two == "a.sty" ? 91 : 92);
    EXPECT_EQ(app->styleFiles.size(), 2u);

    // Past the end nothing more happens, however often.
    EXPECT_EQ(type({"a", "d", "a"}), "Ready\nReady\nReady\n");
    EXPECT_TRUE(testsupport::fileExists(dir.file("Styles/" + two)));
    EXPECT_EQ(app->styleIndex, 3);

    // "stylefiles:" makes the next "a" read the folder again.
    type({"stylefiles: Styles/"});
    EXPECT_EQ(type({"a"}), two + "\nReady\n");
    EXPECT_EQ(app->styleIndex, 0);

    type({"stylefiles: Nowhere"});
    EXPECT_EQ(type({"a"}), "Unable to open style folder\nReady\n");
    EXPECT_TRUE(app->styleFiles.empty());
}

TEST_F(StyleLibrary, PlayLoadsTheSongAsSequenceOne)
{
    stylewriter::StyleWriter song(96, 4, 4, 100);
    song.fileNameMarkers = false;
    song.withCasm = false;
    song.note(0, 0, 60, 90, 96);
    const stylewriter::Bytes b = song.build();
    dir.write("MIDI files/song.mid", std::string(b.begin(), b.end()));
    dir.write("MIDI files/text.mid", "plain text");
    start();
    type({"midifiles: MIDI files"});
    EXPECT_EQ(type({"play:missing.mid"}), "file not found\nReady\n");
    EXPECT_EQ(type({"play:text.mid"}), "Not a MIDI file: MIDI files/text.mid\nReady\n");
    EXPECT_EQ(engine().get(engine().playMode), 0);
    EXPECT_EQ(engine().sequences[1], nullptr);
    // The text after the colon is taken as typed: a leading blank is part of the name.
    EXPECT_EQ(type({"play: song.mid"}), "file not found\nReady\n");
    EXPECT_EQ(type({"PLAY:elsewhere/song.mid"}), "Ready\n");
    EXPECT_EQ(app->midiFolder, "MIDI files/");
    EXPECT_EQ(engine().get(engine().playMode), 1);
    ASSERT_NE(engine().sequences[1], nullptr);
    EXPECT_EQ(engine().sequences[1]->sequenceId, 1);
    EXPECT_EQ(engine().sequences[1]->tempo, 100);
    EXPECT_EQ(engine().sequences[1]->channelNoteCount[0], 1);
    // A style load hands the music back to the styles.
    dir.write("Styles/Pop.sty", styleBytes(101));
    type({"stylefiles: Styles", "Pop.sty"});
    EXPECT_EQ(engine().get(engine().playMode), 0);
}

TEST_F(StyleLibrary, PlaySongSlotNeedsARecording)
{
    start();
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().playMode), 0);
    engine().set(engine().recordCount, 81); // the 82nd recording lives under id 12
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().playMode), 0);
    engine().createRecordSequence(12);
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().playMode), 1);
}

TEST_F(StyleLibrary, ConfigPlainCommandsLoadStyles)
{
    dir.write("Styles/Start.sty", styleBytes(88));
    dir.write("config.txt", "stylefiles: Styles\nStart.sty   # the first style\nMissing.sty\n");
    const std::string out = start();
    EXPECT_NE(out.find("Style not found\n"), std::string::npos);
    EXPECT_EQ(loadedTempo(), 88);
    EXPECT_EQ(engine().get(engine().styleName), "Styles/Start.sty");
}

} // namespace
