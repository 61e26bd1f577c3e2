// Standard MIDI File reader. The buffer may come from anywhere (a download, a
// damaged card), so every read is bounded by the chunk being read and by the
// buffer; a damaged event ends its track instead of reading on.
#include "sequence/CMidiFileReader.h"

#include "base/MessageSink.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

namespace {

// The file format keeps track numbers in one byte of the writer's header and
// the engine's tables hold 99 songs' worth of tracks.
constexpr int kMaxTracks = 99;
constexpr int kTrackNameSlots = 200;

// Largest tick the reader keeps: every delta time up to it still fits the
// four-byte variable-length quantity that the writer and other readers expect.
constexpr int64_t kMaxTick = 0x0FFFFFFF;

bool idAt(const uint8_t* b, int64_t pos, int64_t size, const char* id)
{
    return pos >= 0 && pos + 4 <= size && std::memcmp(b + pos, id, 4) == 0;
}

uint32_t bigEndianAt(const uint8_t* b, int pos, int count)
{
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 8) | b[pos + i];
    return v;
}

// A variable-length quantity of at most four bytes, as the format allows; a
// fifth byte is never taken, however the fourth is flagged. False when the
// quantity runs past `limit`.
bool readVlq(const uint8_t* b, int32_t& pos, int limit, uint32_t& value)
{
    value = 0;
    for (int n = 0; n < 4; ++n) {
        if (pos >= limit) return false;
        const uint8_t c = b[pos++];
        value = (value << 7) | (c & 0x7Fu);
        if (!(c & 0x80)) return true;
    }
    return true;
}

constexpr char kHexUpper[] = "0123456789ABCDEF";

// Each byte as two upper-case hexadecimal digits and a blank.
void appendHex(std::string& out, const uint8_t* data, uint32_t n)
{
    for (uint32_t k = 0; k < n; ++k) {
        out += kHexUpper[data[k] >> 4];
        out += kHexUpper[data[k] & 0x0F];
        out += ' ';
    }
}

// Beats per minute of a tempo meta event's data, rounded; 0 when it names
// none (no bytes, or a value of 0). A huge value falls below 10 BPM.
// Microseconds per quarter note, as written; 0 when there is none. Three
// bytes hold any tempo a file can carry: a value beyond them is no tempo.
int32_t tempoMicros(const uint8_t* data, int n)
{
    if (n <= 0) return 0;
    uint64_t micros = 0;
    for (int k = 0; k < n; ++k) micros = std::min<uint64_t>((micros << 8) | data[k], uint64_t{1} << 40);
    return micros > 0xFFFFFF ? 0 : static_cast<int32_t>(micros);
}

// The tempo in whole BPM, for showing and stepping (at least 1).
int tempoOf(const uint8_t* data, int n)
{
    const int32_t micros = tempoMicros(data, n);
    if (micros == 0) return 0;
    return std::max(1, static_cast<int>(60000000.0 / static_cast<double>(micros) + 0.5));
}

// Denominator from the time signature's power of two; any exponent above 7
// gives a value no time signature accepts.
int signatureDenominator(int exponent) { return exponent <= 7 ? 1 << exponent : 256; }

// Real songs change metre a few hundred times at most; the bar grid is
// walked from its start by every bar computation, so it stays short.
constexpr int kMaxTimeSignatureChanges = 1000;
// Events moved by aligning misplaced changes: about a second of work.
constexpr int64_t kAlignWorkLimit = 300'000'000;

// The changes the event list accepts (a numerator of 1 goes with any
// denominator up to 99).
bool validTimeSignature(int n, int d)
{
    const bool noteValue = d == 2 || d == 4 || d == 8 || d == 16 || d == 32;
    return n >= 1 && d <= 99 && (n == 1 || noteValue);
}

} // namespace

int CMidiSequence::readMidiFile(const uint8_t* buffer, int start, int size, const SequenceOptions& options)
{
    CMidiFileReader reader(*this, options);
    return reader.read(buffer, start, size);
}

CMidiFileReader::CMidiFileReader(CMidiSequence& target, const SequenceOptions& readOptions)
    : seq(target), options(readOptions)
{
}

