#include "SequenceTestUtil.h"

#include <climits>
#include <tuple>
#include <vector>

using namespace seqtest;

namespace {

std::vector<int> barBeatTick(CMidiSequence& s, int t)
{
    int bar, beat, tick;
    s.ticksToBarBeat(t, &bar, &beat, &tick);
    return {bar, beat, tick};
}

} // namespace

// Refused signatures insert nothing (twin 0/0); accepted ones get a twin in
// list 98 rewritten to quarter notes where the division is even.
TEST(CMidiSequenceTime, GuardAndQuarterNoteTwin)
{
    const int rows[][4] = {
        {0, 4, 0, 0},   {5, 3, 0, 0},   {1, 100, 0, 0},  {2, 64, 0, 0},   {1, 99, 1, 99}, {1, 2, 2, 4},
        {6, 8, 3, 4},   {7, 8, 7, 8},   {12, 16, 3, 4},  {6, 16, 6, 16},  {16, 32, 2, 4}, {12, 32, 12, 32},
        {3, 2, 6, 4},   {4, 4, 4, 4},
    };
    for (const auto& [n, d, twinN, twinD] : rows) {
        CMidiSequence s;
        const int ts = s.insertEvent(0, 0, kStatTimeSig, n, d, "", 0, 1);
        EXPECT_EQ(s.eventCount(), twinN ? 102 : 100) << n << "/" << d;
        if (!twinN) continue;
        const int twin = s.events[ts].onoff;
        EXPECT_EQ(std::make_tuple(s.events[twin].list, s.events[twin].db1, s.events[twin].db2, s.events[twin].onoff),
                  std::make_tuple(kTimeSigList, twinN, twinD, ts)) << n << "/" << d;
    }
    CMidiSequence s;
    add(s, 0, 0, kStatTimeSig, 6, 8, 0);
    EXPECT_TRUE(indexesOf(s, kTimeSigList).empty()) << "no twin without flag";
}

// A change off the bar line moves to one, and everything from it on moves with it.
TEST(CMidiSequenceTime, AlignmentTable)
{
    const struct {
        const char* what;
        std::vector<int> others;
        int ts;
        std::vector<int> expected; // list 0 afterwards, the change included
        int firstN = 0, firstD = 0;    // an earlier change at 1920
    } rows[] = {
        {"100 in: back to the bar line", {2500}, 2020, {1920, 2400}},
        {"1500 in: forward by 420", {1000, 1700}, 1500, {1000, 1920, 2120}},
        {"forward when the way back passes a record", {1950, 2500}, 2020, {1950, 3840, 4320}},
        {"forward when the way back reaches a record", {1920, 2500}, 2020, {1920, 3840, 4320}},
        {"forward with a record at the same tick before it", {2020}, 2020, {3840, 3840}},
        {"the list start at tick 0 counts as a record", {}, 100, {1920}},
        {"on the bar line: stays", {500}, 1920, {500, 1920}},
        // The bar is counted in the grid's quarter notes: 2/2 has bars of 1920, 6/8 of 1440.
        {"2/2 before it", {}, 3420, {1920, 3840}, 2, 2},
        {"6/8 before it", {}, 2920, {1920, 3360}, 6, 8},
    };
    for (const auto& r : rows) {
        CMidiSequence s;
        for (int t : r.others) add(s, 0, t, 0xB0);
        if (r.firstN) add(s, 0, 1920, kStatTimeSig, r.firstN, r.firstD, 1);
        const int ts = add(s, 0, r.ts, kStatTimeSig, 3, 4, 1);
        EXPECT_EQ(ticksOf(s, 0), r.expected) << r.what;
        EXPECT_EQ(s.events[s.events[ts].onoff].ticks, s.events[ts].ticks) << r.what;
        const auto bbt = barBeatTick(s, s.events[ts].ticks);
        EXPECT_EQ(bbt[1] * 10000 + bbt[2], 10000) << r.what;
        expectConsistent(s);
    }
}

TEST(CMidiSequenceTime, DeletingAChangeRealignsOnlyWithItsTwin)
{
    for (int twinFlag : {0, 1}) {
        CMidiSequence s;
        int threeFour = add(s, 0, 1920, kStatTimeSig, 3, 4, 1);
        add(s, 0, 3360, kStatTimeSig, 4, 4, 1);
        add(s, 0, 4000, 0x90, 60, 1);
        s.deleteEvent(threeFour, 0, twinFlag, 0);
        EXPECT_EQ(ticksOf(s, 0), (twinFlag ? std::vector<int>{3840, 4480} : std::vector<int>{3360, 4000}));
        EXPECT_EQ(ticksOf(s, kTimeSigList), (twinFlag ? std::vector<int>{3840} : std::vector<int>{1920, 3360}));
        expectConsistent(s);
    }
}

