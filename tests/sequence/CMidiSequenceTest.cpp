#include "SequenceTestUtil.h"
#include "sequence/CStyle.h"

#include <string>
#include <vector>

using namespace seqtest;

TEST(CMidiSequence, FreshSequenceHasEmptySentinelListsAndDefaults)
{
    CMidiSequence s(nullptr);
    ASSERT_EQ(s.eventCount(), 100);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(s.events[i].prev, i);
        EXPECT_EQ(s.events[i].next, i);
        EXPECT_EQ(s.events[i].list, i);
        EXPECT_EQ(s.events[i].ticks, 0);
    }
    EXPECT_EQ(s.ticksPerBeat, 480);
    EXPECT_EQ(s.numerator, 4);
    EXPECT_EQ(s.denominator, 4);
    EXPECT_EQ(s.tempo, 120);
    EXPECT_EQ(s.timeSigCursor, kTimeSigList);
}

// Equal times keep insertion order; both searches agree with a plain scan
// from every start point of the list.
TEST(CMidiSequence, InsertionOrderAndSearchesFromEveryStart)
{
    CMidiSequence s(nullptr);
    std::vector<int> order;
    for (int t : {0, 5, 10, 10, 10, 20}) order.push_back(add(s, 0, t, 0xB0));
    const int front = s.insertEvent(s.findBefore(10, order[4]), 10, 0xB0, 9, 0, "", 0, 0);
    order.insert(order.begin() + 2, front);
    ASSERT_EQ(indexesOf(s, 0), order);
    std::vector<int> starts = order;
    starts.push_back(0);
    for (int t : {-1, 0, 4, 5, 9, 10, 11, 20, 25}) {
        int lastAtOrBefore = 0, lastBefore = 0;
        for (int r : order) {
            if (s.events[r].ticks <= t) lastAtOrBefore = r;
            if (s.events[r].ticks < t) lastBefore = r;
        }
        for (int from : starts) {
            EXPECT_EQ(s.findAfter(t, from), lastAtOrBefore) << "t " << t << " from " << from;
            EXPECT_EQ(s.findBefore(t, from), lastBefore) << "t " << t << " from " << from;
        }
    }
}

TEST(CMidiSequence, DeletedRecordsAreReusedLastInFirstOut)
{
    CMidiSequence s(nullptr);
    const int a = add(s, 0, 10, 0xB0);
    const int b = add(s, 0, 20, 0xB0);
    int i = b;
    s.deleteEvent(i, 0, 0, 0);
    EXPECT_EQ(i, a); // moved to the former prev so a walk can go on
    int j = a;
    s.deleteEvent(j, 0, 0, 0);
    EXPECT_EQ(j, 0);
    EXPECT_EQ(add(s, 3, 7, 0xC0, 5), a);
    EXPECT_EQ(add(s, 3, 8, 0xC0, 6), b);
    EXPECT_EQ(s.eventCount(), 102);
    EXPECT_EQ(s.events[a].list, 3);
    EXPECT_EQ(s.events[a].db3, 0);
    expectConsistent(s);
}

TEST(CMidiSequence, DeletePartnerFollowsMaskFromEitherEnd)
{
    for (bool fromOff : {false, true}) {
        for (int mask : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "fromOff " << fromOff << " mask " << mask);
            CMidiSequence s(nullptr);
            const int before = add(s, 0, 50, 0xB0);
            const int on = add(s, 0, 100, 0x90, 60, 100);
            const int off = add(s, 0, 340, 0x80, 60, 0);
            s.events[on].onoff = off;
            s.events[off].onoff = on;
            int i = fromOff ? off : on;
            s.deleteEvent(i, mask, 0, 0);
            EXPECT_EQ(i, fromOff && !mask ? on : before);
            const int survivor = fromOff ? on : off;
            const std::vector<int> expected = mask ? std::vector<int>{before} : std::vector<int>{before, survivor};
            EXPECT_EQ(indexesOf(s, 0), expected);
            expectConsistent(s);
            if (mask) continue;
            // The deleted record comes back as an unrelated event; the
            // survivor must not take it for its partner.
            const int other = add(s, 0, 500, 0x90, 61, 90);
            ASSERT_EQ(other, fromOff ? off : on);
            int k = survivor;
            s.deleteEvent(k, 1, 0, 0);
            EXPECT_EQ(indexesOf(s, 0), (std::vector<int>{before, other}));
        }
    }
}

TEST(CMidiSequence, BadIndexesChangeNothing)
{
    CMidiSequence s(nullptr);
    add(s, 0, 10, 0xB0);
    int freed = add(s, 0, 20, 0xB0);
    const int freedIndex = freed;
    s.deleteEvent(freed, 0, 0, 0);
    auto snapshot = [&] {
        std::vector<int> v;
        for (const MidiEvent& e : s.events) v.insert(v.end(), {e.prev, e.next, e.ticks, e.list, e.onoff});
        return v;
    };
    const auto before = snapshot();
    const int count = s.eventCount();
    for (int bad : {-7, -1, 0, 42, 98, 99, count, count + 5, freedIndex}) {
        int i = bad;
        s.deleteEvent(i, 1, 1, 1);
        EXPECT_EQ(i, bad);
        s.moveEvent(i, 100);
        EXPECT_EQ(i, bad);
    }
    for (int bad : {-1, 99, count, freedIndex})
        EXPECT_EQ(s.insertEvent(bad, 5, 0xB0, 1, 2, "", 0, 1), bad) << bad;
    for (int bad : {-1, count}) {
        EXPECT_EQ(s.findAfter(5, bad), -1);
        EXPECT_EQ(s.findBefore(5, bad), -1);
    }
    for (int bad : {-1, 99, 100, 1000}) s.clearList(bad);
    s.timeSigCursor = 12345;
    int n = 0, d = 0;
    s.timeSigAt(10, &n, &d);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(s.eventCount(), count);
    EXPECT_EQ(snapshot(), before);
}

