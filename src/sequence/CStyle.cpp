#include "sequence/CStyle.h"

#include "base/Text.h"
#include "sequence/CMidiFileReader.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct PartNameRow {
    const char* lower;
    const char* canonical;
};

constexpr PartNameRow kPartNames[] = {
    {"main a", "Main A"},         {"main b", "Main B"},         {"main c", "Main C"},
    {"main d", "Main D"},         {"fill in aa", "Fill In AA"}, {"fill in bb", "Fill In BB"},
    {"fill in cc", "Fill In CC"}, {"fill in dd", "Fill In DD"}, {"fill in ab", "Fill In AB"},
    {"fill in ba", "Fill In BA"}, {"intro a", "Intro A"},       {"intro b", "Intro B"},
    {"intro c", "Intro C"},       {"ending a", "Ending A"},     {"ending b", "Ending B"},
    {"ending c", "Ending C"},
};

char lowerByte(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Row of the part-name table that the text names, or -1. Allocates nothing:
// the players ask this for every event they pass.
int partNameRow(std::string_view text)
{
    int row = 0;
    for (const PartNameRow& r : kPartNames) {
        const size_t n = std::strlen(r.lower);
        if (text.size() == n) {
            size_t i = 0;
            while (i < n && lowerByte(text[i]) == r.lower[i]) ++i;
            if (i == n) return row;
        }
        ++row;
    }
    return -1;
}

// Real files keep their CASM chunks to a few kilobytes; a length beyond this
// is damage, and reading on would apply whatever bytes follow.
constexpr uint32_t kMaxCasmChunk = 100000;

constexpr int kMaxMarkerMoves = 256;

constexpr int kCtabBytes = 26;
// What a Ctb2 shares with a Ctab: channel, name, destination, mutes, source chord.
constexpr int kCommonTableBytes = 20;
constexpr int kRangeBlockBytes = 6;
constexpr int kFirstRangeBlock = 22;
constexpr int kBassOnBit = 0x80;

uint32_t bigEndian32(const uint8_t* b) { return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]; }

void unlinkEvent(std::vector<MidiEvent>& ev, int i)
{
    ev[ev[i].prev].next = ev[i].next;
    ev[ev[i].next].prev = ev[i].prev;
}

void linkEventAfter(std::vector<MidiEvent>& ev, int i, int after)
{
    ev[i].prev = after;
    ev[i].next = ev[after].next;
    ev[ev[after].next].prev = i;
    ev[after].next = i;
}

// The largest table number of the second format, by rule.
int largestTable(int ntr) { return ntr == 2 ? 2 : 10; }

// A second-format table byte into the block; a number the format does not
// know becomes the channel's usual table, as in the first format.
void setTable(RangeBlock& b, int byte, int sourceChannel)
{
    b.bassOn = (byte & kBassOnBit) ? 1 : 0;
    b.ntt = byte & 0x7F;
    if (b.ntt <= largestTable(b.ntr)) return;
    if (sourceChannel == 8 || sourceChannel == 9) {
        b.ntt = 0;
    } else if (sourceChannel == 10) {
        b.ntt = 1;
        b.bassOn = 1;
    } else {
        b.ntt = 2;
    }
}

// A block in the player's terms. Bass on is the player's bass table, which
// also plays the bass note of a slash chord; the minor, natural-minor and
// dorian tables play as its minor tables; a guitar channel plays as a
// root-fixed chord channel.
NoteRule playerRule(const RangeBlock& b, bool drum)
{
    static constexpr int32_t kTables[11] = {0, 1, 2, 4, 4, 5, 5, 5, 5, 5, 5};
    NoteRule r = b; // the key and limits are the same in both
    r.ntr = b.ntr == 0 ? 0 : 1;
    r.ntt = b.bassOn ? 3 : b.ntr == 2 ? 2 : kTables[std::clamp(b.ntt, 0, 10)];
    // Without the drum bit, bypass would play a pitched pattern untransposed.
    if (!drum && r.ntt == 0) r.ntt = 1;
    return r;
}

