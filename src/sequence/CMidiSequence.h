#pragma once
// The event list: songs, styles and recordings held as 100 time-ordered,
// doubly linked lists inside one growable array of event records. Records are
// addressed by index, never by pointer, so indexes survive the array growing.
#include "base/CMidiDevice.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CKvSeq;
class CStyle;

struct MidiEvent {
    int32_t prev = 0;
    int32_t next = 0;
    int32_t ticks = 0;
    int32_t stat = 0;
    int32_t db1 = 0;
    int32_t db2 = 0;
    int32_t db3 = -1;
    std::string string;
    int32_t onoff = 0;   // partner: note on <-> note off, time signature <-> its twin in list 98
    int32_t temp = 0;
    int32_t track = -1;
    int32_t list = 0;    // list holding the record; 99 while free
    CStyle** stylePointer = nullptr; // cell holding the style a style event loads
    int32_t tsn = 0;
};

// The system's own event kinds held in MidiEvent::stat besides MIDI statuses.
enum EventKind : int32_t {
    kStatSysEx = -1,
    kStatChord = -2,
    kStatStyle = -3,
    kStatVariation = -4,
    kStatMultiVoice = -5,
    kStatChannelVoice = -6,
    kStatMelody = -7,
    kStatText = 1,
    kStatCopyright = 2,
    kStatTrackName = 3,
    kStatLyric = 5,
    kStatMarker = 6,
    kStatTempo = 81,
    kStatTimeSig = 88,
};

constexpr int kMainList = 0;
constexpr int kTimeSigList = 98;
constexpr int kFreeList = 99;
constexpr int kFirstEvent = 100; // indexes below are list sentinels
// Largest Standard MIDI File read: far beyond any real song, and room enough
// on a board with 512 MB.
constexpr size_t kMaxSongFileBytes = size_t{64} << 20;

class CMidiSequence : public CMidiDevice {
public:
    explicit CMidiSequence(CKvSeq* owner);
    ~CMidiSequence() override;

    // A sequence sends nothing of its own.
    void noteOff(int, int, int, int, int) override {}

    int insertEvent(int after, int ticks, int stat, int db1, int db2, std::string_view text, int onoff, int flag);
    void deleteEvent(int& index, int partnerMask, int twinFlag, int freeStyle);
    void clearList(int list);
    int findAfter(int ticks, int from) const;
    int findBefore(int ticks, int from) const;
    int timeSigAt(int ticks, int* numerator, int* denominator);
    int ticksPerBeatAt(int ticks);
    int barBeatToTicks(int bar, int beat, int tick);
    int ticksToBarBeat(int ticks, int* bar, int* beat, int* tick);
    int barOfTicks(int ticks);
    void moveEvent(int& index, int ticks);
    void alignTimeSignatures();

    // Display name of an event kind ("Note", "Control", "Tempo", ...); empty when it has none.
    static const char* eventName(int stat, int db2);
    int eventCount() const { return static_cast<int>(events.size()); }

    CKvSeq* owner;
    std::vector<MidiEvent> events;
    int32_t ticksPerBeat = 480;
    int32_t numerator = 4;
    int32_t denominator = 4;
    int32_t tempo = 120;
    uint8_t isStyle = 0;
    int32_t sequenceId = 0;
    int32_t timeSigCursor = kTimeSigList;
    int32_t channelNoteCount[16] = {};
    std::string trackNames[200];
    int32_t trackCount = 0;
    std::string casmData;
    std::string name; // e.g. the recording name "%04d-%s-%s"

private:
    // Empties the cell, then destroys the style it held.
    static void releaseStyleCell(CStyle** cell);

    // ---- Standard MIDI Files: MidiFileReader.cpp, MidiFileWriter.cpp, SongTextEvents.cpp ----
public:
    // Offset reached, or 0 when the data is not a usable file. Never reads
    // outside buffer[start, size).
    int readMidiFile(const uint8_t* buffer, int start, int size);
    void pairNotes();
    // Distance from readPos to the next "MTrk" or "CASM", or to `size`.
    int findNextChunk(int size);
    // Big-endian value of the next `count` (at most 4) bytes; bytes past the
    // end of the buffer are not read and count as missing.
    int readBigEndian(int count);
    // Builds a format-1 file from list 0 in writeBuffer; returns its size.
    int writeMidiFile(std::string_view trackName);
    void writeTrack(int n, std::string_view trackName, int mode);
    // Copies the file built by writeMidiFile and releases the buffer.
    void copyOut(uint8_t* destination);

    void readMarkerEvent(std::string_view text);
    void readSequencerEvent(const uint8_t* data, int length);
    // Appends the meta event of a chord, style, part, voice, channel voice or
    // melody event (without its delta time).
    void writeTextEvent(const MidiEvent& event);
    static std::string chordToSeqBytes(int root, int type, int bass);
    static std::string seqBytesToChord(std::string_view hex);

    // Reading state.
    const uint8_t* readBuffer = nullptr;
    int32_t readSize = 0;
    int32_t readPos = 0;
    int32_t chunkLength = 0;
    int32_t chunkEnd = 0;
    int32_t format = 0;
    int32_t cursor = 0;
    int32_t runningStatus = 0;
    int32_t currentTick = 0;
    int32_t currentTrack = 0;
    uint8_t runningStatusReported = 0;
    int32_t styleMarkerMoves = 0; // style markers moved to bar lines in this reading
    // Where the reader's own message lines go; the companion tool keeps its
    // standard output for JSON.
    std::FILE* messageOut = stdout;

    std::vector<int32_t> unresolvedVoices;
    std::vector<uint8_t> writeBuffer;

private:
    bool readDeltaTime();
    bool readEventBody();
    bool readChannelEvent(int statusByte);
    bool readMetaEvent();
    bool readSysExEvent();
    void setSongTimeSignature(int n, int d);
    void readTimeSignature(int n, int d);
    int insertReadEvent(int stat, int db1, int db2, std::string_view text, int flag = 1);
    void insertKeywordEvent(std::string_view text);
    bool writesOnOwnTrack(const MidiEvent& event, bool keepTracks) const;
    int32_t timeSignatureChanges = 0;
    int32_t twinCursor = kTimeSigList;
    // A first pass over the tracks that inserts nothing: the running status
    // each track starts with, where the file's first tempo and time
    // signature stand, and how many events will come.
    uint8_t dryRun = 0;
    int32_t firstTempoPos = -1;
    int32_t firstTimeSigPos = -1;
    int64_t expectedEvents = 0;
    // Note pairing: the note on sounding per key, and how many note offs of
    // cut notes are still to be dropped.
    void pairLists(int firstList);
    void pairNoteEvent(int& index);
    void endOpenNotes(int list);
    std::vector<int32_t> pairOpen, pairExtra;
    // Cuts (record, open note on) and deletions (record, 0) of the pairing
    // done while reading, applied after the time signatures are aligned.
    std::vector<std::pair<int32_t, int32_t>> pairLater;
    uint8_t pairingWhileReading = 0;
};