int CMidiFileReader::read(const uint8_t* buffer, int start, int size)
{
    // A refused file leaves the sequence as it was: zeroing tempo and time
    // signature first would hand a tempo of 0 to whoever keeps the sequence.
    if (!buffer || start < 0 || size < 0 || start > size || size - start < 14) return 0;
    readBuffer = buffer;
    readSize = size;
    if (!readHeader(start)) return 0;
    std::vector<Track> tracks = scanChunks();
    const int32_t tracksEnd = readPos;
    dryRun(tracks);
    mergeTracks(tracks);
    readPos = tracksEnd;
    finish();
    return readPos;
}

bool CMidiFileReader::readHeader(int start)
{
    if (!idAt(readBuffer, start, readSize, "MThd")) return false;
    const int fileFormat = static_cast<int>(bigEndianAt(readBuffer, start + 8, 2));
    const int tracks = static_cast<int>(bigEndianAt(readBuffer, start + 10, 2));
    if (fileFormat > 1) return false;
    if (tracks > kTrackNameSlots) {
        seq.trackCount = kTrackNameSlots;
        return false;
    }
    if (tracks > kMaxTracks) return false;

    runningStatus = 0;
    runningStatusReported = false;
    styleMarkerMoves = 0;
    timeSignatureChanges = 0;
    twinCursor = kTimeSigList;
    for (int32_t& c : seq.channelNoteCount) c = 0;
    seq.tempo = 0;
    seq.usPerQuarter = 0;
    seq.numerator = 0;
    seq.denominator = 0;
    seq.unresolvedVoices.clear();
    format = fileFormat;
    seq.trackCount = tracks;
    seq.ticksPerBeat = static_cast<int32_t>(bigEndianAt(readBuffer, start + 12, 2));
    // The header is taken as six bytes whatever length it states.
    readPos = start + 14;
    chunkEnd = readPos;
    for (int t = 0; t < seq.trackCount; ++t) seq.trackNames[t].clear();
    return true;
}

// Where each track's events lie.
std::vector<CMidiFileReader::Track> CMidiFileReader::scanChunks()
{
    std::vector<Track> found;
    while (static_cast<int>(found.size()) < seq.trackCount && readSize - readPos >= 8) {
        // A style's CASM section ends the tracks even when the header
        // promised more of them.
        if (idAt(readBuffer, readPos, readSize, "CASM")) break;
        const bool isTrack = idAt(readBuffer, readPos, readSize, "MTrk");
        int64_t length = bigEndianAt(readBuffer, readPos + 4, 4);
        readPos += 8;
        if (length > readSize - readPos) length = findNextChunk(readBuffer, readPos, readSize);
        chunkEnd = static_cast<int32_t>(readPos + length);
        // A chunk of another kind is no track: skipping it must not cost the
        // song one of its tracks.
        if (isTrack) found.push_back({readPos, chunkEnd, 0, 0, static_cast<int32_t>(found.size())});
        readPos = chunkEnd;
    }
    return found;
}

// Running status carries from one track into the next, and the first tempo
// and time signature are the file's first in track order.
void CMidiFileReader::dryRun(std::vector<Track>& tracks)
{
    dryRunning = true;
    firstTempoPos = firstTimeSigPos = -1;
    expectedEvents = 0;
    for (Track& t : tracks) {
        t.status = runningStatus;
        readPos = t.pos;
        chunkEnd = t.end;
        currentTick = 0;
        currentTrack = t.number;
        while (readPos < chunkEnd && readDeltaTime() && readEventBody()) {
        }
    }
    dryRunning = false;
    seq.events.reserve(seq.events.size() + static_cast<size_t>(expectedEvents));
}

