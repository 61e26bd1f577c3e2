#include "app/SettingsFile.h"

#include "chords/Chord.h"
#include "chords/ChordRecognition.h"
#include "input/FunctionCatalogue.h"
#include "sequence/CMidiFileReader.h"
#include "sequence/CMidiSequence.h"

#include <algorithm>
#include <cstring>

namespace {

// Settings items that came with later versions of the format.
constexpr int kSinceEditorFlag = 4;
constexpr int kSinceBlobs = 2;
constexpr int kSinceEntryText2 = 3;
constexpr int kSinceWord240 = 5;
constexpr int kSinceFunctionOrder = 6;
constexpr int kSinceExplicitPresets = 7; // also: second labels, entry kind, channel ports, section 9
constexpr int kSinceVarieties = 8;
constexpr int kSinceAttention = 9;
constexpr int kSinceLayerChannel = 10;
constexpr int kSinceEntryAreas = 11;
constexpr int kSinceWord241 = 12;
constexpr int kSinceRecordLists = 13;
constexpr int kEndOfSet = 9999;
constexpr int kAreasUnchanged = 1000; // old registrations: the loaded area minus this

// Reads the file front to back. After the first problem every read yields
// zeros and empty texts, so decoding runs out quickly and the problem keeps
// the offset where the file went wrong.
class Reader {
public:
    static constexpr bool reading = true;
    Reader(const uint8_t* data, size_t length) : bytes(data), size(length) {}

    void word(int32_t& v)
    {
        v = 0;
        if (!need(2)) return;
        const int raw = bytes[pos] * 256 + bytes[pos + 1];
        v = raw >= 32768 ? raw - 65536 : raw;
        pos += 2;
    }
    void word(int16_t& v)
    {
        int32_t w;
        word(w);
        v = static_cast<int16_t>(w);
    }
    void text(std::string& s)
    {
        int32_t n;
        word(n);
        s.clear();
        if (n <= 0 || !need(static_cast<size_t>(n))) return; // 32768 and above read as negative: empty
        s.assign(reinterpret_cast<const char*>(bytes + pos), static_cast<size_t>(n));
        pos += static_cast<size_t>(n);
    }
    void blob()
    {
        int32_t n;
        word(n);
        if (n > 0 && need(static_cast<size_t>(n))) pos += static_cast<size_t>(n);
    }
    // A count of records that follow: only 1-32767 announce any.
    int count()
    {
        int32_t n;
        word(n);
        return std::max(n, 0);
    }
    void fail(std::string what)
    {
        if (ok()) problem = {pos, std::move(what)};
    }
    bool ok() const { return !problem; }

