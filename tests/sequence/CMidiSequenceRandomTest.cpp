#include "SequenceTestUtil.h"

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

using namespace seqtest;

// After every random insert, delete and move: the lists stay consistent,
// every twinned change sits on a bar line of the grid with its twin at the
// same tick, moves keep note lengths and a note off never passes its note on.
TEST(CMidiSequenceRandom, InvariantsHoldThroughMixedEdits)
{
    std::mt19937 rng(20240611u);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto any = [&](const std::vector<int>& v) { return v[static_cast<size_t>(pick(0, int(v.size()) - 1))]; };
    const int sigs[][2] = {{3, 4}, {4, 4}, {6, 8}, {2, 2}, {7, 8}, {5, 4}, {12, 16}};
    CMidiSequence s;
    for (int step = 0; step < 4000 && !HasFailure(); ++step) {
        SCOPED_TRACE(step);
        const int op = pick(0, 99), list = pick(0, 2), t = pick(0, 40000);
        std::vector<int> live = indexesOf(s, 0);
        for (int l : {1, 2})
            for (int r : indexesOf(s, l)) live.push_back(r);
        // Start searches anywhere in the list: the result must not depend on it.
        const std::vector<int> inList = indexesOf(s, list);
        const int from = inList.empty() || pick(0, 3) == 0 ? list : any(inList);
        if (op < 40) {
            const int on = s.insertEvent(s.findAfter(t, from), t, 0x90 + pick(0, 15), pick(0, 127), pick(1, 127), "", 0, 0);
            const int offT = t + pick(0, 2000);
            s.events[on].onoff = s.insertEvent(s.findAfter(offT, on), offT, 0x80, s.events[on].db1, 0, "", on, 0);
            s.events[on].db3 = s.events[on].track = pick(0, 9);
            s.events[on].string = "n";
        } else if (op < 48) {
            const auto& sig = sigs[pick(0, 6)];
            add(s, 0, t, kStatTimeSig, sig[0], sig[1], 1);
        } else if (op < 55) {
            s.insertEvent(s.findBefore(t, from), t, 0xB0, pick(0, 127), pick(0, 127), "txt", 0, 0);
        } else if (op < 78 && !live.empty()) {
            int i = any(live);
            const int victimList = s.events[i].list;
            // Changes go with their twins, so list 98 stays the grid of list 0.
            s.deleteEvent(i, pick(0, 1), s.events[i].stat == kStatTimeSig ? 1 : pick(0, 1), 0);
            ASSERT_TRUE(i == victimList || s.events[i].list == victimList) << "index left its list";
        } else if (!live.empty()) {
            int i = any(live);
            const MidiEvent before = s.events[i];
            const int partner = before.onoff, length = partner ? s.events[partner].ticks - before.ticks : 0;
            const int asked = pick(-100, 40000), target = std::max(asked, 0);
            const bool refused = isNoteOff(before.stat, before.db2) && partner && s.events[partner].ticks > target;
            s.moveEvent(i, asked);
            ASSERT_GE(i, kFirstEvent);
            const MidiEvent& after = s.events[i];
            EXPECT_EQ(std::tie(after.list, after.stat, after.db1, after.db2, after.db3, after.track, after.string),
                      std::tie(before.list, before.stat, before.db1, before.db2, before.db3, before.track, before.string));
            ASSERT_TRUE(!partner || after.onoff) << "partner lost";
            if (isNoteOn(before.stat, before.db2) && partner) {
                EXPECT_EQ(s.events[after.onoff].ticks - after.ticks, length) << "note length kept";
            }
            EXPECT_TRUE(before.stat == kStatTimeSig || after.ticks == (refused ? before.ticks : target));
        }
        expectConsistent(s);
        // The time signature in force, found from wherever the last lookup left the cursor.
        const int probe = pick(-100, 45000);
        int n = 4, d = 4, gotN = 0, gotD = 0;
        for (int r : indexesOf(s, kTimeSigList))
            if (s.events[r].ticks <= std::max(probe, 0)) n = s.events[r].db1, d = s.events[r].db2;
        EXPECT_EQ(s.timeSigAt(probe, &gotN, &gotD), 480);
        EXPECT_EQ(std::make_pair(gotN, gotD), std::make_pair(n, d)) << "time signature at " << probe;
        for (int r : indexesOf(s, 0)) {
            const MidiEvent& e = s.events[r];
            if (e.stat != kStatTimeSig || e.onoff == 0) continue;
            EXPECT_EQ(std::make_pair(s.events[e.onoff].list, s.events[e.onoff].ticks),
                      std::make_pair(kTimeSigList, e.ticks));
            int beat, tick;
            s.ticksToBarBeat(e.ticks, nullptr, &beat, &tick);
            EXPECT_EQ(beat * 10000 + tick, 10000) << "change at " << e.ticks;
        }
    }
    EXPECT_GT(s.eventCount(), 300);
    // Clearing list 0 drops its twins and leaves the other lists alone.
    const size_t others = indexesOf(s, 1).size() + indexesOf(s, 2).size();
    s.clearList(0);
    EXPECT_EQ(indexesOf(s, 0).size() + indexesOf(s, kTimeSigList).size(), 0u);
    EXPECT_EQ(indexesOf(s, 1).size() + indexesOf(s, 2).size(), others);
    expectConsistent(s);
}
