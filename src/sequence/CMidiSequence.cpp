#include "sequence/CMidiSequence.h"

#include "sequence/CStyle.h"

#include <cstdint>
#include <limits>

namespace {

constexpr int32_t kMaxBar = 99'999'999;
constexpr int kSentinels = 100;

using Events = std::vector<MidiEvent>;

int32_t clampToInt32(int64_t v)
{
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

int64_t saturatingMul(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r))
        return (a < 0) != (b < 0) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return r;
}

int64_t saturatingAdd(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return a < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return r;
}

// A division of 0 (or a negative one from a damaged file) would make every bar
// and beat conversion divide by zero; the arithmetic counts it as 1 instead.
int64_t beatTicks(int32_t ticksPerBeat) { return ticksPerBeat < 1 ? 1 : ticksPerBeat; }
int64_t positiveNumerator(int32_t n) { return n < 1 ? 1 : n; }

bool inRange(const Events& ev, int i) { return i >= 0 && i < static_cast<int>(ev.size()); }
bool isReal(const Events& ev, int i) { return i >= kFirstEvent && i < static_cast<int>(ev.size()); }

// A real record that sits in one of the lists 0-98 (not on the free list).
bool isLive(const Events& ev, int i) { return isReal(ev, i) && ev[i].list >= 0 && ev[i].list < kFreeList; }

// The record's partner when the link holds both ways; 0 otherwise. A one-way
// link is stale (its partner was deleted and the record maybe reused), so it
// is never followed.
int partnerOf(const Events& ev, int i)
{
    const int p = ev[i].onoff;
    return (p != i && isLive(ev, p) && ev[p].onoff == i) ? p : 0;
}

int twinOf(const Events& ev, int i)
{
    const int p = partnerOf(ev, i);
    return (p && ev[i].stat == kStatTimeSig && ev[p].list == kTimeSigList && ev[i].list != kTimeSigList) ? p : 0;
}

bool validTimeSig(int n, int d)
{
    const bool noteValue = d == 2 || d == 4 || d == 8 || d == 16 || d == 32;
    if (n != 1 && !noteValue) return false;
    return n >= 1 && d <= 99;
}

// The bar grid counts quarter notes, so a change goes into list 98 with the
// numerator it has in quarters wherever that is a whole number.
void quarterNoteSignature(int n, int d, int& qn, int& qd)
{
    qn = n;
    qd = d;
    if (d == 8 && n % 2 == 0) {
        qn = n / 2;
    } else if (d == 16 && n % 4 == 0) {
        qn = n / 4;
    } else if (d == 32 && n % 8 == 0) {
        qn = n / 8;
    } else if (d == 2 && n <= std::numeric_limits<int>::max() / 2) {
        qn = n * 2;
    } else {
        return;
    }
    qd = 4;
}

void unlink(Events& ev, int i)
{
    ev[ev[i].prev].next = ev[i].next;
    ev[ev[i].next].prev = ev[i].prev;
}

void linkAfter(Events& ev, int i, int after)
{
    ev[i].prev = after;
    ev[i].next = ev[after].next;
    ev[ev[after].next].prev = i;
    ev[after].next = i;
}

// Stable re-sort of one list after ticks were changed in place; linear when
// the list is still in order, as it is unless list 98 holds records that
// are not twins of list 0.
void restoreOrder(Events& ev, int list)
{
    int r = ev[list].next;
    while (isReal(ev, r)) {
        const int following = ev[r].next;
        int p = ev[r].prev;
        if (isReal(ev, p) && ev[p].ticks > ev[r].ticks) {
            unlink(ev, r);
            while (isReal(ev, p) && ev[p].ticks > ev[r].ticks) p = ev[p].prev;
            linkAfter(ev, r, p);
        }
        r = following;
    }
}

// One stretch of the bar grid: from `start` (bar `firstBar`) up to the next
// record of list 98, with bars of `barTicks`.
struct Segment {
    int64_t start = 0;
    int64_t firstBar = 1;
    int64_t numerator = 1;
    int64_t barTicks = 1;
};

// Walks list 98 until stop(change tick, bar at that change) says the wanted
// place lies before that change.
template <class Stop>
Segment findSegment(const Events& ev, int64_t tpb, int32_t firstNumerator, Stop stop)
{
    Segment g;
    g.numerator = positiveNumerator(firstNumerator);
    g.barTicks = tpb * g.numerator;
    for (int r = ev[kTimeSigList].next; isReal(ev, r); r = ev[r].next) {
        const int64_t e = ev[r].ticks;
        const int64_t nextBar = g.firstBar + (e - g.start) / g.barTicks;
        if (stop(e, nextBar)) break;
        g.start = e;
        g.firstBar = nextBar;
        g.numerator = positiveNumerator(ev[r].db1);
        g.barTicks = tpb * g.numerator;
    }
    return g;
}