    const uint8_t* bytes;
    size_t size;
    size_t pos = 0;
    SettingsProblem problem;

private:
    bool need(size_t n)
    {
        if (!ok()) return false;
        if (n > size - pos) {
            fail("cut short");
            return false;
        }
        return true;
    }
};

class Writer {
public:
    static constexpr bool reading = false;
    void word(int32_t v)
    {
        const auto w = static_cast<uint16_t>(std::clamp(v, -32768, 32767));
        out.push_back(static_cast<uint8_t>(w >> 8));
        out.push_back(static_cast<uint8_t>(w & 0xFF));
    }
    void text(const std::string& s)
    {
        const size_t n = std::min<size_t>(s.size(), 32767);
        word(static_cast<int32_t>(n));
        out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void blob() { word(0); }
    int count(size_t n)
    {
        const int c = static_cast<int>(std::min<size_t>(n, kMaxListItems));
        word(c);
        return c;
    }
    bool ok() const { return true; }
    std::vector<uint8_t> out;
};

template <class IO, class T> void words(IO& io, T* values, int n)
{
    for (int i = 0; i < n; ++i) io.word(values[i]);
}

// The parts of an entry that a file holds in the same order whichever way it
// is read or written.
template <class IO, class E> void styleEntryBody(IO& io, E& e, int v)
{
    if (v >= kSinceExplicitPresets) io.word(e.kind);
    io.text(e.fileName);
    if (v >= kSinceEntryText2) io.text(e.text2);
    io.text(e.partName);
    words(io, e.values, kStyleEntryValues);
    io.text(e.text4);
    words(io, e.keptValues, 2);
    io.text(e.text5);
    if (v >= kSinceEntryAreas) {
        io.word(e.entrySplitKey);
        io.word(e.entryHighestChordKey);
    }
}

template <class IO, class L> void layerValues(IO& io, L& l, int v)
{
    io.word(l.type);
    io.word(l.octaveShift);
    io.word(l.program);
    io.word(l.bankMsb);
    io.word(l.bankLsb);
    io.word(l.volume);
    io.word(l.pan);
    io.word(l.reverb);
    io.word(l.chorus);
    io.word(l.modulation);
    if (v >= kSinceLayerChannel) io.word(l.layerChannel);
}

// Everything from the header to block B.
template <class IO, class R> void leadingSections(IO& io, R& r, int v)
{
    if (v >= kSinceEditorFlag) io.word(r.editorFlag);
    words(io, r.blockA, kBlockAWords);
    io.text(r.styleFolder);
    if (v >= kSinceBlobs) io.blob();
    io.text(r.secondFolder);
    if (v >= kSinceBlobs) io.blob();
    io.text(r.startStyle);
    if (v >= kSinceBlobs) io.blob();
    words(io, r.blockB, 240);
    if (v >= kSinceWord240) io.word(r.blockB[kBKept240]);
    if (v >= kSinceWord241) io.word(r.blockB[kBSeqSpecificChords]);
}

// Everything after the presets. Section 9 only exists from version 7 on.
template <class IO, class R> void trailingSections(IO& io, R& r, int v)
{
    if (v < kSinceExplicitPresets) return;
    words(io, r.channelPorts, 16);
    io.word(r.bankMsb);
    io.word(r.bankLsb);
    for (auto& pair : r.upperTriggers) words(io, pair, 2);
    io.word(r.chordRecognitionOff);
    io.word(r.splitChannel);
    words(io, r.inputFlags, kInputSlots);
    if (v >= kSinceVarieties) {
        io.word(r.velocityVariety);
        io.word(r.pitchVariety);
        io.word(r.bassVariety);
    }
    if (v >= kSinceAttention) {
        io.word(r.attentionEnabled);
        io.word(r.attentionChannel);
        io.word(r.attentionTrigger);
        io.word(r.attentionReserve);
    }
}

// ---- Reading ----

class Decoder {
public:
    Decoder(Reader& reader, SettingsRecord& record, const std::string& baseFolder, const SequenceOptions& readOptions)
        : in(reader), r(record), base(baseFolder), options(readOptions)
    {
    }

