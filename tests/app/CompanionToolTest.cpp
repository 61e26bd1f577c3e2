// The companion tool's chord and harmony answers, as a musician or a script sees them.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace {

struct ToolRun {
    std::string out;
    int status = -1;
};

ToolRun tool(const std::string& arguments)
{
    const std::string path = (std::filesystem::path(VTN_BINARY).parent_path() / "tools/veltrona-tool/veltrona-tool").string();
    ToolRun r;
    FILE* p = popen((path + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (!p) return r;
    std::array<char, 512> buffer{};
    while (fgets(buffer.data(), buffer.size(), p)) r.out += buffer.data();
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct Case {
    const char* arguments;
    int status;
    const char* out;
};

class CompanionTool : public ::testing::TestWithParam<Case> {};

TEST_P(CompanionTool, Answers)
{
    const Case& c = GetParam();
    const ToolRun r = tool(c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments;
    EXPECT_EQ(r.out, c.out) << c.arguments;
}

INSTANTIATE_TEST_SUITE_P(
    ChordAndHarmony, CompanionTool,
    ::testing::Values(
        Case{"chord 0 60 64 67", 0, "{\"root\":0,\"type\":0,\"bass\":-1,\"symbol\":\"C\",\"intervals\":[0,4,7,-1,-1],\"typeName\":\"\"}\n"},
        Case{"chord 0 57 60 64 67", 0, "{\"root\":9,\"type\":10,\"bass\":-1,\"symbol\":\"Am7\",\"intervals\":[0,3,7,10,-1],\"typeName\":\"m7\"}\n"},
        Case{"chord 6 55 60 64", 0, "{\"root\":7,\"type\":0,\"bass\":-1,\"symbol\":\"G C E\",\"intervals\":[0,-7,-3,-1,-1],\"typeName\":\"\"}\n"},
        Case{"chord 0 60 61", 0, "null\n"},
        Case{"chord 7 60", 1, ""},
        Case{"chord 0 128", 1, ""},
        Case{"chord 0", 1, ""},
        Case{"harmony C 76", 0, "{\"close\":72,\"wide\":67}\n"},
        Case{"harmony Bbmaj7 70", 0, "{\"close\":65,\"wide\":62}\n"},
        Case{"harmony N.C. 60", 0, "{\"close\":-1,\"wide\":-1}\n"},
        Case{"harmony C 200", 1, ""},
        Case{"harmony C", 1, ""}));

} // namespace
