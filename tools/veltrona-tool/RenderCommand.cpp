// "render STYLE SHEET OUT.mid [options]": a chord sheet played through the
// real style player on the manual clock, as fast as it computes, and what the
// port sent written as a Standard MIDI File of 480 ticks per quarter note,
// with the chord and part events; tick 0 is the moment of the first chord.
// OUT.wav: the same file played through a SoundFont into audio.
#include "Command.h"
#include "EngineOptions.h"
#include "JsonBytes.h"
#include "LiveEngineSetup.h"
#include "WavRender.h"

#include "base/CClock.h"
#include "base/MidiStatus.h"
#include "base/Text.h"
#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vtntool {
namespace {

constexpr int kPpq = 480;
// Far from 0, as on a running machine.
constexpr int64_t kStartUs = 1'000'000'000;
// An Ending asked for plays out past the sheet's end, but never longer than this.
constexpr int kEndingBarsMax = 32;
// How long (real time) the player may take for one step before it is asked again.
constexpr int64_t kStepWaitMs = 20;

struct SheetBar {
    std::string part; // as written; empty: none
    std::vector<std::string> symbols;
};

bool fail(std::string& why, std::string text)
{
    why = std::move(text);
    return false;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The sheet as bars; empty bars at either end ("| C | F |") are dropped.
bool splitSheet(std::string_view text, std::vector<SheetBar>& bars, std::string& why)
{
    SheetBar bar;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '|') {
            bars.push_back(std::move(bar));
            bar = SheetBar{};
            ++i;
        } else if (isBlank(c)) {
            ++i;
        } else if (c == '[') {
            const size_t end = text.find(']', i);
            if (end == std::string_view::npos) return fail(why, "'[' without ']'");
            const std::string name = vtn::trim(text.substr(i + 1, end - i - 1));
            // A part takes over at a bar line, so its name stands before a bar.
            if (!bar.symbols.empty()) return fail(why, "part '" + name + "' inside a bar");
            if (!bar.part.empty()) return fail(why, "two parts before one bar");
            bar.part = name;
            i = end + 1;
        } else {
            const size_t from = i;
            while (i < text.size() && !isBlank(text[i]) && text[i] != '|' && text[i] != '[') ++i;
            bar.symbols.emplace_back(text.substr(from, i - from));
        }
    }
    bars.push_back(std::move(bar));
    auto empty = [](const SheetBar& b) { return b.part.empty() && b.symbols.empty(); };
    while (!bars.empty() && empty(bars.back())) bars.pop_back();
    while (!bars.empty() && empty(bars.front())) bars.erase(bars.begin());
    return true;
}

// What the musician does at a moment of the sheet, in ticks from the first chord.
struct Cue {
    enum Kind { kChord, kPart, kFunction, kEnd } kind;
    int64_t tick;
    Chord chord;
    int part = 0;
};

bool sameLetters(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if ((text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]) != lower[i]) return false;
    return true;
}

// The part a name in brackets asks for, found as the style names its parts;
// `main` is the Main in use, whose letter a bare "Fill In" takes.
int findNamedPart(const CStyle& style, const std::string& name, int main, std::string& why)
{
    if (sameLetters(name, "fill in")) {
        int type = kPartFillIn, level1 = style.parts[static_cast<size_t>(main)].level1, level2 = level1;
        const int found = style.findPart(type, level1, level2);
        if (found > 0 && type == kPartFillIn) return found;
        why = "the style has no Fill In";
        return -1;
    }
    const std::string canonical = canonicalPartName(name);
    if (canonical == "none") {
        why = "'" + name + "' is neither a part nor a function";
        return -1;
    }
    for (int k = 1; k < style.partCount(); ++k)
        if (style.parts[static_cast<size_t>(k)].name == canonical &&
            style.parts[static_cast<size_t>(k)].startevent >= kFirstEvent)
            return k;
    why = "the style has no part '" + canonical + "'";
    return -1;
}

// The function a text names, short or long name in any case; -1 when none.
int functionNamed(std::string_view text)
{
    const FunctionInfo* functions = functionCatalogue();
    const std::string wanted = vtn::toLower(vtn::trim(text));
    for (int f = kFunctionCount - 1; f >= 0; --f)
        for (const char* name : {functions[f].shortName, functions[f].menuName})
            if (*name && vtn::toLower(name) == wanted) return f;
    return -1;
}