TEST(CMidiSequence, MoveKeepsNoteLengthAndPairing)
{
    CMidiSequence s(nullptr);
    add(s, 0, 0, 0xC0, 1);
    const int on = add(s, 0, 100, 0x90, 60, 100);
    const int off = add(s, 0, 340, 0x90, 60, 0);
    s.events[on].onoff = off;
    s.events[off].onoff = on;
    s.events[on].db3 = 7;
    s.events[on].track = 2;
    s.events[on].string = "x";

    int i = on;
    s.moveEvent(i, 1000);
    ASSERT_GE(i, kFirstEvent);
    const int newOff = s.events[i].onoff;
    EXPECT_EQ(s.events[i].ticks, 1000);
    EXPECT_EQ(s.events[newOff].ticks, 1240);
    EXPECT_EQ(s.events[newOff].onoff, i);
    EXPECT_EQ(s.events[i].db3, 7);
    EXPECT_EQ(s.events[i].track, 2);
    EXPECT_EQ(s.events[i].string, "x");
    expectConsistent(s);

    // A note off cannot go before its note on; later it can, and stays paired.
    int o = newOff;
    s.moveEvent(o, 999);
    EXPECT_EQ(o, newOff);
    EXPECT_EQ(s.events[newOff].ticks, 1240);
    s.moveEvent(o, 1500);
    EXPECT_EQ(s.events[o].ticks, 1500);
    EXPECT_EQ(s.events[i].onoff, o);
    expectConsistent(s);

    s.moveEvent(i, -50);
    EXPECT_EQ(s.events[i].ticks, 0);
    EXPECT_EQ(s.events[s.events[i].onoff].ticks, 500);
    expectConsistent(s);
}

TEST(CMidiSequence, ClearListEmptiesOneListAndDropsItsTwins)
{
    CMidiSequence s(nullptr);
    add(s, 0, 0, 0x90, 60, 100);
    add(s, 0, 1920, kStatTimeSig, 3, 4, 1);
    add(s, 0, 3360, kStatTimeSig, 6, 8, 1);
    add(s, 1, 10, 0xB0);
    ASSERT_EQ(indexesOf(s, kTimeSigList).size(), 2u);
    s.clearList(0);
    EXPECT_TRUE(indexesOf(s, 0).empty());
    EXPECT_TRUE(indexesOf(s, kTimeSigList).empty());
    EXPECT_EQ(indexesOf(s, 1).size(), 1u);
    EXPECT_EQ(s.barBeatToTicks(3, 1, 0), 3840);
    expectConsistent(s);
}

TEST(CMidiSequence, StyleIsReleasedOnlyByTheLastSongEventHoldingIt)
{
    const struct {
        const char* what;
        uint8_t isStyle;
        int list, sequenceId, freeStyle;
        bool shared, released;
    } cases[] = {
        {"plain song event", 0, 0, 0, 1, false, true},  {"cell shared by another event", 0, 0, 0, 1, true, false},
        {"sequence is a style", 1, 0, 0, 1, false, false}, {"not in the main list", 0, 4, 0, 1, false, false},
        {"other sequence id", 0, 0, 3, 1, false, false},  {"flag clear", 0, 0, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        CStyle* const style = new CStyle(nullptr);
        CStyle* cell = style;
        CMidiSequence s(nullptr);
        s.isStyle = c.isStyle;
        s.sequenceId = c.sequenceId;
        int ev = add(s, c.list, 10, kStatStyle);
        int other = add(s, 0, 20, kStatStyle);
        s.events[ev].stylePointer = &cell;
        if (c.shared) s.events[other].stylePointer = &cell;
        s.deleteEvent(ev, 0, 0, c.freeStyle);
        EXPECT_EQ(cell, c.released ? nullptr : style) << c.what;
        s.deleteEvent(other, 0, 0, 1); // the last holder releases a shared style
        EXPECT_EQ(cell, c.released || c.shared ? nullptr : style) << c.what;
        delete cell; // what no event released (the sanitizers catch a double release)
    }
}

TEST(CMidiSequence, EventNames)
{
    const struct {
        int stat, db2;
        std::string name;
    } rows[] = {
        {0x90, 1, "Note"},         {0x9F, 127, "Note"},        {0x90, 0, ""},        {0x85, 64, ""},
        {0xA3, 1, "KeyAft"},       {0xB0, 0, "Control"},       {0xCF, 0, "Patch"},   {0xD1, 0, "ChanAft"},
        {0xE2, 64, "Wheel"},       {1, 0, "Text"},             {2, 0, "Copyright"},  {3, 0, "Trackname"},
        {4, 0, ""},                {5, 0, "Lyric"},            {6, 0, "Marker"},     {81, 0, "Tempo"},
        {88, 4, "TimeSig"},        {-1, 0, "SysEx"},           {-2, 0, "Chord"},     {-3, 0, "Style"},
        {-4, 0, "Variation"},      {-5, 0, "MultiVoice"},      {-6, 0, "ChannelVoice"},
        {-7, 0, "Melody"},         {-8, 0, ""},                {0xF0, 0, ""},        {0, 0, ""},
    };
    for (const auto& r : rows) EXPECT_EQ(CMidiSequence::eventName(r.stat, r.db2), r.name) << r.stat << "/" << r.db2;
}
