#pragma once
// The event list: songs, styles and recordings held as 100 time-ordered,
// doubly linked lists inside one growable array of event records. Records are
// addressed by index, never by pointer, so indexes survive the array growing.
#include "midi/CMidiDevice.h"

#include <cstdint>
#include <string>
#include <string_view>
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
};