// Changes at bars 3 (3/4), 5 (7/8), 7 (6/8), 10 (4/4), 12 (5/4), 13 (2/2);
// the bar starts are checked against a sum of bar lengths, and every tick
// and every bar/beat/tick triple must survive the round trip.
class BarBeatRoundTrip : public testing::TestWithParam<int> {};

TEST_P(BarBeatRoundTrip, AcrossSeveralChanges)
{
    const int tpb = GetParam();
    CMidiSequence s;
    s.ticksPerBeat = tpb;
    const int changes[][3] = {{3, 3, 4}, {5, 7, 8}, {7, 6, 8}, {10, 4, 4}, {12, 5, 4}, {13, 2, 2}};
    for (const auto& [bar, n, d] : changes) add(s, 0, s.barBeatToTicks(bar, 1, 0), kStatTimeSig, n, d, 1);
    const int quarters[] = {0, 4, 4, 3, 3, 7, 7, 3, 3, 3, 4, 4, 5, 4, 4, 4, 4};
    int start = 0;
    for (int bar = 1; bar <= 16; start += quarters[bar++] * tpb) EXPECT_EQ(s.barBeatToTicks(bar, 1, 0), start) << bar;
    if (tpb == 480) {
        EXPECT_EQ(ticksOf(s, kTimeSigList), (std::vector<int>{3840, 6720, 13440, 17760, 21600, 24000}));
        EXPECT_EQ(barBeatTick(s, 0), (std::vector<int>{1, 1, 0}));
        EXPECT_EQ(barBeatTick(s, 1920), (std::vector<int>{2, 1, 0}));
        EXPECT_EQ(s.barBeatToTicks(2, 3, 10), 2890);
    }
    for (int t = 0; t < start; ++t) {
        const auto bbt = barBeatTick(s, t);
        ASSERT_EQ(s.barBeatToTicks(bbt[0], bbt[1], bbt[2]), t);
        ASSERT_TRUE(bbt[1] >= 1 && bbt[1] <= quarters[bbt[0]] && bbt[2] >= 0 && bbt[2] < tpb) << t;
    }
    for (int bar = 1; bar <= 15; ++bar)
        for (int beat = 1; beat <= quarters[bar]; ++beat)
            for (int tick : {0, tpb - 1})
                ASSERT_EQ(barBeatTick(s, s.barBeatToTicks(bar, beat, tick)), (std::vector<int>{bar, beat, tick}));
}
INSTANTIATE_TEST_SUITE_P(TicksPerBeat, BarBeatRoundTrip, testing::Values(480, 96, 7, 1));

// Huge values clamp instead of overflowing (a bar above 99 999 999 counts as
// that bar); a division of 0 or below counts as 1 tick per beat.
TEST(CMidiSequenceTime, ExtremeValuesNeitherOverflowNorDivideByZero)
{
    CMidiSequence big;
    EXPECT_EQ(std::make_pair(big.barBeatToTicks(INT_MAX, INT_MAX, INT_MAX), big.barBeatToTicks(INT_MIN, INT_MIN, INT_MIN)),
              std::make_pair(INT_MAX, INT_MIN));
    add(big, 0, 0, kStatTimeSig, INT_MAX, 4, 1);
    EXPECT_EQ(big.barBeatToTicks(5, 1, 0), INT_MAX);
    int on = add(big, 0, INT_MAX - 10, 0x90, 60, 1);
    big.events[on].onoff = add(big, 0, INT_MAX, 0x80, 60, 0);
    big.events[big.events[on].onoff].onoff = on;
    big.moveEvent(on, INT_MAX - 5);
    EXPECT_EQ(big.events[big.events[on].onoff].ticks, INT_MAX);
    for (int tpb : {1, 0, -480}) {
        CMidiSequence s;
        s.ticksPerBeat = tpb;
        EXPECT_EQ(s.barBeatToTicks(200'000'000, 1, 0), 399'999'992);
        EXPECT_EQ(std::make_pair(s.timeSigAt(100, nullptr, nullptr), s.ticksPerBeatAt(100)), std::make_pair(1, 1));
        EXPECT_EQ(barBeatTick(s, 10), (std::vector<int>{3, 3, 0}));
        EXPECT_EQ(s.events[add(s, 0, 6, kStatTimeSig, 3, 4, 1)].ticks, 4);
        s.numerator = 0;
        EXPECT_EQ(s.barOfTicks(3), 4);
    }
}
