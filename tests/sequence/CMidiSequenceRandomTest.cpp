#include "SequenceTestUtil.h"

#include <random>
#include <vector>

using namespace seqtest;

namespace {

std::vector<int> liveIn(const CMidiSequence& s, std::initializer_list<int> lists)
{
    std::vector<int> out;
    for (int l : lists)
        for (int r : indexesOf(s, l)) out.push_back(r);
    return out;
}

// Every twinned change of list 0 must sit on a bar line of the grid, with
// its twin at the same tick.
void expectChangesOnBarLines(CMidiSequence& s)
{
    for (int r : indexesOf(s, 0)) {
        const MidiEvent& e = s.events[r];
        if (e.stat != kStatTimeSig || e.onoff == 0) continue;
        EXPECT_EQ(s.events[e.onoff].list, kTimeSigList);
        EXPECT_EQ(s.events[e.onoff].ticks, e.ticks);
        int beat, tick;
        s.ticksToBarBeat(e.ticks, nullptr, &beat, &tick);
        EXPECT_EQ(beat * 10000 + tick, 10000) << "change at " << e.ticks;
    }
}

} // namespace

TEST(CMidiSequenceRandom, InvariantsHoldThroughMixedEdits)
{
    std::mt19937 rng(20240611u);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int sigs[][2] = {{3, 4}, {4, 4}, {6, 8}, {2, 2}, {7, 8}, {5, 4}, {12, 16}};
    CMidiSequence s(nullptr);

    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const int op = pick(0, 99);
        const int list = pick(0, 2);
        const std::vector<int> live = liveIn(s, {0, 1, 2});
        // Start searches anywhere in the list: the result must not depend on it.
        const std::vector<int> inList = indexesOf(s, list);
        const int from = inList.empty() || pick(0, 3) == 0 ? list : inList[static_cast<size_t>(pick(0, int(inList.size()) - 1))];
        if (op < 40) {
            const int t = pick(0, 40000);
            const int on = s.insertEvent(s.findAfter(t, from), t, 0x90 + pick(0, 15), pick(0, 127), pick(1, 127), "", 0, 0);
            const int offT = t + pick(0, 2000);
            const int off = s.insertEvent(s.findAfter(offT, on), offT, 0x80, s.events[on].db1, 0, "", on, 0);
            s.events[on].onoff = off;
        } else if (op < 48) {
            const auto& sig = sigs[pick(0, 6)];
            const int t = pick(0, 40000);
            add(s, 0, t, kStatTimeSig, sig[0], sig[1], 1);
        } else if (op < 55) {
            const int t = pick(0, 40000);
            s.insertEvent(s.findBefore(t, from), t, 0xB0, pick(0, 127), pick(0, 127), "txt", 0, 0);
        } else if (op < 78 && !live.empty()) {
            int i = live[static_cast<size_t>(pick(0, int(live.size()) - 1))];
            const int victimList = s.events[i].list;
            // Changes go with their twins, so list 98 stays the grid of list 0.
            const int twinFlag = s.events[i].stat == kStatTimeSig ? 1 : pick(0, 1);
            s.deleteEvent(i, pick(0, 1), twinFlag, 0);
            ASSERT_TRUE(i == victimList || s.events[i].list == victimList) << "index left its list";
        } else if (!live.empty()) {
            int i = live[static_cast<size_t>(pick(0, int(live.size()) - 1))];
            const MidiEvent before = s.events[i];
            const int partner = before.onoff;
            const int length = partner ? s.events[partner].ticks - before.ticks : 0;
            const int t = pick(-100, 40000);
            const int target = t < 0 ? 0 : t;
            const bool refused = isNoteOff(before.stat, before.db2) && partner && s.events[partner].ticks > target;
            const int original = i;
            s.moveEvent(i, t);
            if (refused) {
                EXPECT_EQ(i, original);
                EXPECT_EQ(s.events[i].ticks, before.ticks);
            }
            ASSERT_GE(i, kFirstEvent);
            const MidiEvent& after = s.events[i];
            EXPECT_EQ(after.list, before.list);
            EXPECT_EQ(after.stat, before.stat);
            if (isNoteOn(before.stat, before.db2) && partner) {
                ASSERT_NE(after.onoff, 0);
                EXPECT_EQ(s.events[after.onoff].ticks - after.ticks, length) << "note length kept";
            }
            if (before.stat != kStatTimeSig && !refused) {
                EXPECT_EQ(after.ticks, target);
            }
        }
        expectConsistent(s);
        expectChangesOnBarLines(s);
        if (HasFailure()) return;
    }
    EXPECT_GT(s.eventCount(), 300);
    s.clearList(0);
    s.clearList(1);
    s.clearList(2);
    expectConsistent(s);
    EXPECT_TRUE(indexesOf(s, kTimeSigList).empty());
}
