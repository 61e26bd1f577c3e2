#include "StyleDescription.h"

#include "base/Text.h"
#include "chords/Chord.h"
#include "sequence/CStyle.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <map>
#include <vector>

namespace stylewriter {
namespace {

using Json = nlohmann::json;

constexpr int kTicksPerBeat = 480;

// Thrown and caught inside this file only.
struct Refusal {
    std::string text;
};

[[noreturn]] void refuse(const std::string& at, const std::string& what) { throw Refusal{at + ": " + what}; }

std::string inQuotes(std::string_view s) { return "'" + std::string(s) + "'"; }

// A misspelt key would otherwise be passed over without a word.
void onlyKeys(const Json& j, std::initializer_list<std::string_view> allowed, const std::string& at)
{
    if (!j.is_object()) refuse(at, "must be an object");
    for (auto it = j.begin(); it != j.end(); ++it)
        if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end()) refuse(at, "unknown key " + inQuotes(it.key()));
}

int number(const Json& j, int lo, int hi, const std::string& at)
{
    if (!j.is_number_integer() || j.get<int64_t>() < lo || j.get<int64_t>() > hi)
        refuse(at, "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return j.get<int>();
}

int number(const Json& j, const char* key, int fallback, int lo, int hi, const std::string& at)
{
    return j.contains(key) ? number(j[key], lo, hi, at.empty() ? key : at + "." + key) : fallback;
}

std::string text(const Json& j, const std::string& at)
{
    if (!j.is_string()) refuse(at, "must be a text");
    return j.get<std::string>();
}

// A number, or one of the names a setting is known by.
int setting(const Json& j, std::initializer_list<std::pair<std::string_view, int>> names, int hi, const std::string& at)
{
    if (!j.is_string()) return number(j, 0, hi, at);
    for (const auto& [name, value] : names)
        if (j.get<std::string>() == name) return value;
    std::string known;
    for (const auto& [name, value] : names) known += (known.empty() ? "" : ", ") + std::string(name);
    refuse(at, inQuotes(j.get<std::string>()) + " is none of " + known + " nor a number");
}

int pitchClassOf(std::string_view name, const std::string& at)
{
    const int pc = name.size() <= 2 ? parseNoteName(name) : -1;
    if (pc < 0 || (name.size() == 2 && name[1] != '#' && name[1] != 'b')) refuse(at, inQuotes(name) + " is no note name");
    return pc;
}

// "C4" is 60, "F#2" 42, "Bb-1" 10.
int pitchOf(std::string_view name, const std::string& at)
{
    const size_t letters = name.size() > 1 && (name[1] == '#' || name[1] == 'b') ? 2 : 1;
    const int pc = name.empty() ? -1 : parseNoteName(name.substr(0, letters));
    int octave = 0;
    const char* end = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(name.data() + std::min(letters, name.size()), end, octave);
    const int pitch = pc + 12 * (octave + 1);
    if (pc < 0 || ec != std::errc{} || ptr != end || pitch < 0 || pitch > 127)
        refuse(at, inQuotes(name) + " is no note such as C4 or F#2");
    return pitch;
}

Chord chordOf(std::string_view symbol, const std::string& at)
{
    const size_t letters = symbol.size() > 1 && (symbol[1] == '#' || symbol[1] == 'b') ? 2 : 1;
    const int root = pitchClassOf(symbol.substr(0, letters), at);
    const std::string type = vtn::toLower(symbol.substr(std::min(letters, symbol.size())));
    for (int t = 0; t < kChordTypeCount; ++t) {
        if (vtn::toLower(chordTypeName(t)) != type) continue;
        Chord chord;
        buildChord(chord, root, t, -1);
        return chord;
    }
    refuse(at, inQuotes(symbol) + " is no chord such as CMaj7 or Am7");
}

constexpr std::pair<std::string_view, int> kDrumVoices[] = {
    {"kick", 36},     {"kick2", 35},     {"sidestick", 37}, {"snare", 38},    {"clap", 39},     {"snare2", 40},
    {"floortom", 41}, {"hihat", 42},     {"lowtom", 45},    {"pedalhat", 44}, {"openhat", 46},  {"midtom", 47},
    {"hightom", 50},  {"crash", 49},     {"ride", 51},      {"ridebell", 53}, {"tambourine", 54}, {"splash", 55},
    {"cowbell", 56},  {"cabasa", 69},    {"shaker", 70},    {"triangle", 81},
};

int drumPitch(const std::string& voice, const std::string& at)
{
    for (const auto& [name, pitch] : kDrumVoices)
        if (voice == name) return pitch;
    int pitch = -1;
    const auto [ptr, ec] = std::from_chars(voice.data(), voice.data() + voice.size(), pitch);
    if (ec != std::errc{} || ptr != voice.data() + voice.size() || pitch < 0 || pitch > 127)
        refuse(at, inQuotes(voice) + " is neither a drum name (kick, snare, hihat, ...) nor a note number");
    return pitch;
}

// One step of a line: a rest, the note before held on, or notes struck.
struct Step {
    enum Kind { kRest, kHold, kStrike } kind = kRest;
    std::vector<int> pitches;
    int velocity = 0;
};
using Bar = std::vector<Step>;

int accented(int velocity, char mark)
{
    if (mark == 'X' || mark == '!') return std::min(127, velocity + 22);
    if (mark == 'o' || mark == '?') return std::max(1, velocity * 3 / 5);
    return velocity;
}

// A grid of characters: x strikes, X accents, o plays softly, - holds, . rests, | ends a bar.
std::vector<Bar> gridBars(const std::string& grid, const std::vector<int>& pitches, int velocity, const std::string& at)
{
    std::vector<Bar> bars(1);
    for (size_t i = 0; i < grid.size(); ++i) {
        const char c = grid[i];
        if (c == '|') bars.emplace_back();
        else if (c == '.') bars.back().push_back({Step::kRest, {}, 0});
        else if (c == '-') bars.back().push_back({Step::kHold, {}, 0});
        else if (c == 'x' || c == 'X' || c == 'o') bars.back().push_back({Step::kStrike, pitches, accented(velocity, c)});
        else if (c != ' ') refuse(at, inQuotes(std::string(1, c)) + " at character " + std::to_string(i + 1) + " is none of x X o - . |");
    }
    return bars;
}

// Steps as words: notes joined by + (a trailing ! accents, ? softens), - holds, . rests, | ends a bar.
std::vector<Bar> stepBars(const std::string& steps, int velocity, const std::string& at)
{
    std::vector<Bar> bars(1);
    std::string words;
    for (const char c : steps) words += c == '|' ? std::string(" | ") : std::string(1, c);
    size_t i = 0;
    while ((i = words.find_first_not_of(" \t\n", i)) != std::string::npos) {
        const size_t end = std::min(words.find_first_of(" \t\n", i), words.size());
        std::string word = words.substr(i, end - i);
        i = end;
        if (word == "|") {
            bars.emplace_back();
        } else if (word == "." || word == "-") {
            bars.back().push_back({word == "." ? Step::kRest : Step::kHold, {}, 0});
        } else {
            Step step{Step::kStrike, {}, velocity};
            if (word.back() == '!' || word.back() == '?') {
                step.velocity = accented(velocity, word.back());
                word.pop_back();
            }
            for (size_t from = 0; from <= word.size();) {
                const size_t plus = std::min(word.find('+', from), word.size());
                step.pitches.push_back(pitchOf(std::string_view(word).substr(from, plus - from), at));
                from = plus + 1;
            }
            bars.back().push_back(step);
        }
    }
    return bars;
}

struct Layout {
    int barTicks;
    int firstTick; // of the part
    int bars;      // of the part
};

// Lays the bars out over the part, repeating them when they are fewer.
void writeLine(StyleWriter& w, int channel, const std::vector<Bar>& bars, const Layout& part, const std::string& at)
{
    if (part.bars % static_cast<int>(bars.size()) != 0)
        refuse(at, std::to_string(bars.size()) + " bars do not repeat evenly over the part's " + std::to_string(part.bars));
    for (size_t b = 0; b < bars.size(); ++b)
        if (bars[b].empty() || part.barTicks % static_cast<int>(bars[b].size()) != 0)
            refuse(at, "bar " + std::to_string(b + 1) + " has " + std::to_string(bars[b].size()) +
                           " steps; a bar of " + std::to_string(part.barTicks) + " ticks does not divide into them");
    const Step* open = nullptr;
    int openTick = 0;
    auto close = [&](int tick) {
        if (!open) return;
        const int length = tick - openTick;
        // A little air before the next note, so that a repeated pitch ends first.
        for (const int pitch : open->pitches) w.note(openTick, channel, pitch, open->velocity, length - std::min(20, length / 8));
        open = nullptr;
    };
    for (int b = 0; b < part.bars; ++b) {
        const Bar& bar = bars[static_cast<size_t>(b) % bars.size()];
        const int stepTicks = part.barTicks / static_cast<int>(bar.size());
        for (size_t k = 0; k < bar.size(); ++k) {
            const int tick = part.firstTick + b * part.barTicks + static_cast<int>(k) * stepTicks;
            if (bar[k].kind == Step::kHold) continue;
            close(tick);
            if (bar[k].kind == Step::kStrike) {
                open = &bar[k];
                openTick = tick;
            }
        }
    }
    close(part.firstTick + part.bars * part.barTicks);
}

struct Channel {
    std::string name;
    int source = 0;
    bool drum = false;
    Json table; // the channel's own table settings; part groups add to them
};

ChannelTable channelTable(const Channel& c, const Json& settings, const Chord& styleChord, const std::string& at)
{
    onlyKeys(settings, {"ntt", "ntr", "rtr", "highKey", "lowest", "highest", "sourceChord"}, at);
    ChannelTable t;
    t.source = c.source;
    t.name = c.name;
    t.dest = c.source - 8; // stored as 0-7 for channels 8-15
    if (c.drum) t.chordMute[0] = 0x07; // the drum bit
    const Chord chord = settings.contains("sourceChord") ? chordOf(text(settings["sourceChord"], at + ".sourceChord"), at + ".sourceChord") : styleChord;
    t.root = chord.root;
    t.type = chord.type;
    t.ntr = number(settings, "ntr", c.drum ? 1 : 0, 0, 1, at);
    t.ntt = settings.contains("ntt")
                ? setting(settings["ntt"], {{"bypass", 0}, {"melody", 1}, {"chord", 2}, {"bass", 3}}, 5, at + ".ntt")
                : c.drum ? 0 : 2;
    t.rtr = settings.contains("rtr") ? setting(settings["rtr"], {{"stop", 0}, {"retrigger", 3}}, 5, at + ".rtr") : c.drum ? 0 : 3;
    t.highKey = settings.contains("highKey") ? pitchClassOf(text(settings["highKey"], at + ".highKey"), at + ".highKey") : 6;
    t.lowLimit = settings.contains("lowest") ? pitchOf(text(settings["lowest"], at + ".lowest"), at + ".lowest") : 0;
    t.highLimit = settings.contains("highest") ? pitchOf(text(settings["highest"], at + ".highest"), at + ".highest") : 127;
    return t;
}

Bytes build(const Json& d)
{
    onlyKeys(d, {"name", "tempo", "meter", "sourceChord", "channels", "tables", "parts"}, "description");
    const std::string meter = d.contains("meter") ? text(d["meter"], "meter") : "4/4";
    const int numerator = std::atoi(meter.c_str());
    const int denominator = meter.find('/') != std::string::npos ? std::atoi(meter.c_str() + meter.find('/') + 1) : 0;
    if (numerator < 1 || numerator > 16 || (denominator != 2 && denominator != 4 && denominator != 8))
        refuse("meter", inQuotes(meter) + " is no time signature such as 4/4 or 3/4");
    StyleWriter w(kTicksPerBeat, numerator, denominator, number(d, "tempo", 120, 10, 250, ""));
    if (d.contains("name")) w.trackName = text(d["name"], "name");
    const Chord styleChord = chordOf(d.contains("sourceChord") ? text(d["sourceChord"], "sourceChord") : "CMaj7", "sourceChord");

    // Channel set-up, played in the first bar before any part.
    std::vector<Channel> channels;
    if (!d.contains("channels") || !d["channels"].is_object() || d["channels"].empty()) refuse("channels", "must name at least one channel");
    for (auto it = d["channels"].begin(); it != d["channels"].end(); ++it) {
        const std::string at = "channels." + it.key();
        const Json& c = it.value();
        onlyKeys(c, {"source", "drum", "bank", "program", "volume", "pan", "reverb", "chorus", "table"}, at);
        if (c.contains("drum") && !c["drum"].is_boolean()) refuse(at + ".drum", "must be true or false");
        if (c.contains("table") && !c["table"].is_object()) refuse(at + ".table", "must be an object");
        Channel ch{it.key(), number(c, "source", -1, 8, 15, at), c.value("drum", false), c.value("table", Json::object())};
        if (ch.source < 0) refuse(at, "needs its source channel (8-15)");
        for (const Channel& other : channels)
            if (other.source == ch.source) refuse(at, "source channel " + std::to_string(ch.source) + " is also " + other.name + "'s");
        if (c.contains("bank")) {
            if (!c["bank"].is_array() || c["bank"].size() != 2) refuse(at + ".bank", "must be [MSB, LSB]");
            w.controller(0, ch.source, 0, number(c["bank"][0], 0, 127, at + ".bank"));
            w.controller(0, ch.source, 32, number(c["bank"][1], 0, 127, at + ".bank"));
        }
        if (c.contains("program")) w.program(0, ch.source, number(c["program"], 0, 127, at + ".program"));
        for (const auto& [key, controller] : {std::pair{"volume", 7}, {"pan", 10}, {"reverb", 91}, {"chorus", 93}})
            if (c.contains(key)) w.controller(0, ch.source, controller, number(c[key], 0, 127, at + "." + key));
        channelTable(ch, ch.table, styleChord, at + ".table"); // its own faults named here, not in a group
        channels.push_back(ch);
    }
    auto channelNamed = [&](const std::string& name, const std::string& at) -> const Channel& {
        for (const Channel& c : channels)
            if (c.name == name) return c;
        refuse(at, inQuotes(name) + " is no channel of the style");
    };

    if (!d.contains("parts") || !d["parts"].is_array() || d["parts"].empty()) refuse("parts", "must list at least one part");
    const int barTicks = kTicksPerBeat * 4 / denominator * numerator;
    std::vector<std::string> partNames;
    int bar = 2;
    for (size_t p = 0; p < d["parts"].size(); ++p) {
        const Json& part = d["parts"][p];
        std::string at = "parts[" + std::to_string(p) + "]";
        if (!part.is_object()) refuse(at, "must be an object");
        const std::string name = canonicalPartName(part.contains("name") ? text(part["name"], at + ".name") : "");
        if (name == "none") refuse(at + ".name", "must name a part such as Main A, Fill In BB or Ending A");
        if (std::find(partNames.begin(), partNames.end(), name) != partNames.end()) refuse(at, name + " comes twice");
        at += " (" + name + ")";
        const Layout layout{barTicks, w.at(bar), number(part, "bars", 0, 1, 64, at)};
        if (layout.bars == 0) refuse(at, "needs its number of bars");
        w.part(name, bar);
        for (auto it = part.begin(); it != part.end(); ++it) {
            if (it.key() == "name" || it.key() == "bars") continue;
            const std::string lineAt = at + "." + it.key();
            const Channel& ch = channelNamed(it.key(), at);
            if (ch.drum) {
                if (!it.value().is_object()) refuse(lineAt, "must map drum names to grids");
                for (auto voice = it.value().begin(); voice != it.value().end(); ++voice) {
                    const std::string voiceAt = lineAt + "." + voice.key();
                    const Json& v = voice.value();
                    if (!v.is_string()) onlyKeys(v, {"grid", "vel"}, voiceAt);
                    const std::string grid = text(v.is_string() ? v : v.value("grid", Json()), voiceAt);
                    const int velocity = v.is_string() ? 96 : number(v, "vel", 96, 1, 127, voiceAt);
                    writeLine(w, ch.source, gridBars(grid, {drumPitch(voice.key(), voiceAt)}, velocity, voiceAt), layout, voiceAt);
                }
                continue;
            }
            const Json lines = it.value().is_array() ? it.value() : Json::array({it.value()});
            for (size_t k = 0; k < lines.size(); ++k) {
                const std::string layerAt = lines.size() > 1 ? lineAt + "[" + std::to_string(k) + "]" : lineAt;
                const Json& line = lines[k];
                onlyKeys(line, {"steps", "notes", "grid", "vel"}, layerAt);
                const int velocity = number(line, "vel", 90, 1, 127, layerAt);
                if (line.contains("steps") == (line.contains("notes") || line.contains("grid")))
                    refuse(layerAt, "needs either steps, or notes with a grid");
                std::vector<Bar> bars;
                if (line.contains("steps")) {
                    bars = stepBars(text(line["steps"], layerAt + ".steps"), velocity, layerAt + ".steps");
                } else {
                    const std::vector<Bar> chord = stepBars(text(line.value("notes", Json()), layerAt + ".notes"), velocity, layerAt + ".notes");
                    if (chord.size() != 1 || chord[0].size() != 1) refuse(layerAt + ".notes", "must be one chord such as E4+G4+B4");
                    bars = gridBars(text(line.value("grid", Json()), layerAt + ".grid"), chord[0][0].pitches, velocity, layerAt + ".grid");
                }
                writeLine(w, ch.source, bars, layout, layerAt);
            }
        }
        partNames.push_back(name);
        bar += layout.bars;
    }

    // Channel tables: one group for all parts, unless the description groups them.
    const Json groups = d.contains("tables") ? d["tables"] : Json::array({{{"parts", partNames}}});
    if (!groups.is_array()) refuse("tables", "must be a list of part groups");
    std::vector<std::string> covered;
    for (size_t g = 0; g < groups.size(); ++g) {
        const std::string at = "tables[" + std::to_string(g) + "]";
        onlyKeys(groups[g], {"parts", "channels"}, at);
        Segment segment;
        if (!groups[g].contains("parts") || !groups[g]["parts"].is_array()) refuse(at + ".parts", "must list part names");
        for (const Json& n : groups[g]["parts"]) {
            const std::string name = canonicalPartName(text(n, at + ".parts"));
            if (std::find(partNames.begin(), partNames.end(), name) == partNames.end())
                refuse(at + ".parts", inQuotes(text(n, at)) + " is no part of the style");
            segment.sdec += (segment.sdec.empty() ? "" : ",") + name;
            covered.push_back(name);
        }
        const Json overrides = groups[g].value("channels", Json::object());
        if (!overrides.is_object()) refuse(at + ".channels", "must map channel names to table settings");
        for (auto it = overrides.begin(); it != overrides.end(); ++it) {
            channelNamed(it.key(), at + ".channels");
            if (!it.value().is_object()) refuse(at + ".channels." + it.key(), "must be an object");
        }
        for (const Channel& c : channels) {
            Json settings = c.table;
            if (overrides.contains(c.name)) settings.update(overrides[c.name]);
            segment.tables.push_back(channelTable(c, settings, styleChord, at + ".channels." + c.name));
        }
        w.segment(segment);
    }
    for (const std::string& name : partNames)
        if (std::find(covered.begin(), covered.end(), name) == covered.end()) refuse("tables", name + " is in no part group");
    return w.build();
}

} // namespace

bool buildStyleFromDescription(std::string_view json, Bytes& out, std::string& why)
{
    try {
        out = build(Json::parse(json));
        return true;
    } catch (const Refusal& r) {
        why = r.text;
    } catch (const Json::exception& e) {
        // Without the library's "[json.exception.parse_error.101] " tag.
        const std::string message = e.what();
        why = message.substr(message.find(']') == std::string::npos ? 0 : message.find(']') + 2);
    }
    return false;
}

} // namespace stylewriter
