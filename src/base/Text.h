#pragma once
// Small text helpers shared by the console, the set-up files and the chord parser.
#include <string>
#include <string_view>

namespace vtn {

// Text without leading and trailing blanks and tabs.
inline std::string_view trimView(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

inline std::string trim(std::string_view s) { return std::string(trimView(s)); }

// Byte-wise lower case (ASCII letters only, so UTF-8 bytes pass unchanged).
inline std::string toLower(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

inline bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Decimal value as strtol with base 10 reads it: leading blanks, an optional
// sign, digits up to the first non-digit; no digits give 0. Saturates instead
// of overflowing.
inline long decimalValue(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\v' || s[i] == '\f')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (v < 100000000000L) v = v * 10 + (s[i] - '0');
    }
    return negative ? -v : v;
}

} // namespace vtn
