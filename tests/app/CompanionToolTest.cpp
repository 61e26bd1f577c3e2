// The companion tool's answers, as a musician or a script sees them: one
// JSON document, or exit status 1 with one line on stderr.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

struct Case {
    const char* arguments;
    int status;
    const char* out;
};

class CompanionTool : public ::testing::TestWithParam<Case> {};

TEST_P(CompanionTool, Answers)
{
    const Case& c = GetParam();
    std::vector<std::string> command{testsupport::toolPath()};
    std::istringstream words(c.arguments);
    for (std::string w; words >> w;) command.push_back(w);
    // Devices and folders are refused before a byte is read, so within moments.
    const testsupport::ToolRun r = testsupport::runProgram(command, ".", 5000);
    EXPECT_EQ(std::make_tuple(r.status, r.out, std::count(r.err.begin(), r.err.end(), '\n')),
              std::make_tuple(c.status, std::string(c.out), long(c.status))) << c.arguments << ": " << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    CompanionTool, CompanionTool,
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
        Case{"harmony C/E 76", 0, "{\"close\":72,\"wide\":67}\n"},
        Case{"harmony N.C. 60", 0, "{\"close\":-1,\"wide\":-1}\n"},
        Case{"harmony XYZ 60", 1, ""},
        Case{"harmony C/X 60", 1, ""},
        Case{"harmony C 200", 1, ""},
        Case{"harmony C", 1, ""},
        Case{"smf /dev/zero", 1, ""},
        Case{"style /dev/zero", 1, ""},
        Case{"smf .", 1, ""},
        Case{"style .", 1, ""}));

} // namespace
