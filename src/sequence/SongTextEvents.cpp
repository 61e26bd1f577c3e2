// The arranger's own instructions inside a song: chord, style, part, voice,
// channel-voice and melody changes carried as markers, and chords carried as
// sequencer-specific events.
#include "base/Text.h"
#include "chords/Chord.h"
#include "sequence/CMidiSequence.h"
#include "sequence/MidiBytes.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

constexpr char kHexLower[] = "0123456789abcdef";

void appendHexByte(std::string& out, uint8_t c)
{
    out += kHexLower[c >> 4];
    out += kHexLower[c & 0x0F];
    out += ' ';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Bytes of a text of blank-separated hexadecimal pairs; anything that is no
// hexadecimal byte is passed over.
std::vector<uint8_t> hexBytes(std::string_view hex)
{
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < hex.size()) {
        while (i < hex.size() && hex[i] == ' ') ++i;
        const size_t b = i;
        while (i < hex.size() && hex[i] != ' ') ++i;
        const std::string_view token = hex.substr(b, i - b);
        if (token.empty() || token.size() > 2) continue;
        const int hi = hexDigit(token[0]);
        const int lo = token.size() == 2 ? hexDigit(token[1]) : 0;
        if (hi < 0 || lo < 0) continue;
        out.push_back(static_cast<uint8_t>(token.size() == 2 ? hi * 16 + lo : hi));
    }
    return out;
}

// Pitch class of a root or bass code: the low four bits number the natural
// notes, the high four bits say how far they are altered.
int decodeNoteCode(int code)
{
    static constexpr int kNaturals[8] = {0, 0, 2, 4, 5, 7, 9, 11};
    const int low = code & 0x0F;
    const int pc = (low >= 1 && low <= 7) ? kNaturals[low] : low;
    int alter;
    if (code >= 0x60)
        alter = 3;
    else if (code >= 0x50)
        alter = 2;
    else if (code >= 0x40)
        alter = 1;
    else if (code >= 0x30)
        alter = 0;
    else if (code >= 0x20)
        alter = -1;
    else if (code >= 0x10)
        alter = -2;
    else
        alter = -3;
    return ((pc + alter) % 12 + 12) % 12;
}

constexpr uint8_t kNoteCodes[12] = {0x31, 0x41, 0x32, 0x23, 0x33, 0x34, 0x44, 0x35, 0x45, 0x36, 0x27, 0x37};
constexpr uint8_t kNoRootCode = 0x00;
constexpr uint8_t kNoBassCode = 0x7F;

// Decimal value of the piece text[offset, offset + length); a piece past the
// end of the text reads as 0.
int pieceValue(std::string_view text, size_t offset, size_t length)
{
    if (offset >= text.size()) return 0;
    return static_cast<int>(vtn::decimalValue(text.substr(offset, length)));
}

// The number n when the text is exactly what "%d" makes of it.
bool isDecimalText(std::string_view v, int& n)
{
    const long value = vtn::decimalValue(v);
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return false;
    if (std::to_string(value) != v) return false;
    n = static_cast<int>(value);
    return true;
}

} // namespace

CMidiSequence::KeywordEvent CMidiSequence::keywordEvent(std::string_view text, const SequenceOptions& options) const
{
    KeywordEvent k;
    k.text = std::string(text);

    if (vtn::startsWith(text, "chord:")) {
        Chord chord;
        parseChordSymbol(chord, text.substr(6));
        k.stat = kStatChord;
        k.db1 = chord.root;
        k.db2 = chord.type;
        k.db3 = chord.bass;
        k.text.clear();
    } else if (vtn::startsWith(text, "style:")) {
        k.stat = kStatStyle;
        const std::string_view file = text.substr(6);
        if (file.find('/') == std::string_view::npos)
            k.text = options.baseFolder + "Styles/" + std::string(file);
        else
            k.text = std::string(file);
    } else if (vtn::startsWith(text, "part:")) {
        k.stat = kStatVariation;
        k.text = std::string(text.substr(5));
    } else if (vtn::startsWith(text, "voice:")) {
        k.stat = kStatMultiVoice;
        const std::string_view v = text.substr(6);
        k.text = std::string(v);
        int n;
        if (sequenceId == kSettingsSongId) {
            k.db1 = 0;
        } else if (isDecimalText(v, n)) {
            k.db1 = n;
        } else {
            const int found = options.presetByName ? options.presetByName(options.presetContext, vtn::trimView(v)) : -1;
            if (found >= 0) {
                k.db1 = found;
                k.text.clear();
            } else {
                k.unresolved = true;
            }
        }
    } else if (vtn::startsWith(text, "channelvoice:")) {
        k.stat = kStatChannelVoice;
        k.db1 = pieceValue(text, 13, 1);
        k.db2 = pieceValue(text, 15, 1);
        k.db3 = pieceValue(text, 17, 2);
        k.text.clear();
    } else if (vtn::startsWith(text, "melody:")) {
        k.stat = kStatMelody;
        k.db3 = pieceValue(text, 7, 3);
        k.db1 = pieceValue(text, 11, 3);
        k.db2 = pieceValue(text, 15, 3);
        k.text.clear();
    }
    return k;
}

