#pragma once
// A style: an event list divided into named parts, with per-part channel
// settings that say where each channel plays and how it follows the chord.
#include "chords/Chord.h"
#include "sequence/CMidiSequence.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Part kinds.
enum PartType : int32_t { kPartMain = 0, kPartFillIn = 1, kPartIntro = 2, kPartEnding = 3, kPartBreak = 4 };

// How the notes of one source range follow the chord, in the player's terms.
// ntr: 0 root transposition, 1 root fixed. ntt: 0 bypass, 1 melody, 2 chord,
// 3 bass, 4 melodic minor, 5 harmonic minor.
struct NoteRule {
    int32_t ntr = 0;
    int32_t ntt = 2;
    int32_t highKey = 6;
    int32_t lowLimit = 0;
    int32_t highLimit = 127;
    int32_t rtr = 3;
};

// One range block of a second-format channel table: the same fields in the
// file's terms. ntr: 0 root transposition, 1 root fixed, 2 guitar. ntt: the
// low seven bits of the table byte (0 bypass, 1 melody, 2 chord, 3-10 the
// minor and dorian tables; for the guitar rule 0-2 its kind); bassOn: its bit 7.
struct RangeBlock : NoteRule {
    int32_t bassOn = 0;
};

enum RangeIndex : int { kRangeLow = 0, kRangeMiddle = 1, kRangeHigh = 2 };

struct PartChannel {
    int32_t dest = -1;
    std::string name;
    int32_t editable = 1;
    uint8_t noteMute[2] = {0x0F, 0xFF};
    uint8_t drum = 0;
    uint8_t chordMute[5] = {0x03, 0xFF, 0xFF, 0xFF, 0xFF};
    Chord sourceChord;
    int32_t ntr = 0;
    int32_t ntt = 2;
    int32_t highKey = 6;
    int32_t lowLimit = 0;
    int32_t highLimit = 127;
    int32_t rtr = 3;

    // A second-format table divides the source notes into a middle range
    // (middleLow..middleHigh) and, when middleLow is above 0 and middleHigh
    // below 127, the ranges below and above it, each with its own block.
    // The fields above then hold the middle block in the player's terms.
    uint8_t ranged = 0;
    int32_t middleLow = 0;
    int32_t middleHigh = 127;
    RangeBlock blocks[3];  // low, middle, high, as read
    NoteRule outerRules[2]; // the low and high blocks in the player's terms

    // The defaults depend on the source channel: drums on 9, bass on 2 and 10.
    void setDefaults(int sourceChannel);
    bool hasRange(int range) const;
    // The range a source note falls in.
    int rangeOf(int pitch) const;
    // The rule that moves a source note.
    NoteRule ruleFor(int pitch) const;
    // The rule the channel's own fields give (the middle range's).
    NoteRule ownRule() const;
};

struct StylePart {
    std::string name;
    int32_t bars = 0;
    int32_t offsettime = 0;
    int32_t startevent = -1;
    PartChannel channels[16];
    int32_t type = kPartMain;
    int32_t level1 = 0;
    int32_t level2 = 0;
    int32_t tracks[16] = {};

    StylePart();
};

// Canonical form of a part name ("main a" -> "Main A"), or "none" for a text
// that names no part. The text is compared whole, blanks included.
std::string canonicalPartName(std::string_view text);
// Sets the part's name, and its kind and letters as read from the name.
void parsePartName(StylePart& part, std::string_view name);
// The kind and letters a part name gives; false (kind untouched) when it
// begins with no kind.
bool partKindOf(std::string_view name, int32_t& type, int32_t& level1, int32_t& level2);

// Largest style file read; real ones are a few hundred kilobytes.
constexpr size_t kMaxStyleFileBytes = size_t{16} << 20;

class CStyle : public CMidiSequence {
public:
    CStyle();

    int partCount() const { return static_cast<int>(parts.size()); }
    // Type of a part; -1 when the index names no part.
    int partType(int index) const;

    // Reads a whole style file; bytes read, or 0 when it is no Standard MIDI
    // File (the style then keeps only part 0). The tempo found is the
    // style's `tempo`; applying it is the caller's business.
    int readStyle(const uint8_t* buffer, int size, const SequenceOptions& options);
    // The part that marker event m opens (0 = none); renames the marker to
    // its canonical form and creates the part on first sight.
    int partFromMarker(int m);
    // The CASM section at buffer[start]; returns the offset reached (start
    // when there is none).
    int readCasm(const uint8_t* buffer, int start, int size);
    void finishStyle(const SequenceOptions& options);
    void analyseStyle(const SequenceOptions& options);
    void measureParts();
    // Class of destination channel d in part p: 0 unused, 1 drums, 2 bass,
    // 3 other.
    int channelClass(int p, int d) const;
    // Whether event e is the last one of part p.
    bool partEndsAfter(int p, int e) const;
    // The part that best matches the wanted kind and letters (0 = none); the
    // found part's kind and letters are written back.
    int findPart(int& type, int& level1, int& level2) const;

    // Where the reader places a style marker read at `tick`: on the line of
    // its bar, markers of bar 1 on bar 2 except the file-name markers ("S...")
    // which stay in bar 1. `moves` counts the markers moved in one reading.
    static int markerTick(CMidiSequence& sequence, int tick, std::string_view text, int32_t& moves);

    uint8_t destUsed[16] = {};
    uint8_t destBank8[16] = {};
    std::vector<StylePart> parts;
    int32_t averageVolume = 90;
    int32_t averageVelocity = 80;
    // 1 for the first style format, 2 for the second (an "SFF2" marker).
    int32_t sff = 1;

private:
    // One Ctab chunk of `length` bytes at `at` applied to the parts named in
    // the Sdec text (one flag per part).
    void applyChannelTable(const uint8_t* at, int length, const std::vector<uint8_t>& named);
    // The same for a Ctb2 chunk.
    void applyRangedTable(const uint8_t* at, int length, const std::vector<uint8_t>& named);
    // A Cntt chunk: a new table for the middle range of one channel.
    void applyTableOverride(const uint8_t* at, int length, const std::vector<uint8_t>& named);
    // Stores `t` as channel c of the named parts; the set-up part takes its
    // destination, drum flag and table.
    void storeChannel(int c, const PartChannel& t, const std::vector<uint8_t>& named);
};