// The segment holding tick t; a tick equal to a change counts in the segment
// before it, so a change on a bar line lies at beat 1, tick 0 of a bar.
Segment segmentAt(const Events& ev, int64_t tpb, int32_t firstNumerator, int64_t t)
{
    return findSegment(ev, tpb, firstNumerator, [t](int64_t e, int64_t) { return t <= e; });
}

} // namespace

CMidiSequence::CMidiSequence()
{
    events.resize(kSentinels);
    for (int i = 0; i < kSentinels; ++i) {
        events[i].prev = events[i].next = i;
        events[i].list = i;
    }
}

CMidiSequence::~CMidiSequence() = default;

void CMidiSequence::releaseStyleCell(CStyle** cell)
{
    CStyle* style = *cell;
    *cell = nullptr;
    delete style;
}

int CMidiSequence::insertEvent(int after, int ticks, int stat, int db1, int db2, std::string_view text, int onoff,
                               int flag)
{
    if (stat == kStatTimeSig && !validTimeSig(db1, db2)) return after;
    if (!inRange(events, after)) return after;
    const int list = after < kFirstEvent ? after : events[after].list;
    // Linking into the free list would hand the record out a second time.
    if (list < 0 || list >= kFreeList) return after;

    int i;
    if (events[kFreeList].next == kFreeList || !isReal(events, events[kFreeList].next)) {
        events.emplace_back();
        i = eventCount() - 1;
    } else {
        i = events[kFreeList].next;
        unlink(events, i);
    }
    linkAfter(events, i, after);

    MidiEvent& e = events[i];
    e.ticks = ticks;
    e.stat = stat;
    e.db1 = db1;
    e.db2 = db2;
    e.db3 = 0;
    e.string.assign(text);
    e.onoff = onoff;
    e.list = list;
    e.track = -1;
    e.temp = 0;
    e.stylePointer = nullptr;
    e.tsn = 0; // a recycled record must not carry its former ordinal

    // A twin of a twin would put the same change into list 98 twice.
    if (stat == kStatTimeSig && (flag & 1) && list != kTimeSigList) {
        int qn, qd;
        quarterNoteSignature(db1, db2, qn, qd);
        const int twin = insertEvent(findAfter(ticks, kTimeSigList), ticks, kStatTimeSig, qn, qd, text, i, 0);
        if (isLive(events, twin) && events[twin].onoff == i) events[i].onoff = twin;
        alignTimeSignatures();
    }
    return i;
}

void CMidiSequence::deleteEvent(int& index, int partnerMask, int twinFlag, int freeStyle)
{
    const int i = index;
    if (!isLive(events, i)) return;

    if (events[i].stylePointer && (freeStyle & 1) && !isStyle && events[i].list == kMainList && sequenceId == 0) {
        CStyle** cell = events[i].stylePointer;
        bool shared = false;
        for (int r = events[kMainList].next; isReal(events, r) && !shared; r = events[r].next)
            shared = r != i && events[r].stylePointer == cell;
        if (!shared) releaseStyleCell(cell);
        events[i].stylePointer = nullptr;
    }

    if (isNote(events[i].stat) && partnerMask != 0) {
        int p = partnerOf(events, i);
        if (p) deleteEvent(p, 0, 0, 0);
    }

    bool twinDeleted = false;
    if (events[i].stat == kStatTimeSig && (twinFlag & 1)) {
        int p = partnerOf(events, i);
        if (p) {
            deleteEvent(p, 0, 0, 0);
            twinDeleted = true;
        }
    }

    const int formerPrev = events[i].prev;
    const int p = partnerOf(events, i);
    if (p) events[p].onoff = 0;
    unlink(events, i);
    linkAfter(events, i, kFreeList);
    MidiEvent& e = events[i];
    e.list = kFreeList;
    e.onoff = 0;
    e.string.clear();
    index = formerPrev;

    if (twinDeleted) alignTimeSignatures();
}