struct Plan {
    int firstPart = 0;
    std::vector<Cue> cues; // in time order
    bool ending = false;   // an Ending is asked for: it ends the render
};

// Turns the bars into cues: chords spread evenly over the beats, a part
// button pressed in the middle of the last beat of the bar before its bar
// (a Fill In asked for there waits for the bar line), the end after the last bar.
bool planSheet(const std::vector<SheetBar>& bars, const CStyle& style, int startPart, Plan& plan, std::string& why)
{
    const int64_t beatTicks = kPpq * 4 / std::max(1, style.denominator);
    const int beats = std::max(1, style.numerator);
    const int64_t barTicks = beatTicks * beats;
    int main = startPart;
    if (style.partType(main) != kPartMain) {
        int type = kPartMain, level1 = 0, level2 = 0;
        main = style.findPart(type, level1, level2);
    }
    plan.firstPart = startPart;
    bool haveChord = false;
    for (size_t b = 0; b < bars.size(); ++b) {
        const SheetBar& bar = bars[b];
        const int64_t barTick = static_cast<int64_t>(b) * barTicks;
        const std::string at = "bar " + std::to_string(b + 1) + ": ";
        const int function = functionNamed(bar.part);
        if (!bar.part.empty() && canonicalPartName(bar.part) == "none" && function >= 0) {
            // A button pressed and let go where a part button would be.
            plan.cues.push_back({Cue::kFunction, b == 0 ? 0 : barTick - beatTicks / 2, Chord{}, function});
        } else if (!bar.part.empty()) {
            const int part = findNamedPart(style, bar.part, main, why);
            if (part < 0) return fail(why, at + why);
            if (style.partType(part) == kPartMain) main = part;
            if (style.partType(part) == kPartEnding) plan.ending = true;
            if (b == 0)
                plan.firstPart = part;
            else
                plan.cues.push_back({Cue::kPart, barTick - beatTicks / 2, Chord{}, part});
        }
        const int count = static_cast<int>(bar.symbols.size());
        if (count > beats) return fail(why, at + std::to_string(count) + " chords in " + std::to_string(beats) + " beats");
        for (int j = 0; j < count; ++j) {
            const std::string& symbol = bar.symbols[static_cast<size_t>(j)];
            if (symbol == "-") {
                if (!haveChord) return fail(why, at + "'-' repeats no chord");
                continue;
            }
            Cue cue{Cue::kChord, barTick + j * beats / count * beatTicks, Chord{}, 0};
            if (!parseChord(symbol, cue.chord)) return fail(why, at + "'" + symbol + "' is not a chord symbol");
            plan.cues.push_back(cue);
            haveChord = true;
        }
        if (b == 0 && (count == 0 || bar.symbols[0] == "-")) return fail(why, "the first bar must begin with a chord");
    }
    if (bars.empty()) return fail(why, "the sheet has no bars");
    plan.cues.push_back({Cue::kEnd, static_cast<int64_t>(bars.size()) * barTicks, Chord{}, 0});
    std::stable_sort(plan.cues.begin(), plan.cues.end(), [](const Cue& a, const Cue& b) { return a.tick < b.tick; });
    return true;
}

// One event of the file, before it goes into the sequence.
struct Item {
    int64_t tick;
    int rank; // at one tick: part, then chord, then what the port sent
    int stat, db1, db2, db3;
    std::string text;
};

class Renderer {
public:
    Renderer(CKvSeq& e, int bpm) : engine(e), clock(*e.clock), tempo(bpm) {}

