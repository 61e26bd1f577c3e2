// "style": what the style reader makes of a style file: its parts in order,
// with the channel settings of each part.
#include "Command.h"
#include "Json.h"

#include "sequence/CStyle.h"

#include <climits>
#include <memory>

namespace vtntool {
namespace {

// Why the reader refused the file, from its header: the reader answers 0 only.
std::string refusalReason(const std::vector<uint8_t>& d)
{
    if (d.size() < 14) return "too short for a MIDI file header";
    if (d[0] != 'M' || d[1] != 'T' || d[2] != 'h' || d[3] != 'd') return "no MThd header at offset 0";
    const int format = d[8] << 8 | d[9], tracks = d[10] << 8 | d[11];
    if (format > 1) return "format " + std::to_string(format) + " at offset 8 is not read (only 0 and 1)";
    if (tracks > 99) return std::to_string(tracks) + " tracks at offset 10 (at most 99)";
    return "not a usable Standard MIDI File";
}

void byteArray(Json& j, std::string_view key, const uint8_t* v, int n)
{
    j.key(key).beginArray();
    for (int k = 0; k < n; ++k) j.value(static_cast<int>(v[k]));
    j.endArray();
}

void channel(Json& j, const PartChannel& c)
{
    j.beginObject().member("dest", c.dest).member("name", std::string_view(c.name)).member("editable", c.editable);
    byteArray(j, "noteMute", c.noteMute, 2);
    byteArray(j, "chordMute", c.chordMute, 5);
    j.member("drum", static_cast<int>(c.drum));
    j.key("sourceChord").beginObject().member("root", c.sourceChord.root).member("type", c.sourceChord.type).endObject();
    j.member("ntr", c.ntr)
        .member("ntt", c.ntt)
        .member("highKey", c.highKey)
        .member("lowLimit", c.lowLimit)
        .member("highLimit", c.highLimit)
        .member("rtr", c.rtr)
        .endObject();
}

int runStyle(const std::vector<std::string>& args)
{
    const std::string& path = args[0];
    std::vector<uint8_t> data;
    std::string why;
    if (!readWholeFile(path, kMaxStyleFileBytes, data, why)) return refuse(path + ": " + why);

    auto loaded = std::make_unique<CStyle>();
    CStyle& s = *loaded;
    // Read as by an arranger without settings.
    if (s.readStyle(data.data(), static_cast<int>(data.size()), SequenceOptions{}) == 0)
        return refuse(path + ": not a style file: " + refusalReason(data));

    Json j;
    j.beginObject()
        .member("tempo", s.tempo)
        .member("numerator", s.numerator)
        .member("denominator", s.denominator)
        .member("ticksPerBeat", s.ticksPerBeat)
        .member("averageVolume", s.averageVolume)
        .member("averageVelocity", s.averageVelocity);
    byteArray(j, "destUsed", s.destUsed, 16);
    byteArray(j, "destBank8", s.destBank8, 16);
    j.key("parts").beginArray();
    for (const StylePart& p : s.parts) {
        j.beginObject()
            .member("name", std::string_view(p.name))
            .member("type", p.type)
            .member("level1", p.level1)
            .member("level2", p.level2)
            .member("bars", p.bars)
            .member("offsettime", p.offsettime)
            .member("startevent", p.startevent);
        j.key("tracks").beginArray();
        for (int t : p.tracks) j.value(t);
        j.endArray();
        j.key("channels").beginArray();
        for (const PartChannel& c : p.channels) channel(j, c);
        j.endArray();
        j.endObject();
    }
    j.endArray();
    j.endObject();
    return printDocument(j.text());
}

const ToolCommandRegistration style{{"style", "FILE", 1, runStyle}};

} // namespace
} // namespace vtntool
