#pragma once
// Who may work the arranger from the network: the PIN, the lock-out of an
// address that guesses it, the sessions, and the file names a page may name.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace remote {

class Guard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMaxWrongPins = 5;
    static constexpr std::chrono::seconds kLockOut{60};

    explicit Guard(std::string pin) : pin_(std::move(pin)) {}

    enum class Login { ok, wrong, locked };
    // On ok, token holds the new session's cookie value; on locked, wait the seconds left.
    Login login(const std::string& address, std::string_view pin, std::string& token, int& wait,
                Clock::time_point now = Clock::now());
    bool validSession(std::string_view token);

private:
    struct Attempts {
        int wrong = 0;
        Clock::time_point lockedUntil{};
    };
    const std::string pin_;
    std::mutex mutex_;
    std::map<std::string, Attempts> attempts_;
    std::deque<std::string> sessions_; // oldest first
};

// Equal texts, in a time that tells nothing about where they differ.
bool sameInConstantTime(std::string_view a, std::string_view b);
// A plain file name: no folder, no "..", no hidden file, no control character.
bool isPlainFileName(std::string_view name);
// 128 random bits from the kernel, as 32 hex digits ("" if it has none to give).
std::string randomToken();

} // namespace remote