void CMidiSequence::clearList(int list)
{
    // The free list holds nothing to delete.
    if (list < 0 || list >= kFreeList) return;
    for (int r = events[list].next; isLive(events, r); r = events[list].next) {
        // A cleared song must not leave its time signatures in the bar grid.
        int twin = list != kTimeSigList ? twinOf(events, r) : 0;
        if (twin) deleteEvent(twin, 0, 0, 0);
        deleteEvent(r, 0, 0, 0);
    }
}

// A sentinel counts as standing before every time of its list, so that a
// list holding negative ticks is still searched in order.
int CMidiSequence::findAfter(int ticks, int from) const
{
    if (!inRange(events, from)) return -1;
    int r = from;
    if (from < kFirstEvent || events[from].ticks <= ticks) {
        for (int n = events[r].next; isReal(events, n) && events[n].ticks <= ticks; n = events[r].next) r = n;
        return r;
    }
    r = events[from].prev;
    while (isReal(events, r) && ticks < events[r].ticks) r = events[r].prev;
    return r;
}

int CMidiSequence::findBefore(int ticks, int from) const
{
    if (!inRange(events, from)) return -1;
    int r = from;
    if (from < kFirstEvent || events[from].ticks < ticks) {
        for (int n = events[r].next; isReal(events, n) && events[n].ticks < ticks; n = events[r].next) r = n;
        return r;
    }
    r = events[from].prev;
    while (isReal(events, r) && ticks <= events[r].ticks) r = events[r].prev;
    return r;
}

int CMidiSequence::timeSigAt(int ticks, int* num, int* den)
{
    if (ticks < 0) ticks = 0;
    if (!inRange(events, timeSigCursor) || events[timeSigCursor].list != kTimeSigList) timeSigCursor = kTimeSigList;
    timeSigCursor = findAfter(ticks, timeSigCursor);
    if (isReal(events, timeSigCursor)) {
        if (num) *num = events[timeSigCursor].db1;
        if (den) *den = events[timeSigCursor].db2;
    } else {
        if (num) *num = numerator;
        if (den) *den = denominator;
    }
    // A beat is a quarter note whatever the denominator.
    return static_cast<int>(beatTicks(ticksPerBeat));
}

int CMidiSequence::ticksPerBeatAt(int ticks) { return timeSigAt(ticks, nullptr, nullptr); }

int CMidiSequence::barBeatToTicks(int bar, int beat, int tick)
{
    if (bar > kMaxBar) bar = kMaxBar;
    const int64_t tpb = beatTicks(ticksPerBeat);
    const int64_t wanted = bar;
    const Segment g = findSegment(events, tpb, numerator, [wanted](int64_t, int64_t nextBar) { return nextBar >= wanted; });
    int64_t t = saturatingAdd(g.start, saturatingMul(saturatingMul(g.numerator, wanted - g.firstBar), tpb));
    t = saturatingAdd(t, saturatingMul(int64_t{beat} - 1, tpb));
    return clampToInt32(saturatingAdd(t, tick));
}

int CMidiSequence::ticksToBarBeat(int ticks, int* bar, int* beat, int* tick)
{
    const int64_t tpb = beatTicks(ticksPerBeat);
    const Segment g = segmentAt(events, tpb, numerator, ticks);
    const int64_t d = ticks - g.start;
    const int64_t beats = d / tpb;
    const int32_t b = clampToInt32(g.firstBar + beats / g.numerator);
    if (bar) *bar = b;
    if (beat) *beat = clampToInt32(beats % g.numerator + 1);
    if (tick) *tick = clampToInt32(d % tpb);
    return b;
}

int CMidiSequence::barOfTicks(int ticks) { return ticksToBarBeat(ticks, nullptr, nullptr, nullptr); }

