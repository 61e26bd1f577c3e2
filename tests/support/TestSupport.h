#pragma once
// Helpers shared by the test executables.
#include <string>
#include <vector>

namespace testsupport {

// A fresh empty directory under the system's temporary folder; removed with
// its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

private:
    std::string dir;
};

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Folder of the shared test corpora ($VTN_CORPUS_DIR first), empty when it is
// not there.
std::string corpusDir();

} // namespace testsupport

namespace testsupport {

// A child process with piped standard input, output and error, for tests
// that run the real binaries.
class ChildProcess {
public:
    // Starts the program command[0] (looked up on the path when it names no
    // folder) with the rest as its arguments in the folder
    // `workDir`. With closedInput its standard input is /dev/null, as under a
    // service manager.
    explicit ChildProcess(const std::vector<std::string>& command, const std::string& workDir = ".", bool closedInput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& text);
    void closeInput();
    // Reads output until it contains `text` (counting from the start) or the
    // time runs out; returns whether it was seen.
    bool waitForOutput(const std::string& text, int timeoutMs = 20000);
    // Waits for the end; returns the exit status, or -1000 - signal, or -1 on timeout.
    int wait(int timeoutMs = 20000);
    bool running();
    void signal(int sig);
    const std::string& output() const { return out; }
    const std::string& errors() const { return err; }
    int processId() const { return pid; }

private:
    void readAvailable(int timeoutMs);
    int pid = -1;
    int inFd = -1;
    int outFd = -1;
    int errFd = -1;
    int exitStatus = -1;
    bool ended = false;
    std::string out, err;
};

// A program run to its end, its standard input closed: its exit status (as
// ChildProcess::wait gives it), output and errors.
struct ToolRun {
    int status = -1;
    std::string out, err;
};
ToolRun runProgram(const std::vector<std::string>& command, const std::string& workDir = ".", int timeoutMs = 20000);
// The companion tool, and the tool run with the arguments.
std::string toolPath();
ToolRun runTool(const std::vector<std::string>& args, const std::string& workDir = ".");

} // namespace testsupport