    void play(const Plan& plan, const CStyle& style)
    {
        const int64_t barUs = usOf(int64_t{kPpq} * 4 / std::max(1, style.denominator) * std::max(1, style.numerator));
        engine.selectPart(plan.firstPart);
        lastPart = engine.get(engine.play.currentPart);
        items.push_back({0, 0, kStatVariation, 0, 0, 0, engine.currentPartName()});
        bool started = false;
        int64_t stopAtUs = -1; // past the sheet, while an Ending plays out
        size_t next = 0;
        for (;;) {
            if (started) {
                if (!settle()) break; // the player has ended (after an Ending, or stopped)
                notePartChange(style);
            }
            const int64_t wake = started ? clock.nextWakeUs() : -1;
            if (next < plan.cues.size()) {
                const Cue& cue = plan.cues[next];
                const int64_t due = kStartUs + usOf(cue.tick);
                // At the player's own wake-up the cue comes first, so that its
                // step at that moment already sees it: the time moves without
                // waking the player, the cue wakes it or the move after it does.
                if (wake < 0 || wake >= due) {
                    clock.presetTime(due);
                    ++next;
                    if (cue.kind == Cue::kChord) {
                        items.push_back({cue.tick, 1, kStatChord, cue.chord.root, cue.chord.type, cue.chord.bass, {}});
                        engine.setChord(cue.chord.root, cue.chord.type, cue.chord.bass);
                        started = true;
                    } else if (cue.kind == Cue::kPart) {
                        engine.requestPart(cue.part);
                    } else if (cue.kind == Cue::kFunction) {
                        engine.liveInput->callFunction(cue.part, 1);
                        engine.liveInput->callFunction(cue.part, 2);
                    } else if (plan.ending) {
                        stopAtUs = due + kEndingBarsMax * barUs;
                    } else {
                        engine.requestStop();
                    }
                    clock.advanceTo(due);
                    continue;
                }
            }
            if (wake < 0) break;
            if (stopAtUs >= 0 && wake >= stopAtUs) {
                engine.requestStop();
                stopAtUs = -1;
            }
            clock.advanceTo(wake);
        }
        for (const CapturedMessage& m : engine.port->capture.take()) {
            const int64_t tick = std::max<int64_t>(0, tickOf(m.timeUs - kStartUs));
            if (m.status == 0xF0) {
                std::string text;
                char hex[4];
                for (const unsigned char c : m.sysex) {
                    std::snprintf(hex, sizeof hex, "%02X ", c);
                    text += hex;
                }
                items.push_back({tick, 2, kStatSysEx, 0, 0, 0, text});
            } else if (isChannelMessage(m.status)) {
                items.push_back({tick, 2, m.status, m.d1, m.d2, 0, {}});
                if (isNoteOn(m.status, m.d2)) ++noteOns;
            }
        }
        std::stable_sort(items.begin(), items.end(),
                         [](const Item& a, const Item& b) { return a.tick != b.tick ? a.tick < b.tick : a.rank < b.rank; });
    }

    std::vector<Item> items;
    int noteOns = 0;

private:
    int64_t usOf(int64_t ticks) const { return ticks * 60'000'000 / (int64_t{kPpq} * tempo); }
    int64_t tickOf(int64_t us) const { return (us * kPpq * tempo + 30'000'000) / 60'000'000; }

    // Waits until the player has done everything due by now and sleeps;
    // false when it has ended instead.
    bool settle()
    {
        while (!clock.waitUntilAsleep(kStepWaitMs))
            if (!engine.isStylePlaying()) return false;
        return engine.isStylePlaying();
    }

    void notePartChange(const CStyle& style)
    {
        const int part = engine.get(engine.play.currentPart);
        if (part == lastPart) return;
        lastPart = part;
        // Parts take over on a beat; the player sees the beat at its next
        // step, up to a millisecond after it.
        const int64_t beatTicks = kPpq * 4 / std::max(1, style.denominator);
        const int64_t tick = tickOf(clock.nowUs() - kStartUs);
        items.push_back({(tick + beatTicks / 2) / beatTicks * beatTicks, 0, kStatVariation, 0, 0, 0, engine.currentPartName()});
    }

    CKvSeq& engine;
    CClock& clock;
    int tempo;
    int lastPart = 0;
};

// GM or GM2 System On, to any device ("F0 7E dd 09 01 F7").
bool isGmSystemOn(const std::string& hex)
{
    const std::string bytes = vtn::trim(hex);
    return bytes.size() == 17 && bytes.starts_with("F0 7E ") && (bytes.substr(9) == "09 01 F7" || bytes.substr(9) == "09 03 F7");
}

std::string baseName(const std::string& path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.substr(0, name.find('.'));
}