// All tracks at once, in time order, earlier tracks first at equal ticks:
// the order that inserting track after track gives, without walking the
// list once per track.
void CMidiFileReader::mergeTracks(std::vector<Track>& tracks)
{
    auto load = [&](const Track& t) {
        readPos = t.pos;
        chunkEnd = t.end;
        runningStatus = t.status;
        currentTick = t.tick;
        currentTrack = t.number;
    };
    auto save = [&](Track& t) {
        t.pos = readPos;
        t.status = runningStatus;
        t.tick = currentTick;
    };
    // A min-heap of (tick, track) keys; the track on top is read until its
    // next event would come after another track's, then its key is
    // replaced in place.
    auto key = [&](const Track& t) { return (int64_t{t.tick} << 8) | t.number; };
    std::vector<int64_t> heap;
    for (Track& t : tracks) {
        load(t);
        if (readPos < chunkEnd && readDeltaTime()) {
            save(t);
            heap.push_back(key(t));
        }
    }
    std::make_heap(heap.begin(), heap.end(), std::greater<>());
    auto siftDown = [&heap] {
        const size_t n = heap.size();
        const int64_t k = heap[0];
        size_t i = 0;
        for (;;) {
            size_t c = 2 * i + 1;
            if (c >= n) break;
            if (c + 1 < n && heap[c + 1] < heap[c]) ++c;
            if (heap[c] >= k) break;
            heap[i] = heap[c];
            i = c;
        }
        heap[i] = k;
    };
    // A song read into an empty list is inserted at the list's end, in list
    // order, so its notes are paired as they come instead of in a second
    // walk over the whole list: links at once, while the cuts and deletions
    // wait until the time signatures are aligned, as they would have. (A
    // style's markers can move its tracks back, so a style, like a list that
    // already held events, is paired after reading.)
    if (!seq.isStyle && seq.events[kMainList].next == kMainList) pairing.emplace(seq, &pairLater);
    cursor = kMainList;
    while (!heap.empty()) {
        Track& t = tracks[static_cast<size_t>(heap[0] & 0xFF)];
        load(t);
        bool more = true;
        for (;;) {
            if (!readEventBody() || readPos >= chunkEnd || !readDeltaTime()) {
                more = false;
                break;
            }
            const int64_t next = (int64_t{currentTick} << 8) | t.number;
            const size_t n = heap.size();
            const bool first = n < 2 || next <= heap[1];
            if (first && (n < 3 || next <= heap[2])) continue;
            break;
        }
        if (more) {
            save(t);
            heap[0] = key(t);
        } else {
            heap[0] = heap.back();
            heap.pop_back();
            if (heap.empty()) break;
        }
        siftDown();
    }
}

void CMidiFileReader::applyDeferredPairing()
{
    std::vector<MidiEvent>& events = seq.events;
    for (const auto& [r, open] : pairLater) {
        if (open) {
            const MidiEvent& e = events[r];
            events[open].onoff = seq.insertEvent(e.prev, e.ticks, noteOnStatus(channelOf(e.stat)), e.db1, 0, {}, open, 1);
        } else {
            int at = r;
            seq.deleteEvent(at, 0, 0, 0);
        }
    }
    CNotePairing::Deferred().swap(pairLater);
}

void CMidiFileReader::finish()
{
    if (seq.trackCount == 0 || seq.numerator == 0) seq.numerator = seq.denominator = 4;
    if (seq.tempo == 0) seq.tempo = 120;
    // One alignment after all tracks moves every event after a change,
    // whichever track it came from; aligning at each change would be cubic
    // in the number of changes and would move only the tracks read so far.
    // A change on a bar line does not move anything, so for well-made files
    // the result is the same. A file whose misplaced changes would make
    // loading stall keeps them where they stand.
    if (timeSignatureChanges > 0 && int64_t{seq.eventCount()} * timeSignatureChanges <= kAlignWorkLimit)
        seq.alignTimeSignatures();
    if (pairing) {
        applyDeferredPairing();
        pairing->endOpenNotes(kMainList);
        pairing.reset();
        seq.pairNotes(kMainList + 1);
    } else {
        seq.pairNotes();
    }

    // A style reads its CASM section itself.
    if (seq.isStyle) return;
    seq.casmData.append(reinterpret_cast<const char*>(readBuffer + readPos), static_cast<size_t>(readSize - readPos));
    readPos = readSize;
    if (seq.casmData.compare(0, 4, "CASM") != 0) seq.casmData.clear();
}

int CMidiFileReader::findNextChunk(const uint8_t* buffer, int from, int size)
{
    if (!buffer || from < 0) return 0;
    for (int p = from; p + 4 <= size; ++p) {
        const uint8_t c = buffer[p];
        if ((c == 'M' && std::memcmp(buffer + p, "MTrk", 4) == 0) || (c == 'C' && std::memcmp(buffer + p, "CASM", 4) == 0))
            return p - from;
    }
    return std::max(0, size - from);
}

bool CMidiFileReader::readDeltaTime()
{
    uint32_t delta;
    if (!readVlq(readBuffer, readPos, chunkEnd, delta)) return false;
    currentTick = static_cast<int32_t>(std::min<int64_t>(int64_t{currentTick} + delta, kMaxTick));
    return true;
}

