// "style": what the style reader makes of a style file: its parts in order,
// with the channel settings of each part.
#include "Command.h"
#include "JsonBytes.h"

#include "sequence/CMidiFileReader.h"
#include "sequence/CStyle.h"

#include <climits>
#include <memory>

namespace vtntool {
namespace {

Document bytes(const uint8_t* v, int n) { return std::vector<int>(v, v + n); }

Document block(const PartChannel& c, int range)
{
    if (!c.hasRange(range)) return Document();
    const RangeBlock& b = c.blocks[range];
    return {{"ntr", b.ntr},         {"ntt", b.ntt},           {"bassOn", b.bassOn}, {"highKey", b.highKey},
            {"lowLimit", b.lowLimit}, {"highLimit", b.highLimit}, {"rtr", b.rtr}};
}

Document channel(const PartChannel& c)
{
    Document d = {{"dest", c.dest},
            {"name", jsonbytes::toUtf8(c.name)},
            {"editable", c.editable},
            {"noteMute", bytes(c.noteMute, 2)},
            {"chordMute", bytes(c.chordMute, 5)},
            {"drum", c.drum},
            {"sourceChord", {{"root", c.sourceChord.root}, {"type", c.sourceChord.type}}},
            {"ntr", c.ntr},
            {"ntt", c.ntt},
            {"highKey", c.highKey},
            {"lowLimit", c.lowLimit},
            {"highLimit", c.highLimit},
            {"rtr", c.rtr}};
    // A second-format table also gives its ranges, in the file's terms.
    if (c.ranged) {
        d["middleLow"] = c.middleLow;
        d["middleHigh"] = c.middleHigh;
        d["low"] = block(c, kRangeLow);
        d["middle"] = block(c, kRangeMiddle);
        d["high"] = block(c, kRangeHigh);
    }
    return d;
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
        return refuse(path + ": not a style file: " + midiRefusalReason(data.data(), data.size()));

    Document parts = Document::array();
    for (const StylePart& p : s.parts) {
        Document channels = Document::array();
        for (const PartChannel& c : p.channels) channels.push_back(channel(c));
        parts.push_back({{"name", jsonbytes::toUtf8(p.name)},
                         {"type", p.type},
                         {"level1", p.level1},
                         {"level2", p.level2},
                         {"bars", p.bars},
                         {"offsettime", p.offsettime},
                         {"startevent", p.startevent},
                         {"tracks", p.tracks},
                         {"channels", std::move(channels)}});
    }
    return printDocument({{"sff", s.sff},
                          {"tempo", s.tempo},
                          {"numerator", s.numerator},
                          {"denominator", s.denominator},
                          {"ticksPerBeat", s.ticksPerBeat},
                          {"averageVolume", s.averageVolume},
                          {"averageVelocity", s.averageVelocity},
                          {"destUsed", bytes(s.destUsed, 16)},
                          {"destBank8", bytes(s.destBank8, 16)},
                          {"parts", std::move(parts)}});
}

const ToolCommandRegistration style{{"style", "FILE", 1, runStyle}};

} // namespace
} // namespace vtntool
