// "transform STYLE PART CHORD [options]": every event of one part of a style,
// in the style's order, as the style player would transform it for the chord
// in a fresh engine in live mode with that part current (no variety).
#include "Command.h"
#include "EngineOptions.h"

#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "player/Transform.h"
#include "sequence/CStyle.h"

#include <memory>
#include <string>
#include <string_view>

namespace vtntool {
namespace {

Document triple(const StyleEvent& e) { return {e.stat, e.db1, e.db2}; }

int runTransform(const std::vector<std::string>& args)
{
    if (args.size() < 3)
        return refuse(std::string("usage: veltrona-tool transform STYLE PART CHORD ") + kEngineOptionsUsage);
    CKvSeq engine;
    engine.enterLiveMode();
    for (size_t i = 3; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) return refuse("transform: option '" + option + "' needs a value");
        const OptionResult r = applyEngineOption(engine, option, args[i + 1]);
        if (r == OptionResult::Unknown) return refuse("transform: unknown option '" + option + "'");
        if (r == OptionResult::BadValue) return refuse("transform: " + option + " value '" + args[i + 1] + "' is not valid");
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
    TransformSettings settings = transformSettings(engine);
    settings.currentPart = part;

    Document events = Document::array();
    const int start = style.parts[static_cast<size_t>(part)].startevent;
    for (int e = style.events[static_cast<size_t>(start)].next; e >= kFirstEvent;
         e = style.events[static_cast<size_t>(e)].next) {
        const MidiEvent& m = style.events[static_cast<size_t>(e)];
        // The name markers of the set-up ("SFF1", "SInt") lie inside it; only a part's marker ends a part.
        if (m.stat == kStatMarker && canonicalPartName(m.string) != "none") break;
        const StyleEvent in{m.stat, m.db1, m.db2, m.onoff};
        StyleEvent out = in;
        const bool played = transformEvent(style, out, chord, part, settings, engine.bassMemory, engine.random);
        events.push_back({{"index", e}, {"ticks", m.ticks}, {"in", triple(in)}, {"out", played ? triple(out) : Document()}});
        if (style.partEndsAfter(part, e)) break;
    }
    return printDocument({{"events", std::move(events)}});
}

const ToolCommandRegistration transform{{"transform", "STYLE PART CHORD [options]", -1, runTransform}};

} // namespace
} // namespace vtntool