// The channel's defaults as a block of the second format.
RangeBlock defaultBlock(const PartChannel& d)
{
    RangeBlock b;
    static_cast<NoteRule&>(b) = d.ownRule();
    b.ntt = d.ntt == 3 ? 1 : d.ntt;
    b.bassOn = d.ntt == 3 ? 1 : 0;
    return b;
}

// The fields both table kinds begin with; the rules keep the channel's defaults.
PartChannel commonFields(const uint8_t* at)
{
    const int c = at[0];
    PartChannel t;
    t.setDefaults(c);
    // Eight characters, no terminator in the file; a NUL ends the name early.
    const char* text = reinterpret_cast<const char*>(at + 1);
    t.name.assign(text, strnlen(text, 8));
    const int dest = at[9];
    // Only sixteen channels exist: a larger number plays nowhere.
    t.dest = dest <= 7 ? dest + 8 : dest <= 15 ? dest : -1;
    t.editable = at[10];
    t.noteMute[0] = at[11];
    t.noteMute[1] = at[12];
    for (int i = 0; i < 5; ++i) t.chordMute[i] = at[13 + i];
    // A root outside the octave names no chord the transposition can work from.
    const int root = at[18] <= 11 ? at[18] : 0;
    const int type = at[19] <= 33 ? at[19] : 2;
    buildChord(t.sourceChord, root, type, -1);
    t.drum = (t.chordMute[0] >> 2) & 1;
    return t;
}

void setRule(PartChannel& t, const NoteRule& r)
{
    t.ntr = r.ntr;
    t.ntt = r.ntt;
    t.highKey = r.highKey;
    t.lowLimit = r.lowLimit;
    t.highLimit = r.highLimit;
    t.rtr = r.rtr;
}

} // namespace

std::string canonicalPartName(std::string_view text)
{
    const int row = partNameRow(text);
    return row < 0 ? std::string("none") : std::string(kPartNames[row].canonical);
}

bool partKindOf(std::string_view name, int32_t& type, int32_t& level1, int32_t& level2)
{
    size_t first = std::string_view::npos, second = std::string_view::npos;
    bool known = true;
    if (vtn::startsWith(name, "Intro")) {
        type = kPartIntro;
        first = 6;
    } else if (vtn::startsWith(name, "Main")) {
        type = kPartMain;
        first = 5;
    } else if (vtn::startsWith(name, "Break")) {
        type = kPartBreak;
        first = 6;
        second = 7;
    } else if (vtn::startsWith(name, "Fill In")) {
        type = kPartFillIn;
        first = 8;
        second = 9;
    } else if (vtn::startsWith(name, "Ending")) {
        type = kPartEnding;
        first = 7;
        second = 8;
    } else {
        known = false;
    }
    auto letter = [&](size_t at, char last) {
        if (at >= name.size()) return 0;
        const char c = name[at];
        return (c >= 'A' && c <= last) ? c - 'A' : 0;
    };
    level1 = letter(first, 'D');
    level2 = letter(second, 'B');
    return known;
}

void parsePartName(StylePart& part, std::string_view name)
{
    part.name = std::string(name);
    partKindOf(name, part.type, part.level1, part.level2);
}

void PartChannel::setDefaults(int sourceChannel)
{
    const bool drums = sourceChannel == 9;
    const bool bass = sourceChannel == 2 || sourceChannel == 10;
    dest = -1;
    name = drums ? "drums" : bass ? "bass" : "instrum";
    editable = 1;
    noteMute[0] = 0x0F;
    noteMute[1] = 0xFF;
    drum = drums ? 1 : 0;
    chordMute[0] = drums ? 0x07 : 0x03;
    for (int i = 1; i < 5; ++i) chordMute[i] = 0xFF;
    buildChord(sourceChord, 0, 2, -1);
    ntr = drums ? 1 : 0;
    ntt = drums ? 0 : bass ? 3 : 2;
    highKey = 6;
    lowLimit = 0;
    highLimit = 127;
    rtr = (drums || bass) ? 0 : 3;
}

bool PartChannel::hasRange(int range) const
{
    if (range == kRangeLow) return ranged && middleLow > 0;
    if (range == kRangeHigh) return ranged && middleHigh < 127;
    return range == kRangeMiddle;
}

