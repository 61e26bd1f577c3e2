// "settings" shows a settings file (vtn.cfg) as JSON, every field by name;
// "settings-write" makes a settings file of such a document. Both walk the
// same field lists below, so a name means the same thing in both directions.
#include "Command.h"
#include "JsonBytes.h"

#include "app/SettingsFile.h"
#include "input/FunctionCatalogue.h"
#include "sequence/SequenceOptions.h"

#include <climits>
#include <utility>

namespace vtntool {
namespace {

using Doc = Document;

// Room for the largest settings file with every text byte escaped.
constexpr size_t kMaxDocumentBytes = size_t{64} << 20;
constexpr int kTriggerEntries = kPresetButtonBase + 99; // 0-198

struct Word {
    const char* name;
    int index;
};

// Reserved words, written 0 and never read, are left out.
constexpr Word kBlockA[] = {
    {"outputPort", kAOutputPort},
    {"transposition", kATransposition},
    {"drumsOffWord", kADrumsOff},
    {"drumsVolume", kADrumsVolume},
    {"bassOffWord", kABassOff},
    {"bassVolume", kABassVolume},
    {"otherOffWord", kAOtherOff},
    {"otherVolume", kAOtherVolume},
    {"leftVoicesOff", kALeftVoicesOff},
    {"leftVolume", kALeftVolume},
    {"accompVolume", kAAccompVolume},
    {"melodyVolume", kAMelodyVolume},
    {"chordFixationController", kAChordFixationController},
    {"chordMethod", kAChordMethod},
    {"levelMode", kALevelMode},
    {"splitKey", kASplitKey},
    {"confirmRestart", kAConfirmRestart},
};

constexpr Word kBlockB[] = {
    {"presetIndex", kBPresetIndex},
    {"styleBankSelect", kBStyleBankSelect},
    {"targetVolume", kBTargetVolume},
    {"programChangeSelectsPreset", kBProgramChangeSelectsPreset},
    {"targetVelocity", kBTargetVelocity},
    {"blockB6", kBKept6},
    {"highestChordKey", kBHighestChordKey},
    {"chordChannel", kBChordChannel},
    {"functionSettingWord", kBFunctionSetting},
    {"blockB10", kBKept10},
    {"blockB11", kBUnused11},
    {"defaultModulation", kBDefaultModulation},
    {"defaultVolume", kBDefaultVolume},
    {"defaultPan", kBDefaultPan},
    {"defaultReverb", kBDefaultReverb},
    {"defaultChorus", kBDefaultChorus},
    {"recordKeepTracks", kBRecordKeepTracks},
    {"harmonyVolume", kBHarmonyVolume},
    {"styleSysEx", kBStyleSysEx},
    {"blockB240", kBKept240},
    {"recordChordsSeqSpecific", kBSeqSpecificChords},
};

constexpr std::pair<const char*, int32_t SettingsRecord::*> kRecordValues[] = {
    {"bankMsb", &SettingsRecord::bankMsb},
    {"bankLsb", &SettingsRecord::bankLsb},
    {"chordRecognitionOff", &SettingsRecord::chordRecognitionOff},
    {"splitChannel", &SettingsRecord::splitChannel},
    {"velocityVariety", &SettingsRecord::velocityVariety},
    {"pitchVariety", &SettingsRecord::pitchVariety},
    {"bassVariety", &SettingsRecord::bassVariety},
    {"attentionEnabled", &SettingsRecord::attentionEnabled},
    {"attentionChannel", &SettingsRecord::attentionChannel},
    {"attentionTrigger", &SettingsRecord::attentionTrigger},
    {"attentionReserve", &SettingsRecord::attentionReserve},
};

constexpr std::pair<const char*, int32_t PresetLayer::*> kLayerValues[] = {
    {"type", &PresetLayer::type},         {"octaveShift", &PresetLayer::octaveShift},
    {"program", &PresetLayer::program},   {"bankMsb", &PresetLayer::bankMsb},
    {"bankLsb", &PresetLayer::bankLsb},   {"volume", &PresetLayer::volume},
    {"pan", &PresetLayer::pan},           {"reverb", &PresetLayer::reverb},
    {"chorus", &PresetLayer::chorus},     {"modulation", &PresetLayer::modulation},
    {"layerChannel", &PresetLayer::layerChannel},
};

constexpr const char* kStyleEntryValueNames[kStyleEntryValues] = {
    "tempo",       "preset",      "presetButton2", "presetButton3", "presetButton4", "transposition",
    "drumsOff",    "drumsVolume", "bassOff",       "bassVolume",    "otherOff",      "otherVolume",
    "leftVoicesOff", "leftVolume", "accompVolume", "melodyVolume",  "kept16"};

constexpr const char* kEntryTypes[] = {"", "function", "preset", "chord", "note", "midiText", "registration", "subMenu"};
constexpr const char* kSliders[] = {"tempo", "drums", "bass", "other", "accompaniment", "melody"};

// Code and channel of trigger table entry i.
template <class R> auto trigger(R& r, int i) { return i < kPresetButtonBase ? r.blockB + kBTriggers + 2 * i : r.upperTriggers[i - kPresetButtonBase]; }

// The fields that are the same in every record, in both directions.
template <class IO, class R> void plainFields(IO& io, R& r)
{
    io.number("editorFlag", r.editorFlag);
    for (const Word& w : kBlockA) io.number(w.name, r.blockA[w.index]);
    io.text("styleFolder", r.styleFolder);
    io.text("secondFolder", r.secondFolder);
    io.text("startStyle", r.startStyle);
    for (const Word& w : kBlockB) io.number(w.name, r.blockB[w.index]);
    io.numbers("presetButtons", r.blockB + kBPresetButtons, 4);
    io.numbers("functionOrder", r.functionOrder, kFunctionOrderWords);
    io.numbers("channelPorts", r.channelPorts, 16);
    for (const auto& [name, member] : kRecordValues) io.number(name, r.*member);
    io.numbers("inputFlags", r.inputFlags, kInputSlots);
}

template <class IO, class E> void styleEntryFields(IO& io, E& e)
{
    io.number("kind", e.kind);
    io.text("fileName", e.fileName);
    io.text("text2", e.text2);
    io.text("partName", e.partName);
    for (int i = 0; i < kStyleEntryValues; ++i) io.number(kStyleEntryValueNames[i], e.values[i]);
    io.text("text4", e.text4);
    io.number("kept17", e.keptValues[0]);
    io.number("kept18", e.keptValues[1]);
    io.text("text5", e.text5);
    io.number("entrySplitKey", e.entrySplitKey);
    io.number("entryHighestChordKey", e.entryHighestChordKey);
}

// What a menu entry of its type holds.
template <class IO, class E> void menuEntryFields(IO& io, E& e)
{
    switch (e.type) {
    case kEntryFunction: return io.number("function", e.values[0]);
    case kEntryPreset: return io.number("preset", e.values[0]);
    case kEntryNote: return io.number("note", e.values[0]);
    case kEntryChord:
        io.number("root", e.values[0]);
        io.number("chordType", e.values[1]);
        return io.number("bass", e.values[2]);
    default: break;
    }
    io.text("label", e.label);
    io.text("label2", e.label2);
    if (e.type == kEntryMidiText) {
        io.text("pressText", e.pressText);
        io.text("releaseText", e.releaseText);
    } else {
        io.number(e.type == kEntryStyle ? "styleEntry" : "set", e.values[0]);
    }
}

// ---- Record to document ----

class Out {
public:
    Doc doc = Doc::object();
    void number(const char* key, int32_t v) { doc[key] = v; }
    void text(const char* key, const std::string& s) { doc[key] = jsonbytes::toUtf8(s); }
    template <class T> void numbers(const char* key, const T* v, int n) { doc[key] = std::vector<int32_t>(v, v + n); }
};

std::string functionName(int entry)
{
    if (entry >= kPresetButtonBase) return "Preset button " + std::to_string(entry - kPresetButtonBase);
    if (entry >= kFunctionCount) return "unassigned";
    const FunctionInfo& f = functionCatalogue()[entry];
    if (*f.menuName) return f.menuName;
    return *f.shortName ? f.shortName : "Function " + std::to_string(entry);
}

bool isFreeLayer(const PresetLayer& layer, int l)
{
    const PresetLayer free = emptyLayer(l);
    for (const auto& [name, member] : kLayerValues)
        if (layer.*member != free.*member) return false;
    return true;
}

Doc toDocument(const SettingsRecord& r)
{
    Out out;
    out.text("header", r.header);
    out.number("version", r.version);
    plainFields(out, r);
    Doc& d = out.doc;
    d["embeddedPresetBytes"] = r.embeddedPresets.size();

    d["sliders"] = Doc::array();
    for (int i = 0; i < 6; ++i)
        d["sliders"].push_back({{"slider", kSliders[i]},
                                {"controllerPlus1", r.blockB[kBSliders + 2 * i]},
                                {"channel", r.blockB[kBSliders + 2 * i + 1]}});
    d["triggers"] = Doc::array();
    for (int i = 0; i < kTriggerEntries; ++i) {
        const int32_t* t = trigger(r, i);
        if (t[0] != 0) d["triggers"].push_back({{"entry", i}, {"function", functionName(i)}, {"code", t[0]}, {"channel", t[1]}});
    }
    d["triggerSets"] = Doc::array();
    for (const TriggerSet& set : r.triggerSets) {
        Doc entries = Doc::array();
        for (int k = 0; k < kMenuKeyCount; ++k) {
            const TriggerEntry& e = set.entries[k];
            if (e.type <= kEntryEmpty || e.type > kEntrySubMenu) continue;
            Out entry;
            entry.number("key", k);
            entry.doc["type"] = kEntryTypes[e.type];
            menuEntryFields(entry, e);
            entries.push_back(std::move(entry.doc));
        }
        d["triggerSets"].push_back({{"attribute", set.attribute}, {"entries", std::move(entries)}});
    }
    d["styleEntries"] = Doc::array();
    for (const StyleEntry& e : r.styleEntries) {
        Out entry;
        styleEntryFields(entry, e);
        d["styleEntries"].push_back(std::move(entry.doc));
    }
    d["presets"] = Doc::array();
    for (size_t p = 0; p < r.presets.size(); ++p) {
        const Preset& preset = r.presets[p];
        int layers = 4;
        while (layers > 0 && isFreeLayer(preset.layers[layers - 1], layers - 1)) --layers;
        if (layers == 0 && preset.name == kFreePresetName) continue;
        Doc values = Doc::array();
        for (int l = 0; l < layers; ++l) {
            Doc& layer = values.emplace_back(Doc::object());
            for (const auto& [name, member] : kLayerValues) layer[name] = preset.layers[l].*member;
        }
        d["presets"].push_back({{"number", p}, {"name", jsonbytes::toUtf8(preset.name)}, {"layers", std::move(values)}});
    }
    d["records13"] = r.records13;
    d["records6"] = r.records6;
    d["integers"] = r.integers;
    d["texts"] = Doc::array();
    for (const std::string& t : r.texts) d["texts"].push_back(jsonbytes::toUtf8(t));
    return d;
}

// ---- Document to record ----

// Why a document is refused, with the place in it.
struct Refusal {
    std::string what;
};

[[noreturn]] void fail(const std::string& where, const std::string& what)
{
    throw Refusal{where.empty() ? what : where + ": " + what};
}

std::string indexed(const std::string& where, size_t i) { return where + "[" + std::to_string(i) + "]"; }

int32_t integer(const Doc& v, const std::string& where, int32_t low = INT16_MIN, int32_t high = INT16_MAX)
{
    if (!v.is_number_integer()) fail(where, "not a whole number");
    // Large unsigned numbers would wrap in a signed read.
    const int64_t n = v.is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(v.get<uint64_t>(), INT64_MAX))
                                             : v.get<int64_t>();
    if (n < low || n > high) fail(where, v.dump() + " is outside " + std::to_string(low) + ".." + std::to_string(high));
    return static_cast<int32_t>(n);
}

// An object of the document and where it is. With `defaults`, a missing
// number leaves the value as it is.
class In {
public:
    In(const Doc& d, std::string where, bool defaults = false) : doc(d), path(std::move(where)), withDefaults(defaults)
    {
        if (!doc.is_object()) fail(path, "not an object");
    }

