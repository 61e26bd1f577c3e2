// The real arranger binary, started in an empty folder with piped input.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <unistd.h>

namespace {

using testsupport::ChildProcess;
using testsupport::TempDir;

// What start-up prints in a folder without set-up files.
std::string startUpTranscript()
{
    const std::string frame = "  " + std::string(67, '*');
    std::string t = "\n" + frame + "\n  * Veltrona Live v1.0 - Realtime Arranger for the Raspberry Pi *\n" + frame + "\n\n";
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) t += "Cannot open sequencer - No such file or directory\n";
    return t + "Unable to open file config.txt\nUnable to open vtn.cfg\nUnable to open file config.txt\nReady\n";
}

const char* const kIdleStatus =
    "Status: style none stopped, tempo 120, chord C, preset none, recording off, split off, in: none, out: none\n";

// What the arranger printed, without the line that says the system refused
// it real-time running (a user without an rtprio or memlock limit).
std::string withoutRealTimeNote(std::string out)
{
    for (const char* start : {"\nNo real-time priority", "\nMemory not locked"}) {
        const size_t at = out.find(start);
        if (at != std::string::npos) out.erase(at + 1, out.find('\n', at + 1) - at);
    }
    return out;
}

// CPU time (user + system) the process has used so far, in clock ticks.
long cpuTicks(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(stat)), {});
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(s.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
}

// What follows start-up for console input; a last line without its newline
// still counts, and an overlong line is refused whole, never carried out in
// pieces (79 characters and then "quit" would otherwise quit).
TEST(EndToEnd, Transcripts)
{
    const std::pair<std::string, std::string> rows[] = {
        {std::string(79, 'x') + "quit\n" + std::string(79, 'y') + "\nquit\n", "Line too long\nReady\nUnknown command\nReady\n"},
        {"split: 60\nquit", "Ready\n"}};
    for (const auto& [input, out] : rows) {
        TempDir dir;
        ChildProcess vtn({VTN_BINARY}, dir.path());
        vtn.write(input);
        vtn.closeInput();
        EXPECT_EQ(vtn.wait(), 0) << input;
        EXPECT_EQ(withoutRealTimeNote(vtn.output()), startUpTranscript() + out) << input;
    }
}

struct StopSignal {
    int number;
    const char* name;
    bool reading; // the console open and read, or the input closed as under a service manager
};

class EndToEndStop : public ::testing::TestWithParam<StopSignal> {};

TEST_P(EndToEndStop, RunsOnIdleUntilASignalEndsItLikeQuit)
{
    TempDir dir;
    ChildProcess vtn({VTN_BINARY}, dir.path(), !GetParam().reading);
    ASSERT_TRUE(vtn.waitForOutput("Ready\n"));
    if (GetParam().reading) {
        vtn.write("record\n");
        ASSERT_TRUE(vtn.waitForOutput("Ready\nReady\n"));
    }
    const long before = cpuTicks(vtn.processId());
    usleep(500 * 1000);
    // Still running, and idle rather than spinning on the input.
    EXPECT_TRUE(vtn.running());
    const long used = cpuTicks(vtn.processId()) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5) << "ticks used while idle";
    vtn.signal(GetParam().number);
    EXPECT_EQ(vtn.wait(), 0);
    // With the input closed the arranger says once what it is set to, as a
    // service does into its log.
    EXPECT_EQ(withoutRealTimeNote(vtn.output()), startUpTranscript() + (GetParam().reading ? "Ready\n" : kIdleStatus));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, EndToEndStop,
                         ::testing::Values(StopSignal{SIGINT, "SIGINT", false}, StopSignal{SIGTERM, "SIGTERM", false},
                                           StopSignal{SIGINT, "SIGINTWhileReading", true}),
                         [](const ::testing::TestParamInfo<StopSignal>& p) { return std::string(p.param.name); });

} // namespace
