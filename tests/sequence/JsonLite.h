#pragma once
// A strict little JSON parser for the tests that read the companion tool's
// and the reference script's output. Any syntax error makes parse() fail, so
// it doubles as a validity check of the tool's output.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace jsonlite {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    std::string s; // strings are kept as bytes: \u00XX gives byte XX
    std::vector<Value> a;
    std::map<std::string, Value> o;

    const Value& operator[](const std::string& k) const
    {
        static const Value none;
        auto it = o.find(k);
        return it == o.end() ? none : it->second;
    }
    const Value& operator[](size_t i) const { return a.at(i); }
    int64_t integer() const { return static_cast<int64_t>(n); }
    bool has(const std::string& k) const { return o.count(k) != 0; }
};

class Parser {
public:
    explicit Parser(std::string_view text) : t(text) {}

    bool parse(Value& v)
    {
        if (!value(v)) return false;
        space();
        return p == t.size();
    }

private:
    void space()
    {
        while (p < t.size() && (t[p] == ' ' || t[p] == '\n' || t[p] == '\r' || t[p] == '\t')) ++p;
    }
    bool literal(std::string_view w)
    {
        if (t.substr(p, w.size()) != w) return false;
        p += w.size();
        return true;
    }
    bool value(Value& v)
    {
        space();
        if (p >= t.size()) return false;
        const char c = t[p];
        if (c == '{') return object(v);
        if (c == '[') return array(v);
        if (c == '"') {
            v.kind = Value::String;
            return string(v.s);
        }
        if (literal("true")) return v.kind = Value::Bool, v.b = true, true;
        if (literal("false")) return v.kind = Value::Bool, true;
        if (literal("null")) return v.kind = Value::Null, true;
        return number(v);
    }
    bool number(Value& v)
    {
        const size_t b = p;
        if (p < t.size() && t[p] == '-') ++p;
        while (p < t.size() && ((t[p] >= '0' && t[p] <= '9') || t[p] == '.' || t[p] == 'e' || t[p] == 'E' ||
                                t[p] == '+' || t[p] == '-'))
            ++p;
        if (p == b) return false;
        v.kind = Value::Number;
        v.n = std::stod(std::string(t.substr(b, p - b)));
        return true;
    }
    bool string(std::string& out)
    {
        ++p;
        while (p < t.size() && t[p] != '"') {
            const auto c = static_cast<unsigned char>(t[p++]);
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (p >= t.size()) return false;
            const char e = t[p++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (p + 4 > t.size()) return false;
                const unsigned long cp = std::stoul(std::string(t.substr(p, 4)), nullptr, 16);
                p += 4;
                // The tool writes bytes as \u00XX; nothing else is expected.
                if (cp >= 0x100) return false;
                out += static_cast<char>(cp);
                break;
            }
            default: return false;
            }
        }
        if (p >= t.size()) return false;
        ++p;
        return true;
    }
    bool array(Value& v)
    {
        v.kind = Value::Array;
        ++p;
        space();
        if (p < t.size() && t[p] == ']') return ++p, true;
        for (;;) {
            v.a.emplace_back();
            if (!value(v.a.back())) return false;
            space();
            if (p < t.size() && t[p] == ',') {
                ++p;
                continue;
            }
            if (p < t.size() && t[p] == ']') return ++p, true;
            return false;
        }
    }
    bool object(Value& v)
    {
        v.kind = Value::Object;
        ++p;
        space();
        if (p < t.size() && t[p] == '}') return ++p, true;
        for (;;) {
            space();
            std::string k;
            if (p >= t.size() || t[p] != '"' || !string(k)) return false;
            space();
            if (p >= t.size() || t[p++] != ':') return false;
            if (!value(v.o[k])) return false;
            space();
            if (p < t.size() && t[p] == ',') {
                ++p;
                continue;
            }
            if (p < t.size() && t[p] == '}') return ++p, true;
            return false;
        }
    }

    std::string_view t;
    size_t p = 0;
};

inline bool parse(std::string_view text, Value& v) { return Parser(text).parse(v); }

} // namespace jsonlite
