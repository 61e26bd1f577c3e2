#include "StyleWriter.h"

#include "sequence/MidiBytes.h"

#include <algorithm>

namespace stylewriter {
namespace {

void be(Bytes& b, uint32_t x, int n) { putBigEndian(b, x, n); }
void vlq(Bytes& b, uint32_t x) { putVlq(b, x); }
void text(Bytes& b, std::string_view s) { putText(b, s); }

Bytes metaBytes(int type, std::string_view data)
{
    Bytes b;
    putMeta(b, type, data);
    return b;
}

void chunk(Bytes& out, std::string_view id, const Bytes& body, std::optional<uint32_t> length = std::nullopt)
{
    text(out, id.substr(0, 4));
    for (size_t k = id.size(); k < 4; ++k) out.push_back(' ');
    be(out, length ? *length : static_cast<uint32_t>(body.size()), 4);
    out.insert(out.end(), body.begin(), body.end());
}

int log2Of(int d)
{
    int e = 0;
    while (d > 1) {
        d >>= 1;
        ++e;
    }
    return e;
}

} // namespace

StyleWriter::StyleWriter(int ticks, int num, int den, int tempo)
    : ticksPerBeat(ticks), numerator(num), denominator(den), bpm(tempo)
{
}

int StyleWriter::at(int bar, int beat, int tick) const
{
    return ((bar - 1) * numerator + (beat - 1)) * ticksPerBeat + tick;
}

void StyleWriter::add(int tick, bool channel, Bytes bytes)
{
    events.push_back({tick, static_cast<int>(events.size()), channel, std::move(bytes)});
}

StyleWriter& StyleWriter::marker(int tick, std::string_view s)
{
    add(tick, false, metaBytes(0x06, s));
    return *this;
}

StyleWriter& StyleWriter::part(std::string_view name, int bar) { return marker(at(bar), name); }

StyleWriter& StyleWriter::note(int tick, int channel, int pitch, int velocity, int length)
{
    add(tick, true, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(pitch), static_cast<uint8_t>(velocity)});
    add(tick + length, true, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(pitch), 64});
    return *this;
}

StyleWriter& StyleWriter::controller(int tick, int channel, int number, int value)
{
    add(tick, true, {static_cast<uint8_t>(0xB0 | channel), static_cast<uint8_t>(number), static_cast<uint8_t>(value)});
    return *this;
}

StyleWriter& StyleWriter::program(int tick, int channel, int number)
{
    add(tick, true, {static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(number)});
    return *this;
}

StyleWriter& StyleWriter::meta(int tick, int type, std::string_view data)
{
    add(tick, false, metaBytes(type, data));
    return *this;
}

StyleWriter& StyleWriter::raw(int tick, Bytes eventBytes)
{
    add(tick, true, std::move(eventBytes));
    return *this;
}

StyleWriter& StyleWriter::segment(Segment s)
{
    segments.push_back(std::move(s));
    return *this;
}

Bytes channelTableChunk(const ChannelTable& t)
{
    Bytes body;
    body.push_back(static_cast<uint8_t>(t.source));
    std::string name = t.name.substr(0, 8);
    name.resize(8, ' ');
    text(body, name);
    for (int v : {t.dest, t.editable}) body.push_back(static_cast<uint8_t>(v));
    body.insert(body.end(), t.noteMute, t.noteMute + 2);
    body.insert(body.end(), t.chordMute, t.chordMute + 5);
    for (int v : {t.root, t.type}) body.push_back(static_cast<uint8_t>(v));
    auto rules = [&body](const RangeRules& r) {
        for (int v : {r.ntr, r.ntt, r.highKey, r.lowLimit, r.highLimit, r.rtr}) body.push_back(static_cast<uint8_t>(v));
    };
    const RangeRules middle{t.ntr, t.ntt, t.highKey, t.lowLimit, t.highLimit, t.rtr};
    if (t.ctb2) {
        body.push_back(static_cast<uint8_t>(t.middleLow));
        body.push_back(static_cast<uint8_t>(t.middleHigh));
        rules(t.low);
        rules(middle);
        rules(t.high);
    } else {
        rules(middle);
    }
    body.insert(body.end(), t.tail.begin(), t.tail.end());
    if (t.cut >= 0 && static_cast<size_t>(t.cut) < body.size()) body.resize(static_cast<size_t>(t.cut));
    Bytes out;
    chunk(out, !t.id.empty() ? t.id : t.ctb2 ? "Ctb2" : "Ctab", body, t.length);
    return out;
}

Bytes tableOverride(int source, int ntt) { return {static_cast<uint8_t>(source), static_cast<uint8_t>(ntt)}; }

Bytes segmentChunk(const Segment& s)
{
    Bytes body;
    Bytes sdec;
    text(sdec, s.sdec);
    chunk(body, s.sdecId, sdec);
    for (const ChannelTable& t : s.tables) {
        const Bytes c = channelTableChunk(t);
        body.insert(body.end(), c.begin(), c.end());
    }
    for (const auto& [id, data] : s.otherChunks) chunk(body, id, data);
    Bytes out;
    chunk(out, s.id, body);
    return out;
}

Bytes StyleWriter::casmSection() const
{
    Bytes body;
    for (const Segment& s : segments) {
        const Bytes c = segmentChunk(s);
        body.insert(body.end(), c.begin(), c.end());
    }
    Bytes out;
    chunk(out, casmId, body, casmLength);
    return out;
}

Bytes StyleWriter::build() const
{
    std::vector<Event> sorted = events;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) { return a.tick < b.tick; });

    Bytes head;
    head.push_back(0);
    const Bytes timeSig = {0xFF, 0x58, 0x04, static_cast<uint8_t>(numerator), static_cast<uint8_t>(log2Of(denominator)), 0x18, 0x08};
    head.insert(head.end(), timeSig.begin(), timeSig.end());
    head.push_back(0);
    head.insert(head.end(), {0xFF, 0x51, 0x03});
    be(head, static_cast<uint32_t>(60000000 / bpm), 3);
    head.push_back(0);
    const Bytes name = metaBytes(0x03, trackName);
    head.insert(head.end(), name.begin(), name.end());
    if (fileNameMarkers) {
        for (const char* m : {sff == 2 ? "SFF2" : "SFF1", "SInt"}) {
            head.push_back(0);
            const Bytes b = metaBytes(0x06, m);
            head.insert(head.end(), b.begin(), b.end());
        }
    }

    const int trackCount = format == 1 ? 2 : 1;
    std::vector<Bytes> tracks(static_cast<size_t>(trackCount));
    tracks[0] = head;
    std::vector<int> last(static_cast<size_t>(trackCount), 0);
    for (const Event& e : sorted) {
        const size_t t = (format == 1 && e.channel) ? 1 : 0;
        vlq(tracks[t], static_cast<uint32_t>(std::max(0, e.tick - last[t])));
        last[t] = std::max(last[t], e.tick);
        tracks[t].insert(tracks[t].end(), e.bytes.begin(), e.bytes.end());
    }

    Bytes out;
    text(out, "MThd");
    be(out, 6, 4);
    be(out, static_cast<uint32_t>(format), 2);
    be(out, static_cast<uint32_t>(trackCount), 2);
    be(out, static_cast<uint32_t>(ticksPerBeat), 2);
    for (Bytes& t : tracks) {
        t.insert(t.end(), {0x00, 0xFF, 0x2F, 0x00});
        chunk(out, "MTrk", t);
    }
    if (withCasm) {
        const Bytes c = casmSection();
        out.insert(out.end(), c.begin(), c.end());
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
}

} // namespace stylewriter