// The event after a delta time: false ends the track (the event ran past
// the chunk).
bool CMidiFileReader::readEventBody()
{
    if (readPos >= chunkEnd) return false;
    const uint8_t b = readBuffer[readPos++];
    if (b == 0xFF) return readMetaEvent();
    if (b < 0xF0) return readChannelEvent(b);
    if (b == 0xF0 || b == 0xF7) return readSysExEvent();
    // System common and real-time messages have no place in a file. They are
    // skipped by their standard lengths, so the music after them is kept;
    // running status passes over them.
    const int32_t length = b == 0xF2 ? 2 : (b == 0xF1 || b == 0xF3) ? 1 : 0;
    if (chunkEnd - readPos < length) return false;
    readPos += length;
    return true;
}

int CMidiFileReader::insertReadEvent(int stat, int db1, int db2, std::string_view text, int flag)
{
    const int at = seq.findAfter(currentTick, cursor);
    const int i = seq.insertEvent(at, currentTick, stat, db1, db2, text, 0, flag);
    cursor = i;
    return i;
}

bool CMidiFileReader::readChannelEvent(int b)
{
    int status, d1;
    if (b < 0x80) {
        // Files with thousands of running-status events are common; one
        // line per file is enough to tell.
        if (!runningStatusReported && !dryRunning) {
            runningStatusReported = true;
            vtn::printLine("Runningstatus!!!!!");
        }
        status = runningStatus;
        d1 = b;
    } else {
        status = b;
        if (readPos >= chunkEnd) return false;
        d1 = readBuffer[readPos++];
    }
    int d2 = 0;
    if (hasTwoDataBytes(status)) {
        if (readPos >= chunkEnd) return false;
        d2 = readBuffer[readPos++];
    }
    // A data byte before any status has nothing to run on: its bytes are
    // passed over and nothing is inserted.
    if (status == 0) return true;
    runningStatus = status;
    if (dryRunning) {
        expectedEvents += isNoteOn(status, d2) ? 2 : 1;
        return true;
    }

    const int i = insertReadEvent(status, d1, d2, {});
    seq.events[i].track = currentTrack;
    if (isNoteOn(status, d2)) ++seq.channelNoteCount[channelOf(status)];
    if (pairing && isNote(status)) {
        int at = i;
        pairing->step(at);
    }
    return true;
}

bool CMidiFileReader::readSysExEvent()
{
    uint32_t n;
    if (!readVlq(readBuffer, readPos, chunkEnd, n)) return false;
    if (n > static_cast<uint32_t>(chunkEnd - readPos)) return false;
    if (dryRunning) {
        readPos += static_cast<int32_t>(n);
        ++expectedEvents;
        return true;
    }
    std::string text;
    text.reserve(3 + 3 * static_cast<size_t>(n));
    text += "F0 ";
    appendHex(text, readBuffer + readPos, n);
    readPos += static_cast<int32_t>(n);
    insertReadEvent(kStatSysEx, 0, 0, text);
    return true;
}

bool CMidiFileReader::readMetaEvent()
{
    if (readPos >= chunkEnd) return false;
    const int32_t at = readPos - 1;
    const int type = readBuffer[readPos++];
    uint32_t length;
    if (!readVlq(readBuffer, readPos, chunkEnd, length)) return false;
    if (length > static_cast<uint32_t>(chunkEnd - readPos)) return false;
    const uint8_t* data = readBuffer + readPos;
    const int n = static_cast<int>(length);
    readPos += n;
    const std::string_view text(reinterpret_cast<const char*>(data), length);
    if (dryRunning) {
        // Fewer than two bytes carry no time signature.
        // The song's own tempo and time signature are set before any event
        // is placed, so bar positions taken while reading use them.
        if (type == 0x58 && n >= 2 && firstTimeSigPos < 0) {
            firstTimeSigPos = at;
            setSongTimeSignature(data[0], signatureDenominator(data[1]));
        }
        if (type == 0x51 && tempoMicros(data, n) > 0 && firstTempoPos < 0) {
            firstTempoPos = at;
            seq.tempo = tempoOf(data, n);
            seq.usPerQuarter = tempoMicros(data, n);
        }
        // Events this one may become: a time signature has a twin.
        const bool kept = type == 0x51 || type == 0x01 || type == 0x02 || type == 0x05 || type == 0x06 || type == 0x7F;
        if (n > 0) expectedEvents += type == 0x58 ? 2 : kept;
        return true;
    }

    switch (type) {
    case 0x58:
        if (n < 2) break;
        if (at != firstTimeSigPos) readTimeSignature(data[0], signatureDenominator(data[1]));
        break;
    case 0x51: {
        // The whole BPM for showing, and the tempo exactly as written.
        const int32_t micros = tempoMicros(data, n);
        if (micros == 0) break;
        if (at != firstTempoPos) insertReadEvent(kStatTempo, tempoOf(data, n), micros, {});
        break;
    }
    case 0x01:
    case 0x02:
    case 0x05:
        if (n > 0) insertReadEvent(type, 0, 0, text);
        break;
    case 0x03:
        if (n > 0) seq.trackNames[currentTrack] = text;
        break;
    case 0x06:
        if (n <= 0) break;
        // A style's markers go to bar lines, and the rest of their
        // track moves with them.
        if (seq.isStyle) currentTick = CStyle::markerTick(seq, currentTick, text, styleMarkerMoves);
        readMarkerEvent(text);
        break;
    case 0x7F:
        if (n > 0) readSequencerEvent(data, n);
        break;
    default:
        break;
    }
    return true;
}

