#pragma once
// A small JSON writer for the tool's output. Strings are written byte by byte:
// control characters and every byte above 0x7E come out as \u00XX, so the
// output is valid (ASCII) JSON whatever bytes a file's texts hold.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vtntool {

class Json {
public:
    Json& beginObject() { return open('{'); }
    Json& endObject() { return close('}'); }
    Json& beginArray() { return open('['); }
    Json& endArray() { return close(']'); }

    // Key of the next member of the enclosing object.
    Json& key(std::string_view k)
    {
        separate();
        appendString(k);
        out += ':';
        afterKey = true;
        return *this;
    }

    Json& value(int64_t v)
    {
        separate();
        out += std::to_string(v);
        return *this;
    }
    Json& value(int v) { return value(static_cast<int64_t>(v)); }
    // Three decimals: enough for seconds of audio, and the same text every time.
    Json& value(double v)
    {
        separate();
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", v);
        out += text;
        return *this;
    }
    Json& value(bool v)
    {
        separate();
        out += v ? "true" : "false";
        return *this;
    }
    Json& value(std::string_view s)
    {
        separate();
        appendString(s);
        return *this;
    }
    Json& value(const char* s) { return value(std::string_view(s)); }
    Json& null()
    {
        separate();
        out += "null";
        return *this;
    }

    template <typename T> Json& member(std::string_view k, const T& v) { return key(k).value(v); }

    const std::string& text() const { return out; }

    static std::string escape(std::string_view s)
    {
        Json j;
        j.appendString(s);
        return j.out;
    }

private:
    Json& open(char c)
    {
        separate();
        out += c;
        first.push_back(true);
        return *this;
    }
    Json& close(char c)
    {
        out += c;
        if (!first.empty()) first.pop_back();
        return *this;
    }
    // A comma before every element but the first of its container; none
    // between a key and its value.
    void separate()
    {
        if (afterKey) {
            afterKey = false;
            return;
        }
        if (first.empty()) return;
        if (!first.back()) out += ',';
        first.back() = false;
    }
    void appendString(std::string_view s)
    {
        static constexpr char kHex[] = "0123456789abcdef";
        out += '"';
        for (const char ch : s) {
            const auto c = static_cast<unsigned char>(ch);
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c > 0x7E) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                } else {
                    out += static_cast<char>(c);
                }
            }
        }
        out += '"';
    }

    std::string out;
    std::vector<bool> first;
    bool afterKey = false;
};

} // namespace vtntool