    void run()
    {
        in.text(r.header);
        in.word(r.version);
        v = r.version;
        if (in.ok() && (v < 0 || v > kSettingsVersion)) return in.fail("unknown version " + std::to_string(v));
        leadingSections(in, r, v);
        if (r.styleFolder.empty() || r.styleFolder == "-") r.styleFolder = base + "Styles/";
        if (r.styleFolder.back() != '/') r.styleFolder += '/'; // so a start style is always a file in it
        if (r.secondFolder == "-") r.secondFolder = base;
        if (!r.startStyle.empty() && r.startStyle.find('/') == std::string::npos)
            r.startStyle = r.styleFolder + r.startStyle;

        r.triggerSets.clear();
        readSet(0);
        if (!r.triggerSets.empty()) r.triggerSets[0].attribute = 0;

        r.hasFunctionOrder = v >= kSinceFunctionOrder;
        if (r.hasFunctionOrder) words(in, r.functionOrder, kFunctionOrderWords);

        if (v >= kSinceExplicitPresets) {
            for (int p = 0; p < kPresetCount; ++p) {
                Preset& preset = r.presets[static_cast<size_t>(p)];
                in.text(preset.name);
                for (int l = 0; l < 4; ++l) {
                    preset.layers[l].layerChannel = l;
                    layerValues(in, preset.layers[l], v);
                }
            }
        } else {
            readEmbeddedPresets();
            for (int32_t& port : r.channelPorts) port = r.blockA[kAOutputPort];
        }
        trailingSections(in, r, v);
        if (v >= kSinceRecordLists) {
            r.records13.resize(static_cast<size_t>(in.count()));
            for (auto& record : r.records13) words(in, record.data(), 13);
            r.records6.resize(static_cast<size_t>(in.count()));
            for (auto& record : r.records6) words(in, record.data(), 6);
        }
        if (v >= kSinceExplicitPresets) {
            r.integers.resize(static_cast<size_t>(in.count()));
            for (int16_t& i : r.integers) in.word(i);
            r.texts.resize(static_cast<size_t>(in.count()));
            for (std::string& t : r.texts) in.text(t);
        }
    }

private:
    int readSet(int depth)
    {
        if (depth > kMaxTriggerDepth) {
            in.fail("trigger sets nested more than " + std::to_string(kMaxTriggerDepth) + " deep");
            return 0;
        }
        if (r.triggerSets.size() >= static_cast<size_t>(kMaxTriggerSets)) {
            in.fail("more than " + std::to_string(kMaxTriggerSets) + " trigger sets");
            return 0;
        }
        const int index = static_cast<int>(r.triggerSets.size());
        r.triggerSets.emplace_back();
        in.word(r.triggerSets.back().attribute);
        while (in.ok()) {
            int32_t t, k;
            in.word(t);
            if (t >= kEndOfSet) break;
            in.word(k);
            TriggerEntry e;
            e.type = t;
            switch (t) {
            case kEntryFunction:
            case kEntryPreset:
            case kEntryNote: in.word(e.values[0]); break;
            case kEntryChord: words(in, e.values, 3); break;
            case kEntryMidiText:
                labels(e);
                in.text(e.pressText);
                if (v >= kSinceExplicitPresets) in.text(e.releaseText);
                break;
            case kEntryStyle:
                labels(e);
                e.values[0] = readStyleEntry();
                break;
            case kEntrySubMenu:
                labels(e);
                e.values[0] = readSet(depth + 1);
                break;
            default: e.type = kEntryEmpty; // a no-op entry: it still empties its key
            }
            // The sets grow while a sub-menu is read: address this one anew.
            if (k >= 0 && k < kMenuKeyCount) r.triggerSets[static_cast<size_t>(index)].entries[k] = std::move(e);
        }
        return index;
    }

    void labels(TriggerEntry& e)
    {
        in.text(e.label);
        if (v >= kSinceExplicitPresets) in.text(e.label2);
    }

    int readStyleEntry()
    {
        if (r.styleEntries.size() >= static_cast<size_t>(kMaxStyleEntries)) {
            in.fail("more than " + std::to_string(kMaxStyleEntries) + " registrations");
            return 0;
        }
        StyleEntry e;
        styleEntryBody(in, e, v);
        if (v < kSinceEntryAreas) {
            e.entrySplitKey = r.blockA[kASplitKey] - kAreasUnchanged;
            e.entryHighestChordKey = r.blockB[kBHighestChordKey] - kAreasUnchanged;
        }
        if (e.fileName.find('/') == std::string::npos)
            e.fileName = base + (e.kind == 0 ? "Styles/" : "MIDI files/") + e.fileName;
        r.styleEntries.push_back(std::move(e));
        return static_cast<int>(r.styleEntries.size()) - 1;
    }

