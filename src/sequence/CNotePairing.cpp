#include "sequence/CNotePairing.h"

#include "base/MidiStatus.h"
#include "sequence/CMidiSequence.h"

namespace {

// Keys: channel x 256 + note, so that a damaged data byte above 127 pairs
// with its own kind instead of reading outside a table.
constexpr int kPairKeys = 16 * 256;

} // namespace

CNotePairing::CNotePairing(CMidiSequence& sequence, Deferred* deferred)
    : seq(sequence), later(deferred), open(kPairKeys, 0), extra(kPairKeys, 0)
{
}

void CNotePairing::step(int& index)
{
    std::vector<MidiEvent>& events = seq.events;
    const int r = index;
    const int stat = events[r].stat;
    const int note = events[r].db1;
    if (!isNote(stat) || note < 0 || note > 255) return;
    const int key = channelOf(stat) * 256 + note;
    const int o = open[key];
    if (isNoteOn(stat, events[r].db2)) {
        if (!o) {
            open[key] = r;
        } else if (events[o].ticks < events[r].ticks) {
            if (later)
                later->emplace_back(r, o);
            else
                events[o].onoff =
                    seq.insertEvent(events[r].prev, events[r].ticks, noteOnStatus(channelOf(stat)), note, 0, {}, o, 1);
            ++extra[key];
            open[key] = r;
        } else if (later) {
            later->emplace_back(r, 0);
        } else {
            seq.deleteEvent(index, 0, 0, 0);
        }
    } else if (o && extra[key] == 0) {
        events[o].onoff = r;
        events[r].onoff = o;
        open[key] = 0;
    } else {
        if (o) --extra[key];
        if (later)
            later->emplace_back(r, 0);
        else
            seq.deleteEvent(index, 0, 0, 0);
    }
}

void CNotePairing::endOpenNotes(int list)
{
    std::vector<MidiEvent>& events = seq.events;
    const int last = events[list].prev;
    const int endTick = last >= kFirstEvent ? events[last].ticks : 0;
    for (int key = 0; key < kPairKeys; ++key) {
        const int o = open[key];
        if (!o) continue;
        events[o].onoff = seq.insertEvent(events[list].prev, endTick, noteOnStatus(key / 256), key % 256, 0, {}, o, 1);
    }
}

void CMidiSequence::pairNotes(int firstList)
{
    for (int list = firstList; list < kFreeList; ++list) {
        // A list of one lone note on is paired too, or that note would
        // never end.
        const int first = events[list].next;
        if (first == list) continue;
        CNotePairing pairing(*this);
        for (int r = first; r != list;) {
            const int next = events[r].next;
            // The list mostly lies in the array in its own order: fetch ahead.
            if (next + 8 < eventCount()) __builtin_prefetch(&events[static_cast<size_t>(next) + 8]);
            int at = r;
            pairing.step(at);
            r = next;
        }
        pairing.endOpenNotes(list);
    }
}
