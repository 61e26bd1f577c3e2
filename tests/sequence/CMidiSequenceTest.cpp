#include "SequenceTestUtil.h"
#include "sequence/CStyle.h"

#include <tuple>
#include <vector>

using namespace seqtest;

// Equal times keep insertion order; both searches agree with a plain scan
// from every start point of the list.
TEST(CMidiSequence, InsertionOrderAndSearchesFromEveryStart)
{
    CMidiSequence s;
    std::vector<int> order;
    for (int t : {0, 5, 10, 10, 10, 20}) order.push_back(add(s, 0, t, 0xB0));
    order.insert(order.begin() + 2, s.insertEvent(s.findBefore(10, order[4]), 10, 0xB0, 9, 0, "", 0, 0));
    ASSERT_EQ(indexesOf(s, 0), order);
    std::vector<int> starts = order;
    starts.push_back(0);
    for (int t : {-1, 0, 4, 5, 9, 10, 11, 20, 25}) {
        int atOrBefore = 0, before = 0;
        for (int r : order) {
            if (s.events[r].ticks <= t) atOrBefore = r;
            if (s.events[r].ticks < t) before = r;
        }
        for (int from : starts)
            EXPECT_EQ(std::make_pair(s.findAfter(t, from), s.findBefore(t, from)), std::make_pair(atOrBefore, before))
                << "t " << t << " from " << from;
    }
}

TEST(CMidiSequence, FreshSequenceIsEmptyAndDeletedRecordsAreReusedLastInFirstOut)
{
    CMidiSequence s;
    ASSERT_EQ(s.eventCount(), 100);
    expectConsistent(s); // every list empty
    const int a = add(s, 0, 10, 0xB0), b = add(s, 0, 20, 0xB0);
    int i = b;
    s.deleteEvent(i, 0, 0, 0);
    EXPECT_EQ(i, a); // moved to the former prev so a walk can go on
    s.deleteEvent(i, 0, 0, 0);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(add(s, 3, 7, 0xC0, 5), a);
    EXPECT_EQ(add(s, 3, 8, 0xC0, 6), b);
    EXPECT_EQ(std::make_tuple(s.eventCount(), s.events[a].list, s.events[a].db3), std::make_tuple(102, 3, 0));
    expectConsistent(s);
}

TEST(CMidiSequence, DeletePartnerFollowsMaskFromEitherEnd)
{
    for (bool fromOff : {false, true}) {
        for (int mask : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "fromOff " << fromOff << " mask " << mask);
            CMidiSequence s;
            const int before = add(s, 0, 50, 0xB0), on = add(s, 0, 100, 0x90, 60, 100), off = add(s, 0, 340, 0x80, 60);
            s.events[on].onoff = off;
            s.events[off].onoff = on;
            int i = fromOff ? off : on;
            s.deleteEvent(i, mask, 0, 0);
            EXPECT_EQ(i, fromOff && !mask ? on : before);
            const int survivor = fromOff ? on : off;
            EXPECT_EQ(indexesOf(s, 0), mask ? std::vector<int>({before}) : std::vector<int>({before, survivor}));
            expectConsistent(s);
            if (mask) continue;
            // The deleted record comes back as an unrelated event; the
            // survivor must not take it for its partner.
            const int other = add(s, 0, 500, 0x90, 61, 90);
            ASSERT_EQ(other, fromOff ? off : on);
            s.deleteEvent(i = survivor, 1, 0, 0);
            EXPECT_EQ(indexesOf(s, 0), (std::vector<int>{before, other}));
        }
    }
}

TEST(CMidiSequence, BadIndexesChangeNothing)
{
    CMidiSequence s;
    add(s, 0, 10, 0xB0);
    int freed = add(s, 0, 20, 0xB0);
    const int freedIndex = freed, count = s.eventCount();
    s.deleteEvent(freed, 0, 0, 0);
    auto snapshot = [&] {
        std::vector<int> v;
        for (const MidiEvent& e : s.events) v.insert(v.end(), {e.prev, e.next, e.ticks, e.list, e.onoff});
        return v;
    };
    const auto before = snapshot();
    for (int bad : {-1, 0, 99, count, freedIndex}) {
        int i = bad;
        s.deleteEvent(i, 1, 1, 1);
        s.moveEvent(i, 100);
        EXPECT_EQ(i, bad);
        EXPECT_EQ(bad ? s.insertEvent(bad, 5, 0xB0, 1, 2, "", 0, 1) : 0, bad) << bad;
        s.clearList(bad == 0 ? 100 : bad);
    }
    EXPECT_EQ(std::make_pair(s.findAfter(5, -1), s.findBefore(5, count)), std::make_pair(-1, -1));
    s.timeSigCursor = 12345;
    int n = 0;
    s.timeSigAt(10, &n, nullptr);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(snapshot(), before);
}

TEST(CMidiSequence, StyleIsReleasedOnlyByTheLastSongEventHoldingIt)
{
    const int cases[][6] = {
        // isStyle, list, sequenceId, free flag, cell shared, released
        {0, 0, 0, 1, 0, 1}, {0, 0, 0, 1, 1, 0}, {1, 0, 0, 1, 0, 0},
        {0, 4, 0, 1, 0, 0}, {0, 0, 3, 1, 0, 0}, {0, 0, 0, 0, 0, 0},
    };
    for (const auto& row : cases) {
        const auto& [isStyle, list, sequenceId, freeStyle, shared, released] = row;
        CStyle* const style = new CStyle;
        CStyle* cell = style;
        CMidiSequence s;
        s.isStyle = static_cast<uint8_t>(isStyle);
        s.sequenceId = sequenceId;
        int ev = add(s, list, 10, kStatStyle), other = add(s, 0, 20, kStatStyle);
        s.events[ev].stylePointer = &cell;
        s.events[other].stylePointer = shared ? &cell : nullptr;
        s.deleteEvent(ev, 0, 0, freeStyle);
        EXPECT_EQ(cell, released ? nullptr : style) << "row " << &row - cases;
        s.deleteEvent(other, 0, 0, 1); // the last holder releases a shared style
        EXPECT_EQ(cell, released || shared ? nullptr : style) << "row " << &row - cases;
        delete cell; // what no event released (the sanitizers catch a double release)
    }
}