    // Old files carry the presets as a MIDI file: a "voice:" marker in bar n
    // names preset n - 1, the channel events of channels 1-4 fill its layers.
    void readEmbeddedPresets()
    {
        if (!in.ok()) return;
        for (int p = 0; p < kPresetCount; ++p) {
            Preset& preset = r.presets[static_cast<size_t>(p)];
            preset.name = kFreePresetName;
            // Layer i sounds on channel i, as in the later versions: the
            // layers of one preset must be able to play different voices.
            for (int i = 0; i < 4; ++i) {
                PresetLayer& l = preset.layers[i];
                l = PresetLayer{};
                l.type = 1;
                l.layerChannel = i;
            }
        }
        const size_t end = std::min(in.size, in.pos + kEmbeddedPresetsMaxBytes);
        CMidiSequence song;
        song.sequenceId = kSettingsSongId;
        const int reached = song.readMidiFile(in.bytes, static_cast<int>(in.pos), static_cast<int>(end), options);
        if (reached <= static_cast<int>(in.pos)) return in.fail("the presets are no MIDI file");
        r.embeddedPresets.assign(in.bytes + in.pos, in.bytes + reached);
        in.pos = static_cast<size_t>(reached);
        int current = 0;
        for (int i = song.events[kMainList].next; i >= kFirstEvent; i = song.events[static_cast<size_t>(i)].next) {
            const MidiEvent& ev = song.events[static_cast<size_t>(i)];
            if (ev.stat == kStatMultiVoice) {
                current = song.barOfTicks(ev.ticks) - 1;
                if (current >= 0 && current < kPresetCount) r.presets[static_cast<size_t>(current)].name = ev.string;
                continue;
            }
            if (current < 0 || current >= kPresetCount) continue;
            Preset& preset = r.presets[static_cast<size_t>(current)];
            if (ev.stat == kStatChannelVoice) {
                if (ev.db2 >= 0 && ev.db2 < 4) {
                    preset.layers[ev.db2].type = ev.db1;
                    preset.layers[ev.db2].octaveShift = ev.db3;
                }
                continue;
            }
            const int channel = ev.stat & 0x0F;
            if (ev.stat < 0x80 || ev.stat > 0xEF || channel > 3) continue;
            PresetLayer& l = preset.layers[channel];
            if ((ev.stat & 0xF0) == 0xC0) l.program = ev.db1;
            if ((ev.stat & 0xF0) != 0xB0) continue;
            switch (ev.db1) {
            case 0: l.bankMsb = ev.db2; break;
            case 32: l.bankLsb = ev.db2; break;
            case 7: l.volume = ev.db2; break;
            case 10: l.pan = ev.db2; break;
            case 91: l.reverb = ev.db2; break;
            case 93: l.chorus = ev.db2; break;
            case 1: l.modulation = ev.db2; break;
            default: break;
            }
        }
    }