    std::string at(const char* key) const { return path.empty() ? key : path + "." + key; }

    const Doc& member(const char* key) const
    {
        const auto it = doc.find(key);
        if (it == doc.end()) fail(path, std::string("missing \"") + key + "\"");
        return *it;
    }
    int32_t number(const char* key, int32_t low, int32_t high) const { return integer(member(key), at(key), low, high); }
    void number(const char* key, int32_t& v) const
    {
        if (!withDefaults || doc.contains(key)) v = integer(member(key), at(key));
    }
    void text(const char* key, std::string& s) const { s = bytes(member(key), at(key)); }
    const Doc& list(const char* key, size_t most = kMaxListItems) const
    {
        const Doc& a = member(key);
        if (!a.is_array()) fail(at(key), "not an array");
        if (a.size() > most) fail(at(key), "more than " + std::to_string(most) + " items");
        return a;
    }
    template <class T> void numbers(const char* key, T* v, int n) const { fixedNumbers(list(key), at(key), v, n); }

    template <class T> static void fixedNumbers(const Doc& a, const std::string& where, T* v, int n)
    {
        if (!a.is_array()) fail(where, "not an array");
        if (a.size() != static_cast<size_t>(n)) fail(where, std::to_string(a.size()) + " values, expected " + std::to_string(n));
        for (size_t i = 0; i < a.size(); ++i) v[i] = static_cast<T>(integer(a[i], indexed(where, i)));
    }
    static std::string bytes(const Doc& v, const std::string& where)
    {
        if (!v.is_string()) fail(where, "not a text");
        const std::optional<std::string> b = jsonbytes::toBytes(v.get_ref<const std::string&>());
        if (!b) fail(where, "a character above U+00FF (texts are bytes)");
        if (b->size() > INT16_MAX) fail(where, "longer than 32767 bytes");
        return *b;
    }

private:
    const Doc& doc;
    std::string path;
    bool withDefaults;
};

void readMenus(const In& in, SettingsRecord& r)
{
    const Doc& sets = in.list("triggerSets", kMaxTriggerSets);
    if (sets.empty()) fail("triggerSets", "the root set is missing");
    const size_t registrations = in.list("styleEntries", kMaxStyleEntries).size();
    // The file nests each sub-menu where it is named and each registration
    // where it is used, so every set but the root and every registration must
    // be named exactly once, sets only from an earlier set.
    std::vector<int> depth(sets.size(), -1);
    std::vector<bool> used(registrations);
    depth[0] = 0;
    r.triggerSets.assign(sets.size(), TriggerSet{});
    for (size_t s = 0; s < sets.size(); ++s) {
        const In set(sets[s], indexed("triggerSets", s));
        TriggerSet& ts = r.triggerSets[s];
        set.number("attribute", ts.attribute);
        if (s == 0 && ts.attribute != 0) fail(set.at("attribute"), "the root set's attribute is always 0");
        const Doc& entries = set.list("entries", kMenuKeyCount);
        for (size_t i = 0; i < entries.size(); ++i) {
            const In entry(entries[i], indexed(set.at("entries"), i));
            const int key = entry.number("key", 0, kMenuKeyCount - 1);
            TriggerEntry& e = ts.entries[key];
            if (e.type != kEntryEmpty) fail(entry.at("key"), "key " + std::to_string(key) + " is used twice in this set");
            const std::string type = In::bytes(entry.member("type"), entry.at("type"));
            while (e.type < kEntrySubMenu && type != kEntryTypes[e.type]) ++e.type;
            if (type != kEntryTypes[e.type]) fail(entry.at("type"), "unknown type " + entry.member("type").dump());
            menuEntryFields(entry, e);
            const int named = e.values[0];
            if (e.type == kEntrySubMenu) {
                const std::string at = entry.at("set");
                if (named >= static_cast<int>(sets.size())) fail(at, "no set " + std::to_string(named));
                if (named <= static_cast<int>(s)) fail(at, "set " + std::to_string(named) + " is not a later set");
                if (depth[named] >= 0) fail(at, "set " + std::to_string(named) + " is named by another entry too");
                depth[named] = depth[s] + 1;
                if (depth[named] > kMaxTriggerDepth) fail(at, "sub-menus nested more than " + std::to_string(kMaxTriggerDepth) + " deep");
            } else if (e.type == kEntryStyle) {
                const std::string at = entry.at("styleEntry");
                if (named < 0 || named >= static_cast<int>(registrations)) fail(at, "no style entry " + std::to_string(named));
                if (used[named]) fail(at, "style entry " + std::to_string(named) + " is named by another entry too");
                used[named] = true;
            }
        }
    }
    for (size_t s = 1; s < sets.size(); ++s)
        if (depth[s] < 0) fail(indexed("triggerSets", s), "no sub-menu names this set");
    for (size_t i = 0; i < registrations; ++i)
        if (!used[i]) fail(indexed("styleEntries", i), "no registration names this entry");
}

SettingsRecord fromDocument(const Doc& doc)
{
    SettingsRecord r;
    const In in(doc, "");
    in.text("header", r.header);
    plainFields(in, r);

    const Doc& sliders = in.list("sliders");
    if (sliders.size() != 6) fail("sliders", std::to_string(sliders.size()) + " sliders, expected 6");
    for (size_t i = 0; i < 6; ++i) {
        const In slider(sliders[i], indexed("sliders", i));
        slider.number("controllerPlus1", r.blockB[kBSliders + 2 * i]);
        slider.number("channel", r.blockB[kBSliders + 2 * i + 1]);
    }
    const Doc& triggers = in.list("triggers");
    for (size_t i = 0; i < triggers.size(); ++i) {
        const In t(triggers[i], indexed("triggers", i));
        int32_t* words = trigger(r, t.number("entry", 0, kTriggerEntries - 1));
        t.number("code", words[0]);
        t.number("channel", words[1]);
    }
    readMenus(in, r);
    const Doc& registrations = in.list("styleEntries");
    r.styleEntries.resize(registrations.size());
    for (size_t i = 0; i < registrations.size(); ++i) {
        const In entry(registrations[i], indexed("styleEntries", i));
        styleEntryFields(entry, r.styleEntries[i]);
    }

    const Doc& presets = in.list("presets");
    for (size_t i = 0; i < presets.size(); ++i) {
        const In p(presets[i], indexed("presets", i));
        Preset& preset = r.presets[static_cast<size_t>(p.number("number", 0, kPresetCount - 1))];
        p.text("name", preset.name);
        const Doc& layers = p.list("layers", 4);
        for (size_t l = 0; l < layers.size(); ++l) {
            const In layer(layers[l], indexed(p.at("layers"), l), true);
            for (const auto& [name, member] : kLayerValues) layer.number(name, preset.layers[l].*member);
        }
    }

    const Doc& records13 = in.list("records13");
    r.records13.resize(records13.size());
    for (size_t i = 0; i < records13.size(); ++i) In::fixedNumbers(records13[i], indexed("records13", i), r.records13[i].data(), 13);
    const Doc& records6 = in.list("records6");
    r.records6.resize(records6.size());
    for (size_t i = 0; i < records6.size(); ++i) In::fixedNumbers(records6[i], indexed("records6", i), r.records6[i].data(), 6);
    const Doc& integers = in.list("integers");
    r.integers.resize(integers.size());
    In::fixedNumbers(integers, "integers", r.integers.data(), static_cast<int>(integers.size()));
    const Doc& texts = in.list("texts");
    for (size_t i = 0; i < texts.size(); ++i) r.texts.push_back(In::bytes(texts[i], indexed("texts", i)));
    return r;
}

// nlohmann's message without its "[json.exception...] parse error at line L, column C: " prefix.
std::string parseProblem(const Doc::parse_error& e)
{
    const std::string what = e.what();
    const size_t colon = what.find(": ");
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

int runSettings(const std::vector<std::string>& args)
{
    const std::string& path = args[0];
    std::vector<uint8_t> data;
    std::string why;
    if (!readWholeFile(path, kSettingsMaxBytes, data, why)) return refuse(path + ": " + why);
    SettingsRecord record;
    if (const SettingsProblem problem = decodeSettings(data.data(), data.size(), "", SequenceOptions{}, record))
        return refuse(path + ": " + problem.what + " at byte " + std::to_string(problem.offset));
    return printDocument(toDocument(record));
}

int runSettingsWrite(const std::vector<std::string>& args)
{
    const std::string& path = args[0];
    std::vector<uint8_t> text;
    std::string why;
    if (!readWholeFile(path, kMaxDocumentBytes, text, why)) return refuse(path + ": " + why);
    std::vector<uint8_t> bytes;
    try {
        bytes = encodeSettings(fromDocument(Doc::parse(text.begin(), text.end())));
    } catch (const Doc::parse_error& e) {
        return refuse(path + ": malformed JSON at byte " + std::to_string(e.byte) + ": " + parseProblem(e));
    } catch (const Refusal& e) {
        return refuse(path + ": " + e.what);
    } catch (const std::exception& e) {
        return refuse(path + ": " + e.what());
    }
    if (!writeWholeFile(args[1], bytes, why)) return refuse(args[1] + ": " + why);
    return printDocument({{"file", jsonbytes::toUtf8(path)}, {"output", jsonbytes::toUtf8(args[1])}, {"bytes", bytes.size()}});
}

const ToolCommandRegistration settings{{"settings", "FILE", 1, runSettings}};
const ToolCommandRegistration settingsWrite{{"settings-write", "IN.json OUT", 2, runSettingsWrite}};

} // namespace
} // namespace vtntool