std::string CMidiSequence::seqBytesToChord(std::string_view hex)
{
    const std::vector<uint8_t> bytes = hexBytes(hex);
    Chord chord;
    if (bytes.size() < 6) {
        buildChord(chord, -1, 0, -1);
        return chord.symbol;
    }
    // The writer's code for "no chord"; decoded as a note it would come back
    // as A.
    const int root = bytes[3] == kNoRootCode ? -1 : decodeNoteCode(bytes[3]);
    const int type = bytes[4] > kChordTypeCount - 1 ? 0 : bytes[4];
    int bass = bytes[5] == kNoBassCode ? -1 : decodeNoteCode(bytes[5]);
    if (bass == root) bass = -1;
    buildChord(chord, root, type, bass);
    return chord.symbol;
}

std::string CMidiSequence::chordToSeqBytes(int root, int type, int bass)
{
    std::string hex = "43 7b 01 ";
    appendHexByte(hex, root >= 0 && root < 12 ? kNoteCodes[root] : kNoRootCode);
    appendHexByte(hex, static_cast<uint8_t>(type >= 0 && type < kChordTypeCount ? type : 0));
    appendHexByte(hex, bass >= 0 && bass < 12 ? kNoteCodes[bass] : kNoBassCode);
    return hex;
}

void CMidiSequence::writeTextEvent(const MidiEvent& e, const SequenceOptions& options)
{
    char text[64];
    switch (e.stat) {
    case kStatChord: {
        if (options.seqSpecificChords) {
            const std::vector<uint8_t> bytes = hexBytes(chordToSeqBytes(e.db1, e.db2, e.db3));
            putMeta(writeBuffer, 0x7F, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        } else {
            Chord chord;
            buildChord(chord, e.db1, e.db2, e.db3);
            putMeta(writeBuffer, 0x06, std::string("chord:") + chord.symbol);
        }
        break;
    }
    case kStatStyle:
        putMeta(writeBuffer, 0x06, "style:" + e.string);
        break;
    case kStatVariation:
        putMeta(writeBuffer, 0x06, "part:" + e.string);
        break;
    case kStatMultiVoice: {
        // A name that matched no preset is kept: "voice:0" would select
        // preset 0 when the file is read again.
        const std::string_view voiceName = vtn::trimView(e.string);
        int n;
        if (e.db1 == 0 && !voiceName.empty() && !isDecimalText(voiceName, n)) {
            putMeta(writeBuffer, 0x06, "voice:" + e.string);
        } else {
            std::snprintf(text, sizeof text, "voice:%d", e.db1);
            putMeta(writeBuffer, 0x06, text);
        }
        break;
    }
    case kStatChannelVoice:
        std::snprintf(text, sizeof text, "channelvoice:%d;%d;%d", e.db1, e.db2, e.db3);
        putMeta(writeBuffer, 0x06, text);
        break;
    case kStatMelody:
        std::snprintf(text, sizeof text, "melody:%03d;%03d;%03d", e.db3, e.db1, e.db2);
        putMeta(writeBuffer, 0x06, text);
        break;
    default:
        break;
    }
}
