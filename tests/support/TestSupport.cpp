#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "vtn-test-XXXXXX").string();
    if (char* made = mkdtemp(tmpl.data())) dir = made;
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const
{
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string corpusDir()
{
    std::error_code ec;
    // Where the tests run away from the source tree (the kernel test machine)
    // the corpus travels with them and the environment names it.
    const char* moved = std::getenv("VTN_CORPUS_DIR");
    if (moved && std::filesystem::is_directory(moved, ec)) return moved;
#ifdef VTN_CORPUS_DIR
    if (std::filesystem::is_directory(VTN_CORPUS_DIR, ec)) return VTN_CORPUS_DIR;
#endif
    return {};
}

} // namespace testsupport

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::string& workDir, bool closedInput)
{
    int in[2], outPipe[2], errPipe[2];
    if (command.empty() || pipe(in) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
    pid = fork();
    if (pid == 0) {
        if (chdir(workDir.c_str()) != 0) _exit(127);
        dup2(closedInput ? open("/dev/null", O_RDONLY) : in[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (const int fd : {in[0], in[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
        std::vector<char*> argv;
#ifdef VTN_EMULATOR
        // A cross build's own programs run under the emulator that runs the
        // tests; anything else (python3) is the build machine's.
        const std::string emulator = VTN_EMULATOR;
        if (command[0].starts_with(std::filesystem::path(VTN_BINARY).parent_path().string() + "/"))
            argv.push_back(const_cast<char*>(emulator.c_str()));
#endif
        for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    for (const int fd : {in[0], outPipe[1], errPipe[1]}) ::close(fd);
    inFd = in[1];
    outFd = outPipe[0];
    errFd = errPipe[0];
    if (closedInput) closeInput();
    std::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess()
{
    if (pid > 0 && !ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (const int fd : {inFd, outFd, errFd})
        if (fd >= 0) ::close(fd);
}

void ChildProcess::write(const std::string& text)
{
    size_t done = 0;
    while (inFd >= 0 && done < text.size()) {
        const ssize_t n = ::write(inFd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void ChildProcess::closeInput()
{
    if (inFd >= 0) ::close(inFd);
    inFd = -1;
}

void ChildProcess::readAvailable(int timeoutMs)
{
    pollfd p[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}; // poll passes over a closed (-1) one
    if ((outFd < 0 && errFd < 0) || poll(p, 2, timeoutMs) <= 0) return;
    int* fds[2] = {&outFd, &errFd};
    std::string* texts[2] = {&out, &err};
    for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(*fds[i], buffer, sizeof buffer);
        if (n > 0) texts[i]->append(buffer, static_cast<size_t>(n));
        if (n == 0) ::close(std::exchange(*fds[i], -1));
    }
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.find(text) == std::string::npos) {
        if (outFd < 0 || std::chrono::steady_clock::now() > end) return false;
        readAvailable(50);
    }
    return true;
}

bool ChildProcess::running()
{
    if (ended || pid <= 0) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
        return false;
    }
    return true;
}

int ChildProcess::wait(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() > end) return -1;
        readAvailable(20);
    }
    while (outFd >= 0 || errFd >= 0) readAvailable(100);
    return exitStatus;
}

void ChildProcess::signal(int sig)
{
    if (pid > 0 && !ended) kill(pid, sig);
}

} // namespace testsupport

namespace testsupport {

std::string toolPath() { return (std::filesystem::path(VTN_BINARY).parent_path() / "tools/veltrona-tool/veltrona-tool").string(); }

ToolRun runProgram(const std::vector<std::string>& command, const std::string& workDir, int timeoutMs)
{
    ChildProcess child(command, workDir, true);
    const int status = child.wait(timeoutMs);
    return {status, child.output(), child.errors()};
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& workDir)
{
    std::vector<std::string> command{toolPath()};
    command.insert(command.end(), args.begin(), args.end());
    return runProgram(command, workDir);
}

} // namespace testsupport
