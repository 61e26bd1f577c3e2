#include "Guard.h"

#include <algorithm>
#include <sys/random.h>

namespace remote {
namespace {
// A phone or two, and the odd reload: older sessions make way.
constexpr size_t kMaxSessions = 32;
// An address table a flood of spoofed-looking clients cannot grow without end.
constexpr size_t kMaxAddresses = 4096;
} // namespace

bool sameInConstantTime(std::string_view a, std::string_view b)
{
    const size_t n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

bool isPlainFileName(std::string_view name)
{
    if (name.empty() || name.size() > 255 || name.front() == '.') return false;
    if (name.find("..") != std::string_view::npos) return false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) return false;
    }
    return true;
}

std::string randomToken()
{
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) return std::string();
        got += static_cast<size_t>(n);
    }
    static const char* const hex = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

Guard::Login Guard::login(const std::string& address, std::string_view pin, std::string& token, int& wait,
                          Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (attempts_.size() >= kMaxAddresses) {
        std::erase_if(attempts_, [now](const auto& a) { return a.second.lockedUntil <= now; });
        if (attempts_.size() >= kMaxAddresses) attempts_.erase(attempts_.begin());
    }
    Attempts& a = attempts_[address];
    if (a.lockedUntil > now) {
        wait = static_cast<int>(std::chrono::ceil<std::chrono::seconds>(a.lockedUntil - now).count());
        return Login::locked;
    }
    if (!sameInConstantTime(pin, pin_)) {
        if (++a.wrong >= kMaxWrongPins) {
            a.wrong = 0;
            a.lockedUntil = now + kLockOut;
        }
        return Login::wrong;
    }
    attempts_.erase(address);
    token = randomToken();
    if (token.empty()) return Login::wrong;
    if (sessions_.size() >= kMaxSessions) sessions_.pop_front();
    sessions_.push_back(token);
    return Login::ok;
}

bool Guard::validSession(std::string_view token)
{
    if (token.size() != 32) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    bool found = false;
    for (const std::string& s : sessions_) found |= sameInConstantTime(s, token);
    return found;
}

} // namespace remote
