#pragma once
// Texts for a display as JSON. File names and lyrics are bytes, often
// written on other systems; a page's live channel drops a message that is
// not valid UTF-8, so every text is made valid first. Shared by the
// arranger's control socket and the display program.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace vtn {

// The length of the UTF-8 character `s` begins with; 0 when it is none.
inline size_t utf8Length(std::string_view s)
{
    const auto at = [&](size_t k) -> unsigned char { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0; };
    const unsigned char c = at(0);
    size_t n = 0;
    int low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || at(1) < low || at(1) > high) return 0;
    for (size_t k = 2; k < n; ++k)
        if ((at(k) & 0xC0) != 0x80) return 0;
    return n;
}

// The text as valid UTF-8: a valid character passes, any other byte is read
// as Latin-1.
inline std::string asUtf8(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : utf8Length(s.substr(i));
        if (n > 0) {
            out.append(s.substr(i, n));
            i += n - 1;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A JSON string of the text, quotes included.
inline std::string jsonText(std::string_view text)
{
    std::string out = "\"";
    for (const char ch : asUtf8(text)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

} // namespace vtn
