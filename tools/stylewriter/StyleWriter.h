#pragma once
// Builds style files: a Standard MIDI File whose markers name the parts,
// followed by a CASM section with the channel tables of each part group.
// Every fixture of the style tests is written with it, so each reads as code.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stylewriter {

using Bytes = std::vector<uint8_t>;

// The rules of one source range of a Ctb2 chunk, as stored.
struct RangeRules {
    int ntr = 0;
    int ntt = 2; // bit 7: bass on
    int highKey = 6;
    int lowLimit = 0;
    int highLimit = 127;
    int rtr = 3;
};

// One Ctab (or Ctb2) chunk: the settings of one source channel. In a Ctb2 the
// rules after the source chord are those of the middle range.
struct ChannelTable {
    int source = 0;
    std::string name = "instrum"; // padded with blanks to 8 characters
    int dest = 8;                 // as stored: 0-7 mean 8-15
    int editable = 1;
    uint8_t noteMute[2] = {0x0F, 0xFF};
    uint8_t chordMute[5] = {0x03, 0xFF, 0xFF, 0xFF, 0xFF};
    int root = 0;
    int type = 2;
    int ntr = 0;
    int ntt = 2;
    int highKey = 6;
    int lowLimit = 0;
    int highLimit = 127;
    int rtr = 3;
    bool ctb2 = false;
    // Ctb2 only: the middle range and the rules below and above it.
    int middleLow = 0;
    int middleHigh = 127;
    RangeRules low, high;
    Bytes tail = {0}; // bytes after the fields: most real Ctabs are 27 bytes, Ctb2s 47
    std::string id;   // empty: "Ctab" or "Ctb2"
    std::optional<uint32_t> length; // written instead of the true length
    int cut = -1;                   // >= 0: only this many bytes of the body are written
};

// A Cntt chunk: a new table byte for the middle range of one channel.
Bytes tableOverride(int source, int ntt);

// One CSEG chunk: the parts it applies to and their tables.
struct Segment {
    std::string sdec; // e.g. "Main A,Main B"
    std::vector<ChannelTable> tables;
    std::vector<std::pair<std::string, Bytes>> otherChunks; // written after the tables, e.g. Cntt
    std::string id = "CSEG";
    std::string sdecId = "Sdec";
};

class StyleWriter {
public:
    explicit StyleWriter(int ticksPerBeat = 480, int numerator = 4, int denominator = 4, int bpm = 120);

    // Tick of a bar, beat (both from 1) and tick in the initial time signature.
    int at(int bar, int beat = 1, int tick = 0) const;

    StyleWriter& marker(int tick, std::string_view text);
    // A part marker at the start of a bar.
    StyleWriter& part(std::string_view name, int bar);
    StyleWriter& note(int tick, int channel, int pitch, int velocity, int length);
    StyleWriter& controller(int tick, int channel, int number, int value);
    StyleWriter& program(int tick, int channel, int number);
    StyleWriter& meta(int tick, int type, std::string_view data);
    StyleWriter& raw(int tick, Bytes eventBytes); // an event's bytes after its delta time
    StyleWriter& segment(Segment s);

    // Layout.
    bool fileNameMarkers = true; // "SFF1" (or "SFF2") and "SInt" at tick 0
    int sff = 1;                 // 2: the second style format
    int format = 0;              // 1: the channel events on a second track
    std::string trackName = "Test style";
    bool withCasm = true;
    std::string casmId = "CASM";
    std::optional<uint32_t> casmLength; // written instead of the true length
    Bytes trailing;                     // after the CASM section (OTSc, MDB, ...)

    Bytes build() const;
    Bytes casmSection() const;

private:
    struct Event {
        int tick;
        int order;
        bool channel; // goes to the second track in format 1
        Bytes bytes;
    };
    void add(int tick, bool channel, Bytes bytes);

    int ticksPerBeat;
    int numerator;
    int denominator;
    int bpm;
    std::vector<Event> events;
    std::vector<Segment> segments;
};

Bytes channelTableChunk(const ChannelTable& table);
Bytes segmentChunk(const Segment& segment);

} // namespace stylewriter
