// Standard MIDI File writer: list 0 as a format-1 file in memory. Every
// length is computed from the bytes that follow it, never from the sequence.
#include "sequence/CMidiSequence.h"
#include "sequence/MidiBytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A delta time must fit four bytes of variable-length quantity; later
// ticks are written at this one.
constexpr int64_t kMaxTick = 0x0FFFFFFF;
constexpr int kMaxSysExBytes = 255;
constexpr int kStyleNameBytes = 32;
// File tracks written back as tracks of their own: with the first track and
// 16 channel tracks the file stays within the 99 tracks the reader takes.
constexpr int kMaxKeptTracks = 99 - 1 - 16;

int keptTrackEnd(int trackCount) { return std::min(trackCount, kMaxKeptTracks + 1); }

void patchBigEndian(std::vector<uint8_t>& out, size_t at, uint32_t v, int bytes)
{
    for (int k = 0; k < bytes; ++k) out[at + k] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - k)));
}

uint8_t dataByte(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Three bytes, as every reader expects: the exact tempo where there is one,
// else the BPM's; a tempo without a value is 120.
void putTempo(std::vector<uint8_t>& out, int bpm, int32_t exactMicros)
{
    uint32_t micros = exactMicros > 0   ? static_cast<uint32_t>(exactMicros)
                      : bpm > 0         ? 60000000u / static_cast<uint32_t>(bpm)
                                        : 500000u;
    micros = std::min<uint32_t>(micros, 0xFFFFFF);
    out.push_back(0xFF);
    out.push_back(0x51);
    out.push_back(0x03);
    putBigEndian(out, micros, 3);
}

void putTimeSignature(std::vector<uint8_t>& out, int n, int d)
{
    int exponent = 0;
    while (exponent < 7 && (1 << (exponent + 1)) <= d) ++exponent;
    const uint8_t bytes[] = {0xFF, 0x58, 0x04, dataByte(n), static_cast<uint8_t>(exponent), 0x18, 0x08};
    out.insert(out.end(), bytes, bytes + sizeof bytes);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes after F0 of a SysEx text ("F0 7E 7F 09 01 F7 "); false when
// there are more than the writer takes.
bool sysExBody(std::string_view text, std::vector<uint8_t>& body)
{
    body.clear();
    bool first = true;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        const size_t b = i;
        while (i < text.size() && text[i] != ' ') ++i;
        const std::string_view token = text.substr(b, i - b);
        if (token.empty() || token.size() > 2) continue;
        const int hi = hexDigit(token[0]);
        const int lo = token.size() == 2 ? hexDigit(token[1]) : 0;
        if (hi < 0 || lo < 0) continue;
        const uint8_t c = static_cast<uint8_t>(token.size() == 2 ? hi * 16 + lo : hi);
        if (first && c == 0xF0) {
            first = false;
            continue;
        }
        first = false;
        body.push_back(c);
        if (body.size() > static_cast<size_t>(kMaxSysExBytes)) return false;
    }
    return true;
}

} // namespace

bool CMidiSequence::writesOnOwnTrack(const MidiEvent& e, bool keepTracks) const
{
    // Events of file track 0 (and of tracks the file did not declare or that
    // would pass the reader's track limit) have no track of their own in the
    // written file; they go to the channel tracks instead of being lost.
    return keepTracks && trackCount > 1 && e.track >= 1 && e.track < keptTrackEnd(trackCount);
}

int CMidiSequence::writeMidiFile(std::string_view trackName, const SequenceOptions& options)
{
    const bool keepTracks = options.keepTracks;
    int counts[16] = {};
    for (int r = events[kMainList].next; r >= kFirstEvent; r = events[r].next) {
        const MidiEvent& e = events[r];
        if (e.stat >= 0x80 && e.stat <= 0xFF && !writesOnOwnTrack(e, keepTracks)) ++counts[channelOf(e.stat)];
    }

    writeBuffer.clear();
    putText(writeBuffer, "MThd");
    putBigEndian(writeBuffer, 6, 4);
    putBigEndian(writeBuffer, 1, 2);
    const size_t trackCountAt = writeBuffer.size();
    putBigEndian(writeBuffer, 0, 2);
    putBigEndian(writeBuffer, static_cast<uint32_t>(ticksPerBeat) & 0xFFFF, 2);

    int written = 0;
    writeTrack(0, trackName, 0, options);
    ++written;
    for (int c = 1; c <= 16; ++c) {
        if (!counts[c - 1]) continue;
        char channelName[16];
        std::snprintf(channelName, sizeof channelName, "channel %d", c);
        writeTrack(c, channelName, 0, options);
        ++written;
    }
    if (keepTracks && trackCount > 1) {
        for (int t = 1; t < keptTrackEnd(trackCount); ++t) {
            writeTrack(t, trackNames[t], 1, options);
            ++written;
        }
    }
    patchBigEndian(writeBuffer, trackCountAt, static_cast<uint32_t>(written), 2);
    return static_cast<int>(writeBuffer.size());
}