// The file's first time signature, wherever it stands, is the song's own.
void CMidiFileReader::setSongTimeSignature(int n, int d)
{
    seq.numerator = n;
    seq.denominator = d;
    const bool noteValue = d == 1 || d == 2 || d == 4 || d == 8 || d == 16 || d == 32;
    if (n < 1 || n > 99 || !noteValue) seq.numerator = seq.denominator = 4;
}

void CMidiFileReader::readTimeSignature(int n, int d)
{
    if (!validTimeSignature(n, d) || timeSignatureChanges >= kMaxTimeSignatureChanges) return;
    const int at = seq.findAfter(currentTick, cursor);
    const int i = insertReadEvent(kStatTimeSig, n, d, {}, 0);
    if (i == at) return;
    // The twin that puts the change into the bar grid, in quarter notes
    // where they divide evenly; aligned once all tracks are read.
    int qn = n, qd = d;
    if ((d == 8 && n % 2 == 0) || (d == 16 && n % 4 == 0) || (d == 32 && n % 8 == 0)) {
        qn = n / (d / 4);
        qd = 4;
    } else if (d == 2) {
        qn = n * 2;
        qd = 4;
    }
    if (twinCursor < kTimeSigList || twinCursor >= seq.eventCount() || seq.events[twinCursor].list != kTimeSigList)
        twinCursor = kTimeSigList;
    const int twinAt = seq.findAfter(currentTick, twinCursor);
    const int twin = seq.insertEvent(twinAt, currentTick, kStatTimeSig, qn, qd, {}, i, 0);
    if (twin == twinAt) return;
    seq.events[i].onoff = twin;
    twinCursor = twin;
    ++timeSignatureChanges;
}

void CMidiFileReader::readMarkerEvent(std::string_view text)
{
    // A style places its markers on bar lines and names its parts with
    // them; the style reader takes them from here as plain markers.
    if (seq.isStyle) {
        insertReadEvent(kStatMarker, 0, 0, text);
        return;
    }
    insertKeywordEvent(text);
}

void CMidiFileReader::insertKeywordEvent(std::string_view text)
{
    const CMidiSequence::KeywordEvent k = seq.keywordEvent(text, options);
    const int i = insertReadEvent(k.stat, k.db1, k.db2, k.text);
    seq.events[i].db3 = k.db3;
    if (k.unresolved) seq.unresolvedVoices.push_back(i);
}

// Only a chord (43 7B 01, root, type, bass) is kept; a seventh byte is
// ignored and a long vendor block is not turned into text just to be dropped.
void CMidiFileReader::readSequencerEvent(const uint8_t* data, int length)
{
    if (!data || length < 6 || data[0] != 0x43 || data[1] != 0x7B || data[2] != 0x01) return;
    std::string hex;
    appendHex(hex, data, static_cast<uint32_t>(std::min(length, 7)));
    readMarkerEvent("chord:" + CMidiSequence::seqBytesToChord(hex));
}

std::string midiRefusalReason(const uint8_t* d, size_t size)
{
    if (size < 14) return "too short for a MIDI file header";
    if (d[0] != 'M' || d[1] != 'T' || d[2] != 'h' || d[3] != 'd') return "no MThd header at offset 0";
    const int format = d[8] << 8 | d[9], tracks = d[10] << 8 | d[11];
    if (format > 1) return "format " + std::to_string(format) + " at offset 8 is not read (only 0 and 1)";
    if (tracks > 99) return std::to_string(tracks) + " tracks at offset 10 (at most 99)";
    return "not a usable Standard MIDI File";
}
