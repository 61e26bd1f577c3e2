#pragma once
// Standard MIDI File reader: fills a sequence from a file held in memory. The
// parse state lives here for one reading; the sequence keeps only what was
// read.
#include "sequence/CMidiSequence.h"
#include "sequence/CNotePairing.h"
#include "sequence/SequenceOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Why the reader refused the bytes, from their header, as a short phrase
// ("no MThd header at offset 0"): the reader itself only answers 0.
std::string midiRefusalReason(const uint8_t* data, size_t size);

class CMidiFileReader {
public:
    // The sequence must outlive the reader; the options are copied.
    CMidiFileReader(CMidiSequence& target, const SequenceOptions& options);

    // Offset reached, or 0 when the data is not a usable file. Never reads
    // outside buffer[start, size).
    int read(const uint8_t* buffer, int start, int size);
    int position() const { return readPos; }
    int fileFormat() const { return format; }

    // Distance from `from` to the next "MTrk" or "CASM" before `size`, or to
    // `size`.
    static int findNextChunk(const uint8_t* buffer, int from, int size);

private:
    struct Track {
        int32_t pos, end, tick, status, number;
    };
    // The steps of read().
    bool readHeader(int start);
    std::vector<Track> scanChunks();
    void dryRun(std::vector<Track>& tracks);
    void mergeTracks(std::vector<Track>& tracks);
    void finish();

    bool readDeltaTime();
    bool readEventBody();
    bool readChannelEvent(int statusByte);
    bool readMetaEvent();
    bool readSysExEvent();
    void setSongTimeSignature(int n, int d);
    void readTimeSignature(int n, int d);
    int insertReadEvent(int stat, int db1, int db2, std::string_view text, int flag = 1);
    void readMarkerEvent(std::string_view text);
    void readSequencerEvent(const uint8_t* data, int length);
    void insertKeywordEvent(std::string_view text);
    void applyDeferredPairing();

    CMidiSequence& seq;
    const SequenceOptions options;

    const uint8_t* readBuffer = nullptr;
    int32_t readSize = 0;
    int32_t readPos = 0;
    int32_t chunkEnd = 0;
    int32_t format = 0;
    int32_t cursor = 0; // last inserted event: where the next search starts
    int32_t runningStatus = 0;
    int32_t currentTick = 0;
    int32_t currentTrack = 0;
    bool runningStatusReported = false;
    int32_t styleMarkerMoves = 0;
    int32_t timeSignatureChanges = 0;
    int32_t twinCursor = kTimeSigList;
    // A first pass over the tracks that inserts nothing: the running status
    // each track starts with, where the file's first tempo and time
    // signature stand, and how many events will come.
    bool dryRunning = false;
    int32_t firstTempoPos = -1;
    int32_t firstTimeSigPos = -1;
    int64_t expectedEvents = 0;
    // Pairing while reading: links at once, cuts and deletions afterwards.
    std::optional<CNotePairing> pairing;
    CNotePairing::Deferred pairLater;
};