void CMidiSequence::writeTrack(int n, std::string_view trackName, int mode, const SequenceOptions& options)
{
    const bool keepTracks = options.keepTracks;
    putText(writeBuffer, "MTrk");
    const size_t lengthAt = writeBuffer.size();
    putBigEndian(writeBuffer, 0, 4);
    const size_t dataStart = writeBuffer.size();

    if (n < 1) {
        writeBuffer.push_back(0);
        putTimeSignature(writeBuffer, numerator, denominator);
        writeBuffer.push_back(0);
        putTempo(writeBuffer, tempo, usPerQuarter);
        writeBuffer.push_back(0);
        if (isStyle && trackName.size() < static_cast<size_t>(kStyleNameBytes)) {
            std::string padded(trackName);
            padded.resize(kStyleNameBytes, '\0');
            putMeta(writeBuffer, 0x03, padded);
        } else {
            putMeta(writeBuffer, 0x03, trackName);
        }
    } else {
        writeBuffer.push_back(0);
        putMeta(writeBuffer, 0x03, trackName);
    }

    int64_t last = 0;
    std::vector<uint8_t> sysEx;
    for (int r = events[kMainList].next; r >= kFirstEvent; r = events[r].next) {
        MidiEvent& e = events[r];
        // A text meta event of length 0 would be dropped by the reader.
        if (e.stat >= kStatText && e.stat <= kStatMarker && e.string.empty()) e.string.push_back(' ');

        const bool channelEvent = e.stat >= 0x80 && e.stat <= 0xFF;
        bool write;
        if (channelEvent) {
            if (mode == 1)
                write = e.track == n;
            else
                write = n >= 1 && channelOf(e.stat) == n - 1 && !writesOnOwnTrack(e, keepTracks);
        } else if (n >= 1) {
            write = false;
        } else if (e.stat == kStatTempo) {
            write = e.db1 > 0;
        } else if (e.stat == kStatSysEx) {
            write = sysExBody(e.string, sysEx);
        } else {
            write = e.stat == kStatTimeSig || (e.stat >= 1 && e.stat <= 6) ||
                    (e.stat <= kStatChord && e.stat >= kStatMelody);
        }
        if (!write) continue;

        const int64_t t = std::min<int64_t>(e.ticks, kMaxTick);
        if (t >= last) {
            putVlq(writeBuffer, static_cast<uint32_t>(t - last));
            last = t;
        } else {
            putVlq(writeBuffer, 0);
        }

        if (channelEvent) {
            writeBuffer.push_back(static_cast<uint8_t>(e.stat));
            writeBuffer.push_back(dataByte(e.db1));
            if (hasTwoDataBytes(e.stat)) writeBuffer.push_back(dataByte(e.db2));
        } else if (e.stat == kStatTempo) {
            putTempo(writeBuffer, e.db1, e.db2);
        } else if (e.stat == kStatTimeSig) {
            putTimeSignature(writeBuffer, e.db1, e.db2);
        } else if (e.stat == kStatSysEx) {
            writeBuffer.push_back(0xF0);
            putVlq(writeBuffer, static_cast<uint32_t>(sysEx.size()));
            writeBuffer.insert(writeBuffer.end(), sysEx.begin(), sysEx.end());
        } else if (e.stat >= 1 && e.stat <= 6) {
            putMeta(writeBuffer, e.stat, e.string);
        } else {
            writeTextEvent(e, options);
        }
    }

    const uint8_t endOfTrack[] = {0x00, 0xFF, 0x2F, 0x00};
    writeBuffer.insert(writeBuffer.end(), endOfTrack, endOfTrack + sizeof endOfTrack);
    patchBigEndian(writeBuffer, lengthAt, static_cast<uint32_t>(writeBuffer.size() - dataStart), 4);
}

void CMidiSequence::copyOut(uint8_t* destination)
{
    if (destination && !writeBuffer.empty()) std::memcpy(destination, writeBuffer.data(), writeBuffer.size());
    std::vector<uint8_t>().swap(writeBuffer);
}