int PartChannel::rangeOf(int pitch) const
{
    if (ranged && pitch < middleLow) return kRangeLow;
    if (ranged && pitch > middleHigh) return kRangeHigh;
    return kRangeMiddle;
}

NoteRule PartChannel::ruleFor(int pitch) const
{
    const int range = rangeOf(pitch);
    if (range != kRangeMiddle) return outerRules[range == kRangeLow ? 0 : 1];
    return ownRule();
}

NoteRule PartChannel::ownRule() const { return {ntr, ntt, highKey, lowLimit, highLimit, rtr}; }

StylePart::StylePart()
{
    for (int c = 0; c < 16; ++c) channels[c].setDefaults(c);
}

CStyle::CStyle()
{
    isStyle = 1;
    parts.emplace_back();
    parts.back().name = "Control changes";
    parts.back().bars = 1;
    parts.back().offsettime = 0;
    parts.back().startevent = 0;
}

int CStyle::partType(int index) const
{
    if (index < 0 || index >= partCount()) return -1;
    return parts[static_cast<size_t>(index)].type;
}

int CStyle::markerTick(CMidiSequence& s, int tick, std::string_view text, int32_t& moves)
{
    // Each move back drags the rest of the track onto music already read,
    // and inserting behind that costs a walk over it. Real styles move a
    // handful of markers; past this many a file is damaged and its markers
    // stay where they are.
    if (moves >= kMaxMarkerMoves) return tick;
    // Before the file's first time signature is read the bar grid has no
    // numerator yet; the reader's default of 4 stands in.
    const int32_t numerator = s.numerator;
    if (numerator < 1) s.numerator = 4;
    int bar = 1, beat = 1, inBeat = 0;
    s.ticksToBarBeat(tick, &bar, &beat, &inBeat);
    int placed = tick;
    if (beat != 1 || inBeat != 0) {
        if (bar <= 1)
            placed = s.barBeatToTicks(vtn::startsWith(text, "S") ? 1 : 2, 1, 0);
        else
            placed = s.barBeatToTicks(bar, 1, 0);
    }
    s.numerator = numerator;
    if (placed != tick) ++moves;
    return placed;
}

int CStyle::readStyle(const uint8_t* buffer, int size, const SequenceOptions& options)
{
    CMidiFileReader reader(*this, options);
    if (reader.read(buffer, 0, size) == 0) return 0;
    for (int r = events[kMainList].next; r >= kFirstEvent; r = events[r].next)
        if (events[r].stat == kStatMarker) partFromMarker(r);
    const int end = readCasm(buffer, reader.position(), size);
    finishStyle(options);
    return end;
}

int CStyle::partFromMarker(int m)
{
    if (m < kFirstEvent || m >= eventCount() || events[m].stat != kStatMarker) return 0;
    const std::string t = vtn::toLower(vtn::trimView(events[m].string));
    std::string canonical;
    if (t == "sff1")
        canonical = "SFF1";
    else if (t == "sint")
        canonical = "SInt";
    else if (t == "sff2")
        canonical = "SFF2";
    else
        canonical = canonicalPartName(t);
    if (canonical == "none") return 0;
    events[m].string = canonical;
    if (canonical == "SFF2") sff = 2;

    for (int k = 0; k < partCount(); ++k) {
        if (parts[static_cast<size_t>(k)].name == canonical) {
            parts[static_cast<size_t>(k)].startevent = m;
            return k;
        }
    }
    for (const char* prefix : {"Intro", "Main", "Break", "Fill In", "Ending"}) {
        if (!vtn::startsWith(canonical, prefix)) continue;
        parts.emplace_back();
        parsePartName(parts.back(), canonical);
        parts.back().startevent = m;
        return partCount() - 1;
    }
    return 0;
}

