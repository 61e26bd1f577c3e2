#pragma once
// Note pairing, one record at a time in list order: a note on opens its key
// (cutting a note of that key still sounding, dropping a doubled one), a note
// off closes it or is dropped. The pairing walk over a sequence and the file
// reader, which pairs while it inserts, share it.
#include <cstdint>
#include <utility>
#include <vector>

class CMidiSequence;

class CNotePairing {
public:
    // Cuts (record, open note on) and deletions (record, 0) to make later.
    using Deferred = std::vector<std::pair<int32_t, int32_t>>;

    // With `deferred` the cuts and deletions are collected there instead of
    // being made, so that the list is not changed under its writer.
    explicit CNotePairing(CMidiSequence& sequence, Deferred* deferred = nullptr);

    // One record of the walk; a deleted record leaves `index` on the record
    // before it.
    void step(int& index);
    // Every key still open ends at the list's last tick.
    void endOpenNotes(int list);

private:
    CMidiSequence& seq;
    Deferred* later;
    // The note on sounding per key, and how many note offs of cut notes are
    // still to be dropped.
    std::vector<int32_t> open, extra;
};
