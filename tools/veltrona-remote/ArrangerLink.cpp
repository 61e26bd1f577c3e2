#include "ArrangerLink.h"

#include "base/PassedDescriptors.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace remote {
namespace {
constexpr const char* kSocketPath = "veltrona.sock";
// A J line lists whole folders; anything longer is no answer of the arranger.
constexpr size_t kMaxLine = size_t{8} << 20;

Fd connectArranger()
{
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kSocketPath, sizeof addr.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Fd();
    return fd;
}

bool sendLine(int fd, const std::string& line, int passFd)
{
    const std::string data = line + "\n";
    const ssize_t n = vtn::sendWithDescriptor(fd, data.data(), data.size(), passFd, 0);
    if (n < 0) return false;
    // The descriptor went with the first byte; the rest of a long line follows plainly.
    size_t sent = static_cast<size_t>(n);
    while (sent < data.size()) {
        const ssize_t m = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (m <= 0) return false;
        sent += static_cast<size_t>(m);
    }
    return true;
}
} // namespace

Fd& Fd::operator=(Fd&& o) noexcept
{
    if (this != &o) {
        if (fd_ >= 0) close(fd_);
        fd_ = o.release();
    }
    return *this;
}

Fd::~Fd()
{
    if (fd_ >= 0) close(fd_);
}

int Fd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool LineReader::next(std::string& line, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line.assign(buffer_, 0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        if (broken_ || buffer_.size() > kMaxLine) {
            broken_ = true;
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        // civetweb's threads have small stacks: the data goes on the heap.
        std::vector<char> data(16384);
        const ssize_t n = vtn::receiveWithDescriptors(fd_, data.data(), data.size(), 0, [this](int fd) { fds_.emplace_back(fd); });
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            broken_ = true;
            return false;
        }
        buffer_.append(data.data(), static_cast<size_t>(n));
    }
}

Fd LineReader::takeFd()
{
    if (fds_.empty()) return Fd();
    Fd fd = std::move(fds_.front());
    fds_.erase(fds_.begin());
    return fd;
}

Answer ask(const std::string& line, int sendFd, std::chrono::milliseconds timeout)
{
    Answer answer;
    Fd sock = connectArranger();
    if (!sock) return answer;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    LineReader reader(sock.get());
    std::string got;
    // The arranger greets with its status before it reads lines.
    do {
        if (!reader.next(got, deadline)) return answer;
    } while (got.rfind("S ", 0) != 0);
    if (!sendLine(sock.get(), line, sendFd)) return answer;
    while (reader.next(got, deadline)) {
        if (got == "R Ready") {
            answer.answered = true;
            break;
        }
        if (got.rfind("R ", 0) == 0) {
            answer.lines.push_back(got.substr(2));
        } else if (got.rfind("J ", 0) == 0 && answer.json.empty()) {
            answer.json = got.substr(2);
            answer.fd = reader.takeFd();
        }
    }
    return answer;
}

StatusStream::StatusStream(LineHandler onLine, StateHandler onConnected)
    : onLine_(std::move(onLine)), onConnected_(std::move(onConnected)), thread_([this] { run(); })
{
}

StatusStream::~StatusStream() { stop(); }

void StatusStream::stop()
{
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

void StatusStream::run()
{
    bool first = true;
    while (running_) {
        Fd sock = connectArranger();
        if (!sock) {
            if (first) onConnected_(false);
            first = false;
            for (int i = 0; i < 10 && running_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        first = false;
        onConnected_(true);
        LineReader reader(sock.get());
        std::string line;
        while (running_) {
            // Short waits, so a stop is seen at once; a silent arranger is still there.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            if (reader.next(line, deadline)) {
                if (line.rfind("S ", 0) == 0 || line.rfind("E ", 0) == 0) onLine_(line);
                continue;
            }
            if (reader.broken()) break;
        }
        // Descriptors are never sent on this connection; any left close with the reader.
        if (running_) onConnected_(false);
    }
}

} // namespace remote