int CStyle::readCasm(const uint8_t* buffer, int start, int size)
{
    for (StylePart& part : parts) {
        for (int c = 0; c < 16; ++c) {
            const int dest = part.tracks[c] ? (c < 8 ? c + 8 : c) : -1;
            part.channels[c].dest = dest;
            parts[0].channels[c].dest = dest;
        }
    }

    if (!buffer || start < 0) return start;
    const int64_t end = size;
    const uint8_t* b = buffer;
    int64_t pos = start;
    auto has = [&](int64_t n) { return pos >= 0 && pos + n <= end; };

    if (!has(8) || std::memcmp(b + pos, "CASM", 4) != 0) return start;
    int64_t length = static_cast<int32_t>(bigEndian32(b + pos + 4));
    pos += 8;
    if (length < 0 || length > end - pos) length = CMidiFileReader::findNextChunk(b, static_cast<int>(pos), size);
    const int64_t sectionEnd = start + 8 + length;

    // Lengths are taken unsigned: a negative one would move the reading
    // backwards and never end.
    std::vector<uint8_t> named(parts.size());
    while (pos < sectionEnd) {
        if (!has(8)) break;
        const uint32_t segmentLength = bigEndian32(b + pos + 4);
        pos += 8;
        if (segmentLength > kMaxCasmChunk) break;
        const int64_t segmentEnd = pos + segmentLength;

        if (!has(8)) break;
        const uint32_t sdecLength = bigEndian32(b + pos + 4);
        pos += 8;
        if (sdecLength > kMaxCasmChunk) break;
        const int64_t sdecEnd = std::min<int64_t>(pos + sdecLength, end);
        const std::string_view sdec(reinterpret_cast<const char*>(b + pos), static_cast<size_t>(sdecEnd - pos));
        pos = sdecEnd;
        // Which parts the text names is decided once per segment, not once
        // per channel chunk.
        for (size_t k = 0; k < parts.size(); ++k) named[k] = sdec.find(parts[k].name) != std::string_view::npos;

        bool stop = false;
        while (pos < segmentEnd) {
            if (!has(8)) {
                stop = true;
                break;
            }
            const uint8_t* id = b + pos;
            const uint32_t tableLength = bigEndian32(b + pos + 4);
            pos += 8;
            if (tableLength > kMaxCasmChunk) {
                stop = true;
                break;
            }
            // A chunk is read only as far as both it and the file go.
            const int bytes = static_cast<int>(std::min<int64_t>(tableLength, end - pos));
            if (std::memcmp(id, "Ctab", 4) == 0)
                applyChannelTable(b + pos, bytes, named);
            else if (std::memcmp(id, "Ctb2", 4) == 0)
                applyRangedTable(b + pos, bytes, named);
            else if (std::memcmp(id, "Cntt", 4) == 0)
                applyTableOverride(b + pos, bytes, named);
            pos = std::min<int64_t>(pos + tableLength, end);
        }
        if (stop) break;
    }
    return static_cast<int>(std::min<int64_t>(pos, end));
}

void CStyle::applyChannelTable(const uint8_t* at, int length, const std::vector<uint8_t>& named)
{
    // A table shorter than its fields would take the rest of its settings
    // from the next chunk: it is passed over.
    if (length < kCtabBytes || at[0] > 15) return;
    PartChannel t = commonFields(at);
    const int c = at[0];
    t.ntr = at[20] <= 1 ? at[20] : 0;
    t.ntt = at[21];
    if (t.ntt > 5) t.ntt = (c == 8 || c == 9) ? 0 : c == 10 ? 3 : 2;
    t.highKey = at[22];
    t.lowLimit = at[23];
    t.highLimit = at[24];
    t.rtr = at[25];
    if (!t.drum && t.ntt == 0) t.ntt = 1;
    storeChannel(c, t, named);
}

void CStyle::applyRangedTable(const uint8_t* at, int length, const std::vector<uint8_t>& named)
{
    // Read as far as it goes: what is missing keeps the channel's defaults.
    if (length < kCommonTableBytes || at[0] > 15) return;
    PartChannel t = commonFields(at);
    const int c = at[0];
    t.ranged = 1;
    t.middleLow = length > 20 ? std::min<int>(at[20], 127) : 0;
    t.middleHigh = length > 21 ? std::min<int>(at[21], 127) : 127;
    const RangeBlock fallback = defaultBlock(t);
    for (int k = 0; k < 3; ++k) {
        RangeBlock& block = t.blocks[k];
        block = fallback;
        const int from = kFirstRangeBlock + k * kRangeBlockBytes;
        if (from + kRangeBlockBytes > length) continue;
        const uint8_t* f = at + from;
        block.ntr = f[0] <= 2 ? f[0] : 0;
        setTable(block, f[1], c);
        block.highKey = f[2];
        block.lowLimit = f[3];
        block.highLimit = f[4];
        block.rtr = f[5];
    }
    setRule(t, playerRule(t.blocks[kRangeMiddle], t.drum));
    t.outerRules[0] = playerRule(t.blocks[kRangeLow], t.drum);
    t.outerRules[1] = playerRule(t.blocks[kRangeHigh], t.drum);
    storeChannel(c, t, named);
}

