// The style and MIDI-file library from the console and config.txt: loading
// by name, stepping through the style folder, deleting, playing a file.
#include "ArrangerTest.h"
#include "StyleWriter.h"

#include "sequence/CStyle.h"

namespace {

// A style (or, without its style sections, a song) whose tempo tells which
// file it came from.
std::string styleBytes(int bpm, bool song = false)
{
    stylewriter::StyleWriter w(song ? 96 : 480, 4, 4, bpm);
    w.fileNameMarkers = w.withCasm = !song;
    if (song) w.note(0, 0, 60, 90, 96);
    else w.part("Main A", 2).note(w.at(2), 0, 60, 90, 400);
    const stylewriter::Bytes b = w.build();
    return std::string(b.begin(), b.end());
}

class StyleLibrary : public ArrangerTest {
protected:
    void SetUp() override
    {
        ArrangerTest::SetUp();
        std::filesystem::create_directory("Styles");
        std::filesystem::create_directory("MIDI files");
    }
    // Tempo of the style in use: which file was loaded last.
    int loadedTempo() { return engine().currentStyle() ? engine().currentStyle()->tempo : -1; }
};

// Each row on a fresh console.
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
    StyleLibrary, ConsoleRows,
    ::testing::Values(
        ConsoleCase{"PlainName", {"stylefiles: Styles", "Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"PathPartsAreDropped", {"stylefiles: Styles/", "x/y/Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"DrivePrefixIsDropped", {"stylefiles: Styles", "C:Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"BackslashesToo", {"stylefiles: Styles", "a\\b\\Pop.sty"}, "Ready\nReady\n", 101, "Styles/"},
        ConsoleCase{"Missing", {"stylefiles: Styles", "Missing.sty"}, "Ready\nStyle not found\nReady\n", 120, nullptr},
        ConsoleCase{"NotAStyle", {"stylefiles: Styles", "Broken.sty"}, "Ready\nNot a style file: Styles/Broken.sty\nReady\n", 120, nullptr},
        ConsoleCase{"EmptyFolderIsTheWorkingDirectory", {"stylefiles:", "Here.sty"}, "Ready\nReady\n", 77, ""},
        ConsoleCase{"DeleteBeforeAnyStep", {"d"}, "Nothing deleted: no style was loaded by \"a\"\nReady\n", 120, nullptr},
        ConsoleCase{"FolderThatCannotBeOpened", {"stylefiles: Nowhere", "a"}, "Ready\nUnable to open style folder\nReady\n", 120, nullptr},
        ConsoleCase{"PlayMissingFile", {"midifiles: MIDI files", "play: missing.mid"}, "Ready\nfile not found: MIDI files/missing.mid\nReady\n", 120, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

// "a" lists the folder's visible files (not sub-folders) and steps on to the
// next style, reporting each file that is none; "d" deletes only the style
// "a" loaded, by its own name. Rows run in turn on one console.
TEST_F(StyleLibrary, StepAndDeleteLandOnStylesOnly)
{
    for (const char* f : {"a.sty", "b.sty", ".hidden.sty"}) dir.write(std::string("Styles/") + f, styleBytes(f[0] == 'b' ? 92 : 91));
    for (const char* f : {"notes.txt", "Broken.sty", "x:a.sty"}) dir.write(std::string("Styles/") + f, "no style");
    std::filesystem::create_directory(dir.file("Styles/sub"));
    start("# set-up only\n");
    type({"stylefiles: Styles", "a"});
    std::vector<std::string> listed = app->styleFiles;
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"Broken.sty", "a.sty", "b.sty", "notes.txt", "x:a.sty"}));
    // From here in a known order.
    app->styleFiles = {"notes.txt", "x:a.sty", "a.sty", "Broken.sty", "b.sty"};
    app->styleIndex = -1;
    const std::tuple<const char*, std::string, int> rows[] = {
        {"a", "Not a style file: Styles/notes.txt\nNot a style file: Styles/x:a.sty\na.sty\nReady\n", 91},
        {"d", "Not a style file: Styles/Broken.sty\nb.sty\nReady\n", 92},
        {"d", "Ready\n", 92}, // the last style goes; nothing is left to step on to
        {"d", "Nothing deleted: no style was loaded by \"a\"\nReady\n", 92},
        {"a", "Ready\n", 92},
        // The working directory as the style folder: its config.txt is no style.
        {"stylefiles:", "Ready\n", 92},
        {"a", "Not a style file: config.txt\nReady\n", 92},
        {"d", "Nothing deleted: no style was loaded by \"a\"\nReady\n", 92},
        {"a", "Ready\n", 92}};
    for (const auto& [line, out, tempo] : rows) {
        EXPECT_EQ(type({line}), out) << line;
        EXPECT_EQ(loadedTempo(), tempo) << line;
    }
    for (const char* f : {"Styles/notes.txt", "Styles/x:a.sty", "Styles/Broken.sty", "config.txt"}) EXPECT_TRUE(testsupport::fileExists(f)) << f;
    for (const char* f : {"Styles/a.sty", "Styles/b.sty"}) EXPECT_FALSE(testsupport::fileExists(f)) << f;
}

TEST_F(StyleLibrary, PathsOf512CharactersAreRefused)
{
    start();
    const std::string folder = std::string(500, 'f') + "/";
    app->styleFolder = folder;
    app->loadStyleByName("abcdef.sty");  // 511 characters: looked for
    app->loadStyleByName("abcdefg.sty"); // 512: refused
    EXPECT_EQ(messages.take(), "Style not found\nPath too long (512 characters or more): " + folder + "abcdefg.sty\n");
}

// The text after "play:" is taken as typed, so a name may begin with a blank;
// without such a file the name counts without its leading blanks.
TEST_F(StyleLibrary, PlayLoadsTheSongAsSequenceOneUntilAStyleLoads)
{
    dir.write("MIDI files/song.mid", styleBytes(100, true));
    dir.write("MIDI files/ blank.mid", styleBytes(110, true));
    dir.write("MIDI files/blank.mid", styleBytes(111, true));
    dir.write("Styles/Pop.sty", styleBytes(101));
    start();
    type({"midifiles: MIDI files"});
    const std::pair<const char*, int> plays[] = {{"play: song.mid", 100}, {"PLAY: blank.mid", 110}, {"play:elsewhere/song.mid", 100}};
    for (const auto& [line, tempo] : plays) {
        EXPECT_EQ(type({line}), "Ready\n") << line;
        EXPECT_EQ(engine().get(engine().songState.playMode), 1);
        ASSERT_NE(engine().sequences[1], nullptr);
        EXPECT_EQ(std::make_tuple(engine().sequences[1]->sequenceId, engine().sequences[1]->tempo,
                                  engine().sequences[1]->channelNoteCount[0]), std::make_tuple(1, tempo, 1)) << line;
    }
    type({"stylefiles: Styles", "Pop.sty"});
    EXPECT_EQ(engine().get(engine().songState.playMode), 0);
    // The song slot plays only a recording: the 82nd lives under id 12.
    engine().set(engine().recordCount, 81);
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().songState.playMode), 0);
    engine().createRecordSequence(12);
    app->playSongSlot();
    EXPECT_EQ(engine().get(engine().songState.playMode), 1);
}

} // namespace
