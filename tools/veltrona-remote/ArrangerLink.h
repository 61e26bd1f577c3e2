#pragma once
// The remote's side of the arranger's control socket (veltrona.sock): one
// short-lived connection per question, and a standing one that follows the
// status. Nothing here blocks the arranger: it only ever reads what the
// arranger chose to send.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace remote {

// A file descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Lines of a stream socket, with the descriptors passed along with them.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // false at the end of the stream, on an error or when the deadline passes.
    bool next(std::string& line, std::chrono::steady_clock::time_point deadline);
    // The oldest descriptor received and not yet taken.
    Fd takeFd();
    // The stream ended, failed or sent a line too long to be the arranger's.
    bool broken() const { return broken_; }

private:
    int fd_;
    bool broken_ = false;
    std::string buffer_;
    std::vector<Fd> fds_;
};

struct Answer {
    bool answered = false;          // "R Ready" came before the deadline
    std::vector<std::string> lines; // the R lines before it
    std::string json;               // the J line's JSON, if any
    Fd fd;                          // the descriptor passed with it, if any
};

// Sends one line (with a descriptor when sendFd >= 0) on a new connection and
// reads its reply.
Answer ask(const std::string& line, int sendFd = -1, std::chrono::milliseconds timeout = std::chrono::seconds(4));

// The standing connection: every S and E line goes to onLine; onConnected
// tells when the arranger is found or lost. Reconnects every second.
class StatusStream {
public:
    using LineHandler = std::function<void(const std::string&)>;
    using StateHandler = std::function<void(bool)>;
    StatusStream(LineHandler onLine, StateHandler onConnected);
    ~StatusStream();
    void stop();

private:
    void run();
    LineHandler onLine_;
    StateHandler onConnected_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

} // namespace remote
