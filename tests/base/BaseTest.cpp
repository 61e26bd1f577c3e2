// What every layer shares: the file reader's refusals, the message sink, the
// rule that includes point down and the one that engine records change only
// through the engine.
#include "base/FileReader.h"
#include "base/MessageSink.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sys/stat.h>

namespace {

TEST(FileReader, ReadsOnlyRegularFilesOfTheAllowedSize)
{
    testsupport::TempDir dir;
    dir.write("song.mid", "MThd");
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    std::vector<uint8_t> data{1, 2, 3};
    const std::pair<std::string, int> cases[] = {
        {dir.file("song.mid"), vtn::kFileRead},
        {dir.file("missing.mid"), vtn::kFileMissing},
        {dir.path(), vtn::kFileNotRegular},
        {"/dev/zero", vtn::kFileNotRegular},   // would read forever
        {dir.file("pipe"), vtn::kFileNotRegular}, // would wait forever for a writer
    };
    for (const auto& [path, want] : cases) {
        EXPECT_EQ(vtn::readWholeFile(path, 4, data), want) << path;
        EXPECT_EQ(data.size(), want == vtn::kFileRead ? 4u : 0u) << path;
    }
    EXPECT_EQ(vtn::readWholeFile(dir.file("song.mid"), 3, data), vtn::kFileTooLarge);
    EXPECT_EQ(vtn::fileReadError(vtn::kFileTooLarge, 3), "larger than 3 bytes");
}

TEST(MessageSink, CapturesNestAndGiveTheStreamBack)
{
    testing::internal::CaptureStdout();
    {
        vtn::CMessageCapture outer;
        vtn::printLine("one");
        {
            vtn::CMessageCapture inner;
            vtn::printText("two");
            EXPECT_EQ(inner.take(), "two");
        }
        vtn::printLine("");
        EXPECT_EQ(outer.text(), "one\n\n");
    }
    vtn::printLine("after");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "after\n");
}

// Each layer includes only from itself and the layers below it.
TEST(Layers, IncludesPointDown)
{
    const std::map<std::string, std::string> allowed = {
        {"base", "base"},
        {"chords", "base|chords"},
        {"sequence", "base|chords|sequence"},
        {"midi", "base|midi"},
        {"engine", "base|chords|sequence|midi|engine"},
        {"input", "base|chords|sequence|midi|engine|input|melody|player"},
        {"melody", "base|chords|sequence|midi|engine|input|melody|player"},
        {"player", "base|chords|sequence|midi|engine|input|melody|player"},
    };
    const std::regex include(R"(^\s*#\s*include\s*"(\w+)/)");
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(VTN_SOURCE_DIR) + "/src")) {
        const std::string layer = entry.path().parent_path().filename().string();
        if (!entry.is_regular_file() || !allowed.count(layer)) continue;
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        const std::regex ok("^(" + allowed.at(layer) + ")$");
        for (int n = 1; std::getline(in, line); ++n) {
            std::smatch m;
            if (std::regex_search(line, m, include)) {
                EXPECT_TRUE(std::regex_match(m[1].str(), ok)) << entry.path().string() << ":" << n << ": " << line;
            }
        }
    }
    EXPECT_GT(files, 20);
}

// Outside the engine its records are only read: a field assigned, stepped,
// handed to set or update, or taken by address is a change that no row clamps.
TEST(Layers, EngineRecordsChangeOnlyThroughTheEngine)
{
    const std::string record = R"((->|\.)\s*(play|mixer|areas|attention|songState|recordState|defaults)\b)";
    const std::regex change("(" + record + R"((\s*\.\s*\w+)*(\s*\[[^\]]*\])?\s*([-+*/|&^]?=(?!=)|\+\+|--)))" +
                            R"(|(\+\+|--)\s*[\w>.-]*)" + record + R"(|\b(set|update)\s*\([^;]*?)" + record +
                            R"(|(^|[^&])&\s*\w+)" + record);
    const std::string root = VTN_SOURCE_DIR;
    int files = 0;
    for (const char* tree : {"/src", "/tools", "/bench"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root + tree)) {
            const std::string path = entry.path().string();
            if (!entry.is_regular_file() || path.find(root + "/src/engine/") == 0) continue;
            ++files;
            std::ifstream in(entry.path());
            std::string line;
            for (int n = 1; std::getline(in, line); ++n) EXPECT_FALSE(std::regex_search(line, change)) << path << ":" << n << ": " << line;
        }
    }
    EXPECT_GT(files, 50);
}

} // namespace