int runRender(const std::vector<std::string>& args)
{
    if (args.size() < 3)
        return refuse(std::string("usage: veltrona-tool render STYLE SHEET OUT.mid|OUT.wav [--tempo BPM] [--soundfont PATH] ") +
                      kEngineOptionsUsage);
    const std::string& outPath = args[2];
    const bool wav = outPath.size() > 4 && vtn::toLower(outPath.substr(outPath.size() - 4)) == ".wav";
    std::string soundFont;
    CKvSeq engine;
    startLiveEngine(engine, true);
    engine.clock->setManual(kStartUs);
    int tempo = 0;
    for (size_t i = 3; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) return refuse("render: option '" + option + "' needs a value");
        const std::string& value = args[i + 1];
        OptionResult r = OptionResult::Applied;
        if (option == "--tempo")
            r = parseNumber(value, 10, 250, tempo) ? OptionResult::Applied : OptionResult::BadValue;
        else if (option == "--soundfont")
            soundFont = value;
        else
            r = applyEngineOption(engine, option, value);
        if (r == OptionResult::Unknown) return refuse("render: unknown option '" + option + "'");
        if (r == OptionResult::BadValue) return refuse("render: " + option + " value '" + value + "' is not valid");
    }

    if (wav && soundFont.empty()) soundFont = defaultSoundFont();
    if (wav && soundFont.empty()) return refuse("render: no SoundFont found; install fluid-soundfont-gm or give --soundfont PATH");

    const std::string& stylePath = args[0];
    std::vector<uint8_t> data;
    std::string why;
    if (!readWholeFile(stylePath, kMaxStyleFileBytes, data, why)) return refuse(stylePath + ": " + why);
    if (engine.loadStyle(-2, data.data(), static_cast<int>(data.size()), stylePath) < 0)
        return refuse(stylePath + ": not a style file");
    const CStyle& style = *engine.currentStyle();
    if (style.partCount() < 2) return refuse(stylePath + ": the style has no parts");

    std::vector<uint8_t> sheetText;
    if (!readWholeFile(args[1], size_t{1} << 20, sheetText, why)) return refuse(args[1] + ": " + why);
    std::vector<SheetBar> bars;
    Plan plan;
    const std::string_view text(reinterpret_cast<const char*>(sheetText.data()), sheetText.size());
    if (!splitSheet(text, bars, why) || !planSheet(bars, style, engine.get(engine.play.currentPart), plan, why))
        return refuse(args[1] + ": " + why);

    // The render's tempo holds throughout: tempo events of the style would
    // move the music away from the file's one tempo.
    if (tempo == 0) tempo = style.tempo > 0 ? std::clamp(style.tempo, 10, 250) : 120;
    engine.setTempo(tempo);
    engine.setUserTempo(tempo);
    engine.seedRandom(1);
    engine.bassMemory.reset();

    Renderer renderer(engine, tempo);
    renderer.play(plan, style);

    auto sequence = std::make_unique<CMidiSequence>();
    CMidiSequence& s = *sequence;
    s.ticksPerBeat = kPpq;
    s.numerator = style.numerator;
    s.denominator = style.denominator;
    s.tempo = tempo;
    int at = kMainList;
    int64_t lastTick = 0;
    for (const Item& item : renderer.items) {
        // FluidSynth takes GM System On as an order to ignore bank select from
        // then on, which would turn the drum kits of a style's own banks (MSB
        // 127) into pianos. Its synth starts reset, so the audio goes without.
        if (wav && item.stat == kStatSysEx && isGmSystemOn(item.text)) continue;
        at = s.insertEvent(at, static_cast<int>(item.tick), item.stat, item.db1, item.db2, item.text, 0, 0);
        s.events[static_cast<size_t>(at)].db3 = item.db3;
        lastTick = item.tick;
    }
    std::vector<uint8_t> out(static_cast<size_t>(s.writeMidiFile(baseName(stylePath), SequenceOptions{})));
    s.copyOut(out.data());
    engine.shutdown();
    double seconds = 0;
    if (wav ? !renderWav(out, soundFont, outPath, seconds, why) : !writeWholeFile(outPath, out, why))
        return refuse(wav ? why : outPath + ": " + why);

    std::error_code error;
    const auto bytes = wav ? std::filesystem::file_size(outPath, error) : out.size();

    Document answer = {{"output", jsonbytes::toUtf8(outPath)},
                       {"bytes", error ? 0 : bytes},
                       {"tempo", tempo},
                       {"bars", bars.size()},
                       {"ticks", lastTick},
                       {"noteOns", renderer.noteOns}};
    if (wav) {
        // Milliseconds: the same text every time.
        answer["seconds"] = std::round(seconds * 1000) / 1000;
        answer["soundfont"] = jsonbytes::toUtf8(soundFont);
    }
    return printDocument(answer);
}

const ToolCommandRegistration render{{"render", "STYLE SHEET OUT.mid|OUT.wav [options]", -1, runRender}};

} // namespace
} // namespace vtntool
