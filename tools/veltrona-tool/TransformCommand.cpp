// "transform STYLE PART CHORD [options]": every event of one part of a style,
// in the style's order, as the style player would transform it for the chord
// in a fresh engine in live mode with that part current (no variety).
#include "Command.h"
#include "Json.h"

#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "player/Transform.h"
#include "sequence/CStyle.h"

#include <memory>
#include <string>
#include <string_view>

namespace vtntool {
namespace {

bool parseNumber(std::string_view text, int lo, int hi, int& value)
{
    if (text.empty() || text.size() > 5) return false;
    int v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return false;
    value = v;
    return true;
}

// Comma-separated numbers, exactly `count` of them, each within [lo, hi].
bool parseList(std::string_view text, int count, int lo, int hi, int* values)
{
    for (int i = 0; i < count; ++i) {
        const size_t comma = text.find(',');
        const bool last = i == count - 1;
        if (last != (comma == std::string_view::npos)) return false;
        if (!parseNumber(text.substr(0, comma), lo, hi, values[i])) return false;
        if (!last) text.remove_prefix(comma + 1);
    }
    return true;
}

// Only "none" means no chord; any other text must name its root and any bass,
// or a typing error would silence everything but the drums.
bool parseChord(std::string_view symbol, Chord& chord)
{
    if (symbol == "none") {
        buildChord(chord, -1, 0, -1);
        return true;
    }
    parseChordSymbol(chord, symbol);
    const size_t slash = symbol.find('/');
    const bool badBass = slash != std::string_view::npos && slash > 0 && slash + 1 < symbol.size() &&
                         parseNoteName(symbol.substr(slash + 1)) < 0;
    return chord.root >= 0 && !badBass;
}

void triple(Json& j, std::string_view key, const StyleEvent& e)
{
    j.key(key).beginArray().value(e.stat).value(e.db1).value(e.db2).endArray();
}

int runTransform(const std::vector<std::string>& args)
{
    if (args.size() < 3)
        return refuse("usage: veltrona-tool transform STYLE PART CHORD [--bank-select N] [--level-mode N] "
                      "[--target-volume N] [--target-velocity N] [--sysex N] [--volumes A,D,B,O] [--off D,B,O]");
    CKvSeq engine;
    engine.set(engine.inputMode, kLiveMode);
    for (size_t i = 3; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) return refuse("transform: option '" + option + "' needs a value");
        const std::string& text = args[i + 1];
        int v = 0;
        int list[4] = {};
        bool ok = true;
        if (option == "--bank-select" && (ok = parseNumber(text, 0, 2, v)))
            engine.set(engine.styleBankSelect, v);
        else if (option == "--level-mode" && (ok = parseNumber(text, 0, 2, v)))
            engine.set(engine.levelMode, v);
        else if (option == "--target-volume" && (ok = parseNumber(text, 0, 127, v)))
            engine.set(engine.targetVolume, v);
        else if (option == "--target-velocity" && (ok = parseNumber(text, 1, 127, v)))
            engine.set(engine.targetVelocity, v);
        else if (option == "--sysex" && (ok = parseNumber(text, 0, 1, v)))
            engine.set(engine.styleSysEx, v);
        else if (option == "--volumes" && (ok = parseList(text, 4, 0, 200, list))) {
            engine.set(engine.accompVolume, list[0]);
            engine.set(engine.drumsVolume, list[1]);
            engine.set(engine.bassVolume, list[2]);
            engine.set(engine.otherVolume, list[3]);
        } else if (option == "--off" && (ok = parseList(text, 3, 0, 1, list))) {
            engine.set(engine.drumsOff, list[0]);
            engine.set(engine.bassOff, list[1]);
            engine.set(engine.otherOff, list[2]);
        } else if (ok) {
            return refuse("transform: unknown option '" + option + "'");
        }
        if (!ok) return refuse("transform: " + option + " value '" + text + "' is not valid");
    }

    const std::string& path = args[0];
    std::vector<uint8_t> data;
    std::string why;
    if (!readWholeFile(path, kMaxStyleFileBytes, data, why)) return refuse(path + ": " + why);
    auto loaded = std::make_unique<CStyle>();
    CStyle& style = *loaded;
    if (style.readStyle(data.data(), static_cast<int>(data.size()), SequenceOptions{}) == 0)
        return refuse(path + ": not a style file");
    int part = 0;
    if (!parseNumber(args[1], 0, style.partCount() - 1, part))
        return refuse("transform: part '" + args[1] + "' is not 0-" + std::to_string(style.partCount() - 1));
    Chord chord;
    if (!parseChord(args[2], chord)) return refuse("transform: '" + args[2] + "' is not a chord symbol");
    engine.set(engine.currentPart, part);
    const TransformSettings settings = transformSettings(engine);

    Json j;
    j.beginObject().key("events").beginArray();
    const int start = style.parts[static_cast<size_t>(part)].startevent;
    for (int e = style.events[static_cast<size_t>(start)].next; e >= kFirstEvent;
         e = style.events[static_cast<size_t>(e)].next) {
        const MidiEvent& m = style.events[static_cast<size_t>(e)];
        // The name markers of the set-up ("SFF1", "SInt") lie inside it; only a part's marker ends a part.
        if (m.stat == kStatMarker && canonicalPartName(m.string) != "none") break;
        const StyleEvent in{m.stat, m.db1, m.db2, m.onoff};
        StyleEvent out = in;
        const bool played = transformEvent(style, out, chord, part, settings, engine.bassMemory, engine.random);
        j.beginObject().member("index", e).member("ticks", m.ticks);
        triple(j, "in", in);
        if (played)
            triple(j, "out", out);
        else
            j.key("out").null();
        j.endObject();
        if (style.partEndsAfter(part, e)) break;
    }
    j.endArray().endObject();
    return printDocument(j.text());
}

const ToolCommandRegistration transform{{"transform", "STYLE PART CHORD [options]", -1, runTransform}};

} // namespace
} // namespace vtntool
