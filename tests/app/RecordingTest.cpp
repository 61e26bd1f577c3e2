// Saving a recorded performance: where the file lands, its name, what it
// holds, and the failures that are reported instead of lost.
#include "ArrangerTest.h"

#include "app/CRecordingSaver.h"

#include "base/FileReader.h"
#include "sequence/CMidiSequence.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

namespace fs = std::filesystem;

// Paths of the .mid files in the working directory and the MIDI folder.
std::vector<std::string> savedFiles()
{
    std::vector<std::string> out;
    for (const char* dir : {".", "MIDI files"})
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == ".mid") out.push_back(e.path().lexically_normal().string());
    return out;
}

// Note ons and chords of list 0 as "ticks:status:d1:d2", sorted: the file
// puts a tick's text events before its notes.
std::vector<std::string> notesAndChords(const CMidiSequence& s)
{
    std::vector<std::string> out;
    for (int i = s.events[kMainList].next; i >= kFirstEvent; i = s.events[static_cast<size_t>(i)].next) {
        const MidiEvent& e = s.events[static_cast<size_t>(i)];
        if (((e.stat & 0xF0) == 0x90 && e.db2 > 0) || e.stat == kStatChord)
            out.push_back(std::to_string(e.ticks) + ":" + std::to_string(e.stat) + ":" + std::to_string(e.db1) + ":" +
                          std::to_string(e.db2));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The stamp of a file saved in the last few seconds, formatted independently.
bool recentStamp(const std::string& fileName)
{
    for (std::time_t t = std::time(nullptr), from = t - 5; t >= from; --t) {
        std::tm local{};
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", localtime_r(&t, &local));
        if (fileName.rfind(stamp, 0) == 0) return true;
    }
    return false;
}

TEST_F(ArrangerTest, SavesTheRecordingAsAMidiFile)
{
    start();
    fs::create_directory("MIDI files");
    engine().createRecordSequence(11);
    engine().set(engine().recordState.recording, 1);
    const std::tuple<int, int, int, int> played[] = {{0, 0x90, 60, 100}, {0, kStatChord, 0, 0}, {480, 0x90, 64, 90},
                                                     {960, 0x80, 60, 0}, {960, 0x80, 64, 0}};
    for (const auto& [ticks, status, d1, d2] : played) {
        engine().set(engine().play.recordTime, ticks);
        engine().recordEvent(status, d1, d2, 0, status == kStatChord ? "Am7" : "");
    }
    const std::vector<std::string> recorded = notesAndChords(*engine().recordSequence);
    ASSERT_EQ(recorded.size(), 3u);

    // recording switch, midiFolder before and after, recording name, where
    // the file lands and how its name ends ("": no file), part of the line printed
    const std::tuple<bool, const char*, const char*, std::string, const char*, const char*> cases[] = {
        {false, "MIDI files/", "MIDI files/", "0001-Pop-Piano", "", ""},
        {true, "MIDI files/", "MIDI files/", "0001-Pop-Piano", "MIDI files/", "-Pop-Piano.mid"},
        {true, "MIDI files", "MIDI files/", "0002-Pop-Piano", "MIDI files/", "-Pop-Piano.mid"},
        {true, "", "", "0003-Pop-Piano", "", "-Pop-Piano.mid"},
        {true, "MIDI files/", "MIDI files/", "0004-Pop-Str/Pad", "MIDI files/", "-Pop-Str_Pad.mid"},
        {true, "MIDI files/", "MIDI files/", "0005-Pop-" + std::string(600, 'P'), "MIDI files/", "PPPP.mid"},
        {true, "Nowhere", "Nowhere/", "0006-Pop-Piano", "", "-Pop-Piano.mid"},
    };
    bool midoAsked = false;
    for (const auto& [recording, folder, folderAfter, recordName, landsIn, suffix] : cases) {
        SCOPED_TRACE(recordName.substr(0, 20) + " in '" + folder + "'");
        for (const std::string& f : savedFiles()) fs::remove(f);
        app->midiFolder = folder;
        engine().set(engine().recordState.recording, recording);
        engine().recordSequence->name = recordName;

        engine().saveRecording(engine().recordSequence);
        app->waitForSaves();

        EXPECT_EQ(app->midiFolder, folderAfter);
        const std::string printed = messages.take();
        const std::vector<std::string> files = savedFiles();
        if (*suffix == '\0') {
            EXPECT_EQ(files.size() + printed.size(), 0u);
            continue;
        }
        ASSERT_EQ(files.size(), 1u);
        const std::string& path = files[0];
        const std::string name = fs::path(path).filename().string();
        EXPECT_EQ(path, landsIn + name);
        EXPECT_TRUE(recentStamp(name) && name.ends_with(suffix) && name.size() <= 255) << name;
        // Only a save that left the folder says so, on one line naming the file.
        const bool movedOut = std::string(folder) == "Nowhere";
        EXPECT_EQ(printed.empty(), !movedOut);
        EXPECT_TRUE(!movedOut || (printed.ends_with("saved as " + name + " in the working directory\n") &&
                                  std::count(printed.begin(), printed.end(), '\n') == 1)) << printed;

        std::vector<uint8_t> data;
        ASSERT_EQ(vtn::readWholeFile(path, kMaxSongFileBytes, data), vtn::kFileRead);
        CMidiSequence back;
        ASSERT_GT(back.readMidiFile(data.data(), 0, static_cast<int>(data.size()), SequenceOptions()), 0);
        EXPECT_EQ(notesAndChords(back), recorded);
        if (midoAsked) continue;
        // An independent reader, where python3 has mido (no output otherwise).
        midoAsked = true;
        std::string out(4096, '\0');
        std::FILE* p = popen(("/usr/bin/python3 '" VTN_SOURCE_DIR "/tools/smf_reference.py' '" + path + "' 2>/dev/null").c_str(), "r");
        out.resize(p ? std::fread(out.data(), 1, out.size(), p) : 0);
        if (p) pclose(p);
        EXPECT_TRUE(out.empty() || (out.find("\"ok\": true, \"format\": 1") != std::string::npos &&
                                    out.find("\"channelNoteCount\": [2, 0,") != std::string::npos)) << out;
    }
}

// Recording over a song from the console: the take is saved when the
// musician stops, named after the song, with the song's notes in it.
TEST_F(ArrangerTest, SavesARecordingOverASongWhenStopped)
{
    fs::create_directory("MIDI files");
    const std::string track = std::string("\x00\xC0\x05\x00\x90\x3C\x64\x60\x80\x3C\x00\x00\xFF\x2F\x00", 15);
    dir.write("MIDI files/Tune.mid", std::string("MThd\0\0\0\x06\0\0\0\x01\0\x60MTrk\0\0\0", 21) +
                                         std::string(1, static_cast<char>(track.size())) + track);
    start();
    engine().set(engine().play.inputMode, kLiveMode); // as with a settings file
    const std::string printed = type({"midifiles: MIDI files", "record", "play: Tune.mid"});
    ASSERT_TRUE(engine().isSongPlaying()) << printed;
    while (engine().get(engine().play.songPosition) < 200'000) engine().sleepMs(10); // past the song's end
    EXPECT_TRUE(engine().isSongPlaying()) << "the take goes on until stopped";
    type({"Start/Stop"});
    while (engine().isPlaying()) engine().sleepMs(10);
    app->waitForSaves();
    std::vector<std::string> files = savedFiles();
    std::erase(files, "MIDI files/Tune.mid");
    ASSERT_EQ(files.size(), 1u);
    const std::string name = fs::path(files[0]).filename().string();
    EXPECT_TRUE(recentStamp(name) && name.find("-Tune-") == 15 && name.ends_with(".mid")) << name;
    std::vector<uint8_t> data;
    ASSERT_EQ(vtn::readWholeFile(files[0], kMaxSongFileBytes, data), vtn::kFileRead);
    CMidiSequence back;
    ASSERT_GT(back.readMidiFile(data.data(), 0, static_cast<int>(data.size()), SequenceOptions()), 0);
    EXPECT_EQ(std::make_tuple(back.ticksPerBeat, back.channelNoteCount[0]), std::make_tuple(96, 1));
}

// A save cut off at any byte (a full card; a power cut is the same to the
// file) leaves the earlier file of that name whole and no part of the new
// one; a file that cannot be created even in the working directory is
// reported too. Each failure is one line.
TEST_F(ArrangerTest, SavesRecordingsWholeOrNotAtAll)
{
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    dir.write("Take.mid", "the earlier take");
    fs::create_directory("MIDI files");
    static size_t budget;
    CRecordingSaver::writeCall = [](int fd, const void* data, size_t size) -> ssize_t {
        if (budget == 0) {
            errno = ENOSPC;
            return -1;
        }
        const size_t n = std::min(size, budget); // short writes, as a filling card gives them
        budget -= n;
        return ::write(fd, data, n);
    };
    auto content = [](const char* path) {
        std::vector<uint8_t> data;
        vtn::readWholeFile(path, 1 << 20, data);
        return std::string(data.begin(), data.end());
    };
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        budget = cut;
        vtn::CMessageCapture capture;
        EXPECT_FALSE(CRecordingSaver::saveFile("", "Take.mid", bytes)) << cut;
        EXPECT_EQ(capture.text(), "Recording not saved completely: Take.mid: No space left on device\n") << cut;
        EXPECT_EQ(content("Take.mid"), "the earlier take") << cut;
        EXPECT_FALSE(fs::exists("Take.mid.part")) << cut;
    }
    budget = SIZE_MAX;
    EXPECT_TRUE(CRecordingSaver::saveFile("", "Take.mid", bytes));
    EXPECT_EQ(content("Take.mid"), std::string(bytes.begin(), bytes.end()));
    CRecordingSaver::writeCall = ::write;

    vtn::CMessageCapture capture;
    EXPECT_FALSE(CRecordingSaver::saveFile("Nowhere/", "none/x.mid", bytes));
    EXPECT_EQ(capture.text(), "Unable to open vtnnew\n");
    EXPECT_EQ(std::vector<std::string>{"Take.mid"}, savedFiles());
}

} // namespace
