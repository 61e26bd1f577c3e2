// Subcommands for Standard MIDI Files: "smf" shows what the reader makes of a
// file, "smf-copy" writes it back with the writer; the reading of a song that
// the other subcommands share.
#include "Command.h"
#include "JsonBytes.h"

#include "sequence/CMidiFileReader.h"
#include "sequence/CMidiSequence.h"

#include <climits>
#include <cstdio>
#include <memory>

namespace vtntool {
namespace {

// Read as by an arranger without settings: no presets, no folder.
const SequenceOptions kOptions;

} // namespace

bool loadSong(const std::string& path, CMidiSequence& sequence, int& status)
{
    std::vector<uint8_t> data;
    std::string why;
    if (!readWholeFile(path, kMaxSongFileBytes, data, why)) {
        status = refuse(path + ": " + why);
        return false;
    }
    if (sequence.readMidiFile(data.data(), 0, static_cast<int>(data.size()), kOptions) == 0) {
        status = refuse(path + ": " + midiRefusalReason(data.data(), data.size()));
        return false;
    }
    return true;
}

namespace {

void appendEvents(Document& events, const CMidiSequence& s, int list)
{
    for (int r = s.events[list].next; r >= kFirstEvent; r = s.events[r].next) {
        const MidiEvent& e = s.events[r];
        events.push_back({{"list", list},
                          {"index", r},
                          {"ticks", e.ticks},
                          {"stat", e.stat},
                          {"db1", e.db1},
                          {"db2", e.db2},
                          {"db3", e.db3},
                          {"string", jsonbytes::toUtf8(e.string)},
                          {"onoff", e.onoff},
                          {"track", e.track}});
    }
}

int runSmf(const std::vector<std::string>& args)
{
    auto loaded = std::make_unique<CMidiSequence>();
    int status = 0;
    if (!loadSong(args[0], *loaded, status)) return status;
    const CMidiSequence& s = *loaded;

    Document trackNames = Document::array();
    for (int t = 0; t < s.trackCount && t < 200; ++t) trackNames.push_back(jsonbytes::toUtf8(s.trackNames[t]));
    Document events = Document::array();
    appendEvents(events, s, kMainList);
    appendEvents(events, s, kTimeSigList);
    return printDocument({{"file", jsonbytes::toUtf8(args[0])},
                          {"ticksPerBeat", s.ticksPerBeat},
                          {"numerator", s.numerator},
                          {"denominator", s.denominator},
                          {"tempo", s.tempo},
                          {"trackCount", s.trackCount},
                          {"trackNames", std::move(trackNames)},
                          {"channelNoteCount", s.channelNoteCount},
                          {"events", std::move(events)}});
}

int runSmfCopy(const std::vector<std::string>& args)
{
    auto loaded = std::make_unique<CMidiSequence>();
    int status = 0;
    if (!loadSong(args[0], *loaded, status)) return status;
    CMidiSequence& s = *loaded;

    const int size = s.writeMidiFile(s.trackNames[0], kOptions);
    std::vector<uint8_t> out(static_cast<size_t>(size));
    s.copyOut(out.data());
    std::string why;
    if (!writeWholeFile(args[1], out, why)) return refuse(args[1] + ": " + why);

    return printDocument({{"file", jsonbytes::toUtf8(args[0])}, {"output", jsonbytes::toUtf8(args[1])}, {"bytes", size}});
}

const ToolCommandRegistration smf{{"smf", "FILE", 1, runSmf}};
const ToolCommandRegistration smfCopy{{"smf-copy", "IN OUT", 2, runSmfCopy}};

} // namespace
} // namespace vtntool