void CMidiSequence::moveEvent(int& index, int ticks)
{
    const int i = index;
    if (!isLive(events, i)) return;
    const int t = ticks < 0 ? 0 : ticks;
    const MidiEvent ev = events[i];
    const int partner = partnerOf(events, i);

    if (isNoteOff(ev.stat, ev.db2) && partner && isNoteOn(events[partner].stat, events[partner].db2) &&
        events[partner].ticks > t)
        return;
    // Re-insertion would refuse it and the record would be lost.
    if (ev.stat == kStatTimeSig && !validTimeSig(ev.db1, ev.db2)) return;

    const bool carriesNoteOff = partner && isNoteOn(ev.stat, ev.db2);
    const bool twinned = twinOf(events, i) != 0;
    MidiEvent off;
    int offPrev = 0;
    if (carriesNoteOff || twinned) {
        if (carriesNoteOff) off = events[partner];
        offPrev = partner;
        deleteEvent(offPrev, 0, 0, 0);
    }
    int prev = i;
    deleteEvent(prev, 0, 0, 0);

    // A twinned time signature gets a fresh twin and is aligned again.
    const int keptPartner = (carriesNoteOff || twinned) ? 0 : ev.onoff;
    const int at = findAfter(t, prev);
    const int n = insertEvent(at, t, ev.stat, ev.db1, ev.db2, ev.string, keptPartner, twinned ? 1 : 0);
    if (!isLive(events, n) || n == at) {
        index = at;
        return;
    }
    events[n].db3 = ev.db3;
    events[n].track = ev.track;
    events[n].stylePointer = ev.stylePointer;
    if (partner && !carriesNoteOff && !twinned) events[partner].onoff = n;

    if (carriesNoteOff) {
        const int offTicks = clampToInt32(int64_t{t} + (int64_t{off.ticks} - ev.ticks));
        const int from = off.list == ev.list ? n : offPrev;
        const int at2 = findAfter(offTicks, from);
        const int m = insertEvent(at2, offTicks, off.stat, off.db1, off.db2, off.string, n, 0);
        if (isLive(events, m) && m != at2) {
            events[m].db3 = off.db3;
            events[m].track = off.track;
            events[m].stylePointer = off.stylePointer;
            events[n].onoff = m;
        }
    }
    index = n;
}

void CMidiSequence::alignTimeSignatures()
{
    const int64_t tpb = beatTicks(ticksPerBeat);
    for (int r = events[kMainList].next; isReal(events, r); r = events[r].next) {
        if (events[r].stat != kStatTimeSig) continue;
        // A time signature without a twin is not part of the bar grid.
        const int twin = twinOf(events, r);
        if (!twin) continue;
        if (events[twin].ticks != events[r].ticks) {
            events[twin].ticks = events[r].ticks;
            restoreOrder(events, kTimeSigList);
        }

        // How far the change lies into its bar. The bar is measured in the
        // grid that bar arithmetic uses (quarter-note numerators from list
        // 98), so 6/8 or 2/2 in force still lands the change on a real bar
        // line and a backward move never passes the record before it.
        const Segment g = segmentAt(events, tpb, numerator, events[r].ticks);
        const int64_t bar = g.barTicks;
        const int64_t offset = (events[r].ticks - g.start) % bar;
        if (offset < 1) continue;

        int64_t shift;
        if (offset > bar / 2 || events[r].ticks - offset <= events[events[r].prev].ticks)
            shift = bar - offset;
        else
            shift = -offset;

        int first = r;
        while (isReal(events, events[first].prev) && events[events[first].prev].ticks == events[r].ticks)
            first = events[first].prev;
        for (int q = first; isReal(events, q); q = events[q].next) {
            events[q].ticks = clampToInt32(events[q].ticks + shift);
            // Twins follow at once so that list 98 stays a true grid for the
            // changes still to come.
            const int tq = twinOf(events, q);
            if (tq) events[tq].ticks = events[q].ticks;
        }
        restoreOrder(events, kTimeSigList);

        int qn, qd;
        quarterNoteSignature(events[r].db1, events[r].db2, qn, qd);
        events[twin].db1 = qn;
        events[twin].db2 = qd;
        events[twin].string = events[r].string;
    }
}

const char* CMidiSequence::eventName(int stat, int db2)
{
    if (isNote(stat)) return isNoteOn(stat, db2) ? "Note" : "";
    if (stat >= 0xA0 && stat <= 0xAF) return "KeyAft";
    if (isController(stat)) return "Control";
    if (isProgramChange(stat)) return "Patch";
    if (stat >= 0xD0 && stat <= 0xDF) return "ChanAft";
    if (stat >= 0xE0 && stat <= 0xEF) return "Wheel";
    switch (stat) {
    case kStatText: return "Text";
    case kStatCopyright: return "Copyright";
    case kStatTrackName: return "Trackname";
    case kStatLyric: return "Lyric";
    case kStatMarker: return "Marker";
    case kStatTempo: return "Tempo";
    case kStatTimeSig: return "TimeSig";
    case kStatSysEx: return "SysEx";
    case kStatChord: return "Chord";
    case kStatStyle: return "Style";
    case kStatVariation: return "Variation";
    case kStatMultiVoice: return "MultiVoice";
    case kStatChannelVoice: return "ChannelVoice";
    case kStatMelody: return "Melody";
    default: return "";
    }
}
