#include "EngineOptions.h"

#include "base/Text.h"
#include "chords/Chord.h"
#include "engine/CKvSeq.h"

#include <algorithm>

namespace vtntool {
namespace {

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

// What --volumes and --off set, in their order.
constexpr int32_t Mixer::*kVolumes[] = {&Mixer::accompVolume, &Mixer::drumsVolume, &Mixer::bassVolume, &Mixer::otherVolume};
constexpr int32_t Mixer::*kSwitches[] = {&Mixer::drumsOff, &Mixer::bassOff, &Mixer::otherOff};

bool startsWithMaj(std::string_view t)
{
    return t.size() >= 3 && (t[0] | 0x20) == 'm' && (t[1] | 0x20) == 'a' && (t[2] | 0x20) == 'j';
}

} // namespace

const char* const kEngineOptionsUsage = "[--bank-select N] [--level-mode N] [--target-volume N] [--target-velocity N] "
                                        "[--sysex N] [--volumes A,D,B,O] [--off D,B,O]";

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

// The chord parser reads any unknown type text as major; a typing error must
// be refused, not played as a major chord.
bool parseChord(std::string_view symbol, Chord& chord)
{
    if (symbol == "none") {
        buildChord(chord, -1, 0, -1);
        return true;
    }
    parseChordSymbol(chord, symbol);
    const size_t rootEnd = symbol.size() > 1 && (symbol[1] == '#' || symbol[1] == 'b') ? 2 : 1;
    const size_t slash = symbol.find('/', rootEnd);
    const size_t from = std::min(rootEnd, symbol.size());
    const std::string_view type = vtn::trimView(symbol.substr(from, slash == std::string_view::npos ? slash : slash - from));
    const bool badType = !type.empty() && parseChordType(type) == 0 && !startsWithMaj(type);
    const bool badBass = slash != std::string_view::npos && parseNoteName(symbol.substr(slash + 1)) < 0;
    return chord.root >= 0 && !badType && !badBass;
}

OptionResult applyEngineOption(CKvSeq& engine, const std::string& option, const std::string& text)
{
    int v = 0;
    int list[4] = {};
    bool ok = true;
    if (option == "--bank-select" && (ok = parseNumber(text, 0, 2, v)))
        engine.setSetting(&Defaults::styleBankSelect, v);
    else if (option == "--level-mode" && (ok = parseNumber(text, 0, 2, v)))
        engine.setSetting(&Defaults::levelMode, v);
    else if (option == "--target-volume" && (ok = parseNumber(text, 0, 127, v)))
        engine.setSetting(&Defaults::targetVolume, v);
    else if (option == "--target-velocity" && (ok = parseNumber(text, 1, 127, v)))
        engine.setSetting(&Defaults::targetVelocity, v);
    else if (option == "--sysex" && (ok = parseNumber(text, 0, 1, v)))
        engine.setSetting(&Defaults::styleSysEx, v);
    else if (option == "--volumes" && (ok = parseList(text, 4, 0, 200, list))) {
        for (int i = 0; i < 4; ++i) engine.setSetting(kVolumes[i], list[i]);
    } else if (option == "--off" && (ok = parseList(text, 3, 0, 1, list))) {
        for (int i = 0; i < 3; ++i) engine.setSetting(kSwitches[i], list[i]);
    } else if (ok) {
        return OptionResult::Unknown;
    }
    return ok ? OptionResult::Applied : OptionResult::BadValue;
}

} // namespace vtntool