    Reader& in;
    SettingsRecord& r;
    const std::string& base;
    const SequenceOptions& options;
    int v = 0;
};

int32_t clampTo(int32_t v, int32_t low, int32_t high) { return std::clamp(v, low, high); }
// A value that must index a table: out of range it means `none`.
int32_t indexOrNone(int32_t v, int32_t count, int32_t none) { return v >= 0 && v < count ? v : none; }
// A registration value: at or below -500 it leaves the setting alone.
void clampEntryValue(int32_t& v, int32_t low, int32_t high)
{
    if (v > kEntryUnchanged) v = std::clamp(v, low, high);
}

// Values the arranger would index a table with or that have a fixed range
// are brought into it; the special values keep their meaning.
void clampToRanges(SettingsRecord& r)
{
    int32_t* a = r.blockA;
    for (int w : {kADrumsVolume, kABassVolume, kAOtherVolume, kALeftVolume, kAAccompVolume, kAMelodyVolume})
        a[w] = clampTo(a[w], 0, 200);
    a[kAChordFixationController] = indexOrNone(a[kAChordFixationController], 128, 0);
    a[kASplitKey] = indexOrNone(a[kASplitKey], 128, -1);
    a[kAChordMethod] = indexOrNone(a[kAChordMethod], kFreeForm + 1, kFullFingered);
    a[kALevelMode] = clampTo(a[kALevelMode], 0, 2);
    int32_t* b = r.blockB;
    b[kBPresetIndex] = indexOrNone(b[kBPresetIndex], kPresetCount, 0);
    b[kBHighestChordKey] = clampTo(b[kBHighestChordKey], -1, 127);
    b[kBChordChannel] = indexOrNone(b[kBChordChannel], 17, 0);
    b[kBHarmonyVolume] = clampTo(b[kBHarmonyVolume], 0, 200);
    for (int w : {kBTargetVolume, kBTargetVelocity})
        b[w] = clampTo(b[w], 0, 127);
    for (int w : {kBDefaultModulation, kBDefaultVolume, kBDefaultPan, kBDefaultReverb, kBDefaultChorus})
        b[w] = clampTo(b[w], -1, 127);
    for (int i = 0; i < 4; ++i) b[kBPresetButtons + i] = indexOrNone(b[kBPresetButtons + i], kPresetCount, -1);
    for (int i = 0; i < 6; ++i) {
        b[kBSliders + 2 * i] = indexOrNone(b[kBSliders + 2 * i], 129, 0);
        b[kBSliders + 2 * i + 1] = indexOrNone(b[kBSliders + 2 * i + 1], 17, 0);
    }
    r.splitChannel = indexOrNone(r.splitChannel, 16, -1);
    r.chordRecognitionOff = r.chordRecognitionOff != 0;
    for (int32_t* variety : {&r.velocityVariety, &r.pitchVariety, &r.bassVariety}) *variety = clampTo(*variety, 0, 10);
    r.attentionTrigger = indexOrNone(r.attentionTrigger, 129, 0);

    for (TriggerSet& set : r.triggerSets) {
        for (TriggerEntry& e : set.entries) {
            bool usable = true;
            switch (e.type) {
            case kEntryFunction:
                usable = (e.values[0] >= 0 && e.values[0] < kFunctionCount) ||
                         (e.values[0] >= kPresetFunctionBase && e.values[0] < kPresetFunctionEnd);
                break;
            case kEntryPreset: usable = e.values[0] >= 0 && e.values[0] < kPresetCount; break;
            case kEntryChord:
                usable = e.values[0] >= -1 && e.values[0] < 12 && e.values[1] >= 0 && e.values[1] < kChordTypeCount &&
                         e.values[2] >= -1 && e.values[2] < 12;
                break;
            case kEntryNote: usable = e.values[0] >= 0 && e.values[0] < 128; break;
            default: break;
            }
            if (!usable) e = TriggerEntry{};
        }
    }
    for (StyleEntry& e : r.styleEntries) {
        clampEntryValue(e.values[kValueTempo], 10, 250);
        for (int i = kValuePreset; i < kValuePreset + 4; ++i)
            if (e.values[i] > kEntryUnchanged) e.values[i] = indexOrNone(e.values[i], kPresetCount, kEntryUnchanged);
        for (int i : {kValueDrumsVolume, kValueBassVolume, kValueOtherVolume, kValueLeftVolume, kValueAccompVolume,
                      kValueMelodyVolume})
            clampEntryValue(e.values[i], 0, 200);
        for (int i : {kValueDrumsOff, kValueBassOff, kValueOtherOff, kValueLeftOff})
            clampEntryValue(e.values[i], 0, 1);
        if (e.entrySplitKey > kEntryUnchanged) e.entrySplitKey = indexOrNone(e.entrySplitKey, 128, -1);
        clampEntryValue(e.entryHighestChordKey, -1, 127);
    }
    for (Preset& p : r.presets) {
        for (PresetLayer& l : p.layers) {
            l.program = clampTo(l.program, 0, 127);
            for (int32_t* c : {&l.bankMsb, &l.bankLsb, &l.volume, &l.pan, &l.reverb, &l.chorus, &l.modulation})
                *c = clampTo(*c, -1, 127);
            l.layerChannel = ((l.layerChannel % 16) + 16) % 16;
        }
    }
}

// ---- Writing ----

void writeSet(Writer& out, const SettingsRecord& r, int index, int depth, int v)
{
    const TriggerSet& set = r.triggerSets[static_cast<size_t>(index)];
    out.word(index == 0 ? 0 : set.attribute);
    for (int k = 0; k < kMenuKeyCount; ++k) {
        const TriggerEntry& e = set.entries[k];
        if (e.type <= kEntryEmpty || e.type > kEntrySubMenu) continue;
        out.word(e.type);
        out.word(k);
        switch (e.type) {
        case kEntryChord: words(out, e.values, 3); break;
        case kEntryMidiText:
            out.text(e.label);
            if (v >= kSinceExplicitPresets) out.text(e.label2);
            out.text(e.pressText);
            if (v >= kSinceExplicitPresets) out.text(e.releaseText);
            break;
        case kEntryStyle: {
            out.text(e.label);
            if (v >= kSinceExplicitPresets) out.text(e.label2);
            const int s = e.values[0];
            styleEntryBody(out, s >= 0 && s < static_cast<int>(r.styleEntries.size()) ? r.styleEntries[static_cast<size_t>(s)] : StyleEntry{}, v);
            break;
        }
        case kEntrySubMenu: {
            out.text(e.label);
            if (v >= kSinceExplicitPresets) out.text(e.label2);
            // Only a later set can be nested, so the written menu is a tree
            // even when the record is not.
            const int nested = e.values[0];
            if (nested > index && nested < static_cast<int>(r.triggerSets.size()) && depth < kMaxTriggerDepth) {
                writeSet(out, r, nested, depth + 1, v);
            } else {
                out.word(0);
                out.word(kEndOfSet);
            }
            break;
        }
        default: out.word(e.values[0]);
        }
    }
    out.word(kEndOfSet);
}

} // namespace

PresetLayer emptyLayer(int layer)
{
    PresetLayer l;
    l.layerChannel = layer;
    return l;
}

SettingsRecord::SettingsRecord() : presets(kPresetCount)
{
    for (Preset& p : presets) {
        p.name = kFreePresetName;
        for (int l = 0; l < 4; ++l) p.layers[l] = emptyLayer(l);
    }
    for (int w : {kADrumsVolume, kABassVolume, kAOtherVolume, kALeftVolume, kAAccompVolume, kAMelodyVolume})
        blockA[w] = 100;
    blockA[kALevelMode] = 2;
    blockA[kASplitKey] = -1;
    blockB[kBTargetVolume] = 100;
    blockB[kBTargetVelocity] = 100;
    blockB[kBHighestChordKey] = 54;
    blockB[kBDefaultVolume] = 100;
    blockB[kBDefaultPan] = 64;
    blockB[kBDefaultReverb] = 40;
    blockB[kBHarmonyVolume] = 70;
    blockB[kBStyleSysEx] = 1;
    blockB[kBKept240] = 1;
    for (int i = 0; i < kFunctionOrderWords; ++i) functionOrder[i] = i;
    for (int32_t& port : channelPorts) port = 2;
}

SettingsProblem decodeSettings(const uint8_t* bytes, size_t size, const std::string& baseFolder,
                               const SequenceOptions& options, SettingsRecord& record)
{
    record = SettingsRecord{};
    Reader in(bytes, size);
    Decoder(in, record, baseFolder, options).run();
    if (in.ok()) clampToRanges(record);
    return in.problem;
}

std::vector<uint8_t> encodeSettings(const SettingsRecord& r, int v)
{
    Writer out;
    out.text(r.header);
    out.word(v);
    leadingSections(out, r, v);
    if (!r.triggerSets.empty()) {
        writeSet(out, r, 0, 0, v);
    } else {
        out.word(0);
        out.word(kEndOfSet);
    }
    if (v >= kSinceFunctionOrder) words(out, r.functionOrder, kFunctionOrderWords);
    if (v >= kSinceExplicitPresets) {
        for (int p = 0; p < kPresetCount; ++p) {
            const Preset& preset = p < static_cast<int>(r.presets.size()) ? r.presets[static_cast<size_t>(p)] : Preset{kFreePresetName, {}};
            out.text(preset.name);
            for (const PresetLayer& l : preset.layers) layerValues(out, l, v);
        }
    } else {
        out.out.insert(out.out.end(), r.embeddedPresets.begin(), r.embeddedPresets.end());
    }
    trailingSections(out, r, v);
    if (v >= kSinceRecordLists) {
        for (int i = 0, n = out.count(r.records13.size()); i < n; ++i) words(out, r.records13[static_cast<size_t>(i)].data(), 13);
        for (int i = 0, n = out.count(r.records6.size()); i < n; ++i) words(out, r.records6[static_cast<size_t>(i)].data(), 6);
    }
    if (v >= kSinceExplicitPresets) {
        for (int i = 0, n = out.count(r.integers.size()); i < n; ++i) out.word(r.integers[static_cast<size_t>(i)]);
        for (int i = 0, n = out.count(r.texts.size()); i < n; ++i) out.text(r.texts[static_cast<size_t>(i)]);
    }
    return std::move(out.out);
}
