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
#ifdef VTN_CORPUS_DIR
    std::error_code ec;
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

namespace testsupport {

ChildProcess::ChildProcess(const std::string& program, const std::string& workDir, bool closedInput)
{
    int in[2], outPipe[2];
    if (pipe(in) != 0 || pipe(outPipe) != 0) return;
    pid = fork();
    if (pid == 0) {
        if (chdir(workDir.c_str()) != 0) _exit(127);
        if (closedInput) {
            const int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
        } else {
            dup2(in[0], 0);
        }
        dup2(outPipe[1], 1); // standard error stays the test's own
        ::close(in[0]);
        ::close(in[1]);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    ::close(outPipe[1]);
    inFd = in[1];
    outFd = outPipe[0];
    if (closedInput) closeInput();
    std::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess()
{
    if (pid > 0 && !ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (inFd >= 0) ::close(inFd);
    if (outFd >= 0) ::close(outFd);
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
    if (outFd < 0) return;
    pollfd p{outFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return;
    char buffer[4096];
    const ssize_t n = read(outFd, buffer, sizeof buffer);
    if (n > 0) {
        out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
        ::close(outFd);
        outFd = -1;
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
    while (outFd >= 0) readAvailable(100);
    return exitStatus;
}

void ChildProcess::signal(int sig)
{
    if (pid > 0 && !ended) kill(pid, sig);
}

} // namespace testsupport
