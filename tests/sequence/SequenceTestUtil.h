#pragma once
// Helpers shared by the event-list tests.
#include "sequence/CMidiSequence.h"

#include <gtest/gtest.h>

#include <vector>

namespace seqtest {

// Inserts in time order after equal times, as the file reader does.
inline int add(CMidiSequence& s, int list, int ticks, int stat, int db1 = 0, int db2 = 0, int flag = 0)
{
    return s.insertEvent(s.findAfter(ticks, list), ticks, stat, db1, db2, "", 0, flag);
}

inline std::vector<int> indexesOf(const CMidiSequence& s, int list, bool ticks = false)
{
    std::vector<int> out;
    for (int r = s.events[list].next; r >= kFirstEvent; r = s.events[r].next) out.push_back(ticks ? s.events[r].ticks : r);
    return out;
}

inline std::vector<int> ticksOf(const CMidiSequence& s, int list) { return indexesOf(s, list, true); }

// Every list ordered and doubly linked, every real record in exactly one
// list, every partner link symmetric.
inline void expectConsistent(const CMidiSequence& s)
{
    const int n = s.eventCount();
    std::vector<int> seen(static_cast<size_t>(n), 0);
    for (int list = 0; list <= kFreeList; ++list) {
        int prev = list;
        for (int r = s.events[list].next, steps = 0; r != list; prev = r, r = s.events[r].next) {
            ASSERT_TRUE(r >= kFirstEvent && r < n && ++steps <= n) << "list " << list << " broken at " << r;
            EXPECT_EQ(std::make_pair(s.events[r].prev, s.events[r].list), std::make_pair(prev, list)) << r;
            EXPECT_TRUE(list == kFreeList || prev < kFirstEvent || s.events[prev].ticks <= s.events[r].ticks) << r;
            ++seen[static_cast<size_t>(r)];
        }
        EXPECT_EQ(s.events[list].prev, prev) << "list " << list;
    }
    for (int r = kFirstEvent; r < n; ++r) {
        EXPECT_EQ(seen[static_cast<size_t>(r)], 1) << "record " << r;
        const MidiEvent& e = s.events[r];
        if (e.list == kFreeList || e.onoff == 0) continue;
        ASSERT_TRUE(e.onoff >= kFirstEvent && e.onoff < n) << "record " << r;
        EXPECT_NE(s.events[e.onoff].list, kFreeList) << "record " << r << " partners a free record";
        EXPECT_EQ(s.events[e.onoff].onoff, r) << "one-way link at " << r;
    }
}

} // namespace seqtest