void CStyle::applyTableOverride(const uint8_t* at, int length, const std::vector<uint8_t>& named)
{
    // The first format's keyboards never read these; its styles play by their tables.
    if (sff != 2 || length < 2 || at[0] > 15) return;
    const int c = at[0];
    for (size_t k = 0; k < parts.size() && k < named.size(); ++k) {
        PartChannel& ch = parts[k].channels[c];
        if (!named[k] || !ch.ranged) continue;
        setTable(ch.blocks[kRangeMiddle], at[1], c);
        setRule(ch, playerRule(ch.blocks[kRangeMiddle], ch.drum));
        parts[0].channels[c].ntt = ch.ntt;
    }
}

void CStyle::storeChannel(int c, const PartChannel& t, const std::vector<uint8_t>& named)
{
    for (size_t k = 0; k < parts.size() && k < named.size(); ++k) {
        if (!named[k]) continue;
        parts[k].channels[c] = t;
        PartChannel& setup = parts[0].channels[c];
        setup.dest = t.dest;
        setup.drum = t.drum;
        setup.ntt = t.ntt;
    }
}

void CStyle::finishStyle(const SequenceOptions& options)
{
    for (size_t k = 1; k < parts.size(); ++k) parts[k].startevent = -1;
    std::fill(std::begin(destUsed), std::end(destUsed), 0);
    std::fill(std::begin(destBank8), std::end(destBank8), 0);
    analyseStyle(options);
    measureParts();
}

void CStyle::analyseStyle(const SequenceOptions& options)
{
    int p = 0;
    std::vector<int> open;
    // A note on moved onto a part marker is met again after it: counted once.
    std::vector<uint8_t> moved(events.size());
    int64_t volumeSum = 0, volumeCount = 0, velocitySum = 0, velocityCount = 0;

    auto liveInMain = [&](int i) { return i >= kFirstEvent && i < eventCount() && events[i].list == kMainList; };

    for (int r = events[kMainList].next; r >= kFirstEvent; r = events[r].next) {
        MidiEvent& e = events[r];
        const int channel = channelOf(e.stat);
        if (e.stat == kStatMarker) {
            p = partFromMarker(r);
            // A note held across the marker goes to the side where it sounds longer.
            const int mt = e.ticks;
            int after = r;
            for (const int on : open) {
                const int off = events[on].onoff;
                if (!liveInMain(off) || events[off].onoff != on) continue;
                if (events[on].ticks > mt || events[off].ticks < mt) continue;
                if (mt - events[on].ticks <= events[off].ticks - mt) {
                    unlinkEvent(events, on);
                    events[on].ticks = mt;
                    linkEventAfter(events, on, after);
                    after = on;
                    moved[static_cast<size_t>(on)] = 1;
                } else {
                    unlinkEvent(events, off);
                    events[off].ticks = mt - 1;
                    linkEventAfter(events, off, findAfter(mt - 1, r));
                }
            }
            open.clear();
        } else if (isNote(e.stat)) {
            parts[static_cast<size_t>(p)].tracks[channel] = 1;
            if (isNoteOn(e.stat, e.db2)) {
                open.push_back(r);
                if (!moved[static_cast<size_t>(r)]) {
                    velocitySum += e.db2;
                    ++velocityCount;
                }
            } else {
                const auto it = std::find(open.rbegin(), open.rend(), e.onoff);
                if (it != open.rend()) open.erase(std::next(it).base());
            }
        } else if (isController(e.stat)) {
            if (e.db1 == 7) {
                volumeSum += e.db2;
                ++volumeCount;
            } else if (e.db1 == 0 && e.db2 == 8) {
                const int d = parts[static_cast<size_t>(p)].channels[channel].dest;
                if (d >= 0 && d < 16) destBank8[d] = 1;
            }
        }
    }

    // The level rules divide by these averages, so they never drop below 1.
    const int32_t targetVolume = options.targetVolume;
    const int32_t targetVelocity = options.targetVelocity;
    averageVolume = volumeSum != 0 ? static_cast<int32_t>(volumeSum / volumeCount) : targetVolume;
    averageVelocity = velocitySum != 0 ? static_cast<int32_t>(velocitySum / velocityCount) : targetVelocity;
    if (averageVolume < 1) averageVolume = targetVolume >= 1 ? targetVolume : 90;
    if (averageVelocity < 1) averageVelocity = targetVelocity >= 1 ? targetVelocity : 80;
}

