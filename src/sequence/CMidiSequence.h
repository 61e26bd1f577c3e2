#pragma once
// The event list: songs, styles and recordings held as 100 time-ordered,
// doubly linked lists inside one growable array of event records. Records are
// addressed by index, never by pointer, so indexes survive the array growing.
#include "base/CMidiDevice.h"
#include "sequence/SequenceOptions.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// Sequence id of the presets that old settings files carry as a MIDI file:
// its voice names are resolved by the settings loader, not by the reader.
constexpr int kSettingsSongId = 99;
// Largest Standard MIDI File read: far beyond any real song, and room enough
// on a board with 512 MB.
constexpr size_t kMaxSongFileBytes = size_t{64} << 20;

class CMidiSequence : public CMidiDevice {
public:
    CMidiSequence();
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

    std::vector<MidiEvent> events;
    int32_t ticksPerBeat = 480;
    int32_t numerator = 4;
    int32_t denominator = 4;
    int32_t tempo = 120;
    // The first tempo exactly, in microseconds per quarter note; 0: `tempo`.
    // A tempo event carries its own in db2 (0: its BPM in db1).
    int32_t usPerQuarter = 0;
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

    // ---- Standard MIDI Files: CMidiFileReader, MidiFileWriter.cpp, SongTextEvents.cpp ----
public:
    // Offset reached, or 0 when the data is not a usable file. Never reads
    // outside buffer[start, size).
    int readMidiFile(const uint8_t* buffer, int start, int size, const SequenceOptions& options);
    // Pairs the note ons of lists firstList to 98 with their note offs.
    void pairNotes(int firstList = kMainList);
    // Builds a format-1 file from list 0 in writeBuffer; returns its size.
    int writeMidiFile(std::string_view trackName, const SequenceOptions& options);
    void writeTrack(int n, std::string_view trackName, int mode, const SequenceOptions& options);
    // Copies the file built by writeMidiFile and releases the buffer.
    void copyOut(uint8_t* destination);

    // The event that a marker's text stands for: a keyword's kind and values,
    // or a plain marker with the text.
    struct KeywordEvent {
        int32_t stat = kStatMarker, db1 = 0, db2 = 0, db3 = 0;
        std::string text;
        bool unresolved = false; // a voice name no preset has
    };
    KeywordEvent keywordEvent(std::string_view text, const SequenceOptions& options) const;
    // Appends the meta event of a chord, style, part, voice, channel voice or
    // melody event (without its delta time).
    void writeTextEvent(const MidiEvent& event, const SequenceOptions& options);
    static std::string chordToSeqBytes(int root, int type, int bass);
    static std::string seqBytesToChord(std::string_view hex);

    std::vector<int32_t> unresolvedVoices;
    std::vector<uint8_t> writeBuffer;

private:
    bool writesOnOwnTrack(const MidiEvent& event, bool keepTracks) const;
};