void CStyle::measureParts()
{
    const int last = events[kMainList].prev;
    const int lastTick = last >= kFirstEvent ? events[last].ticks : 0;
    const int64_t barTicks = int64_t{ticksPerBeat} * numerator;
    int b = 1;
    for (size_t k = 0; k < parts.size(); ++k) {
        StylePart& part = parts[k];
        int e = b;
        if (k + 1 < parts.size()) {
            const int s = parts[k + 1].startevent;
            if (s >= kFirstEvent && s < eventCount()) e = barOfTicks(events[s].ticks);
        } else {
            e = barOfTicks(lastTick - 1) + 1;
        }
        // Parts named out of time order would measure less than nothing.
        part.bars = std::max(0, e - b);
        part.offsettime = static_cast<int32_t>(std::clamp<int64_t>(barTicks * (b - 1), INT32_MIN, INT32_MAX));
        for (int c = 0; c < 16; ++c)
            if (part.channels[c].dest >= 0 && part.channels[c].dest < 16 && part.tracks[c]) destUsed[part.channels[c].dest] = 1;
        b = e;
    }
    for (size_t k = parts.size(); k-- > 1;)
        if (parts[k].startevent == -1) parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(k));
}

int CStyle::channelClass(int p, int d) const
{
    // A channel that plays nowhere (-1) has no class.
    if (d < 0 || d > 15) return 0;
    if (p < 0 || p >= partCount()) return 0;
    for (const PartChannel& c : parts[static_cast<size_t>(p)].channels) {
        if (c.dest != d) continue;
        if (c.drum) return 1;
        return c.ntt == 3 ? 2 : 3;
    }
    return 0;
}

bool CStyle::partEndsAfter(int p, int e) const
{
    // An index outside the list ends any walk.
    if (e < kFirstEvent || e >= eventCount() || events[e].list != kMainList) return true;
    if (p >= partCount() - 1) return e == events[kMainList].prev;
    const int n = events[e].next;
    return n >= kFirstEvent && events[n].stat == kStatMarker && partNameRow(events[n].string) >= 0;
}

int CStyle::findPart(int& type, int& level1, int& level2) const
{
    if (type == -1 || level1 == -1 || level1 == -2) return 0;
    const int n = partCount();
    if (n < 2) return 0;
    int fallback = 0, nearest = 0, letter = 0, exact = 0;
    int64_t nearestDistance = INT64_MAX;
    for (int k = 1; k < n; ++k) {
        const StylePart& q = parts[static_cast<size_t>(k)];
        if (q.type == kPartMain && q.level1 == 0) fallback = k;
        if (q.type != type) continue;
        const int64_t distance = std::llabs(int64_t{q.level1} - level1);
        if (distance < nearestDistance) {
            nearestDistance = distance;
            nearest = k;
        }
        if (q.level1 == level1) {
            letter = k;
            if (q.level2 == level2) exact = k;
        }
    }
    int found = exact ? exact : letter ? letter : nearest ? nearest : fallback;
    if (!found) found = 1;
    const StylePart& q = parts[static_cast<size_t>(found)];
    type = q.type;
    level1 = q.level1;
    level2 = q.level2;
    return found;
}
