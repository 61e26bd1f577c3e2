#include "SequenceTestUtil.h"

#include <climits>
#include <vector>

using namespace seqtest;

TEST(CMidiSequenceTime, TimeSignatureGuard)
{
    const struct {
        int n, d;
        bool accepted;
    } rows[] = {
        {0, 4, false}, {5, 3, false}, {-1, 4, false}, {2, 64, false}, {4, 1, false}, {1, 100, false},
        {3, 4, true},  {7, 8, true},  {1, 3, true},   {1, 99, true},  {1, 0, true},  {100, 32, true},
    };
    for (const auto& r : rows) {
        CMidiSequence s(nullptr);
        const int got = s.insertEvent(0, 0, kStatTimeSig, r.n, r.d, "", 0, 1);
        EXPECT_EQ(got != 0, r.accepted) << r.n << "/" << r.d;
        EXPECT_EQ(s.eventCount(), r.accepted ? 102 : 100) << r.n << "/" << r.d;
    }
}

TEST(CMidiSequenceTime, TwinGetsQuarterNoteSignature)
{
    const struct {
        int n, d, twinN, twinD;
    } rows[] = {
        {6, 8, 3, 4},    {7, 8, 7, 8},   {12, 16, 3, 4}, {6, 16, 6, 16}, {16, 32, 2, 4}, {12, 32, 12, 32},
        {2, 2, 4, 4},    {3, 2, 6, 4},   {4, 4, 4, 4},   {1, 5, 1, 5},   {1, 2, 2, 4},
    };
    for (const auto& r : rows) {
        CMidiSequence s(nullptr);
        const int ts = add(s, 0, 0, kStatTimeSig, r.n, r.d, 1);
        const auto twins = indexesOf(s, kTimeSigList);
        ASSERT_EQ(twins.size(), 1u);
        const MidiEvent& t = s.events[twins[0]];
        EXPECT_EQ(t.db1, r.twinN) << r.n << "/" << r.d;
        EXPECT_EQ(t.db2, r.twinD) << r.n << "/" << r.d;
        EXPECT_EQ(t.onoff, ts);
        EXPECT_EQ(s.events[ts].onoff, twins[0]);
    }
    CMidiSequence s(nullptr);
    add(s, 0, 0, kStatTimeSig, 6, 8, 0);
    EXPECT_TRUE(indexesOf(s, kTimeSigList).empty()) << "no twin without flag";
}

TEST(CMidiSequenceTime, SixEightMakesBarsOfThreeQuarters)
{
    CMidiSequence s(nullptr);
    add(s, 0, 1920, kStatTimeSig, 6, 8, 1);
    EXPECT_EQ(s.barBeatToTicks(3, 1, 0), 3360);
    EXPECT_EQ(s.barBeatToTicks(4, 2, 5), 5285);
    int n, d;
    s.timeSigAt(3000, &n, &d);
    EXPECT_EQ(n * 100 + d, 304);
}

// A change off the bar line moves to one, and everything from it on moves with it.
TEST(CMidiSequenceTime, AlignmentTable)
{
    const struct {
        const char* what;
        std::vector<int> others;
        int ts;
        std::vector<int> expected; // list 0 afterwards, the change included
    } rows[] = {
        {"100 in: back to the bar line", {2500}, 2020, {1920, 2400}},
        {"1500 in: forward by 420", {1000, 1700}, 1500, {1000, 1920, 2120}},
        {"forward when the way back passes a record", {1950, 2500}, 2020, {1950, 3840, 4320}},
        {"forward when the way back reaches a record", {1920, 2500}, 2020, {1920, 3840, 4320}},
        {"forward with a record at the same tick before it", {2020}, 2020, {3840, 3840}},
        {"the list start at tick 0 counts as a record", {}, 100, {1920}},
        {"on the bar line: stays", {500}, 1920, {500, 1920}},
    };
    for (const auto& r : rows) {
        CMidiSequence s(nullptr);
        for (int t : r.others) add(s, 0, t, 0xB0);
        const int ts = add(s, 0, r.ts, kStatTimeSig, 3, 4, 1);
        EXPECT_EQ(ticksOf(s, 0), r.expected) << r.what;
        const auto twins = indexesOf(s, kTimeSigList);
        ASSERT_EQ(twins.size(), 1u);
        EXPECT_EQ(s.events[twins[0]].ticks, s.events[ts].ticks) << r.what;
        int beat, tick;
        s.ticksToBarBeat(s.events[ts].ticks, nullptr, &beat, &tick);
        EXPECT_EQ(beat * 10000 + tick, 10000) << r.what;
        expectConsistent(s);
    }
}

// The bar in force is measured in the grid's quarter notes: 2/2 has bars of
// 1920 ticks and 6/8 bars of 1440, not 960 and 2880.
TEST(CMidiSequenceTime, AlignmentUsesTheBarOfTheGrid)
{
    const struct {
        int n, d, laterTick, expected;
    } rows[] = {{2, 2, 3420, 3840}, {6, 8, 2920, 3360}};
    for (const auto& r : rows) {
        CMidiSequence s(nullptr);
        add(s, 0, 1920, kStatTimeSig, r.n, r.d, 1);
        const int later = add(s, 0, r.laterTick, kStatTimeSig, 4, 4, 1);
        EXPECT_EQ(s.events[later].ticks, r.expected) << r.n << "/" << r.d;
        EXPECT_EQ(s.barOfTicks(r.expected), 3);
        expectConsistent(s);
    }
}

TEST(CMidiSequenceTime, DeletingAChangeRealignsOnlyWithTwinFlag)
{
    for (int twinFlag : {0, 1}) {
        CMidiSequence s(nullptr);
        int threeFour = add(s, 0, 1920, kStatTimeSig, 3, 4, 1);
        add(s, 0, 3360, kStatTimeSig, 4, 4, 1);
        add(s, 0, 4000, 0x90, 60, 1);
        s.deleteEvent(threeFour, 0, twinFlag, 0);
        const std::vector<int> main = twinFlag ? std::vector<int>{3840, 4480} : std::vector<int>{3360, 4000};
        const std::vector<int> grid = twinFlag ? std::vector<int>{3840} : std::vector<int>{1920, 3360};
        EXPECT_EQ(ticksOf(s, 0), main);
        EXPECT_EQ(ticksOf(s, kTimeSigList), grid);
        expectConsistent(s);
    }
}

TEST(CMidiSequenceTime, MovingAChangeGivesItAFreshAlignedTwin)
{
    CMidiSequence s(nullptr);
    int ts = add(s, 0, 1920, kStatTimeSig, 3, 4, 1);
    s.moveEvent(ts, 3940);
    EXPECT_EQ(s.events[ts].ticks, 3840);
    EXPECT_EQ(ticksOf(s, kTimeSigList), std::vector<int>{3840});
    EXPECT_EQ(s.barBeatToTicks(4, 1, 0), 3840 + 1440);
    expectConsistent(s);
}

TEST(CMidiSequenceTime, BarBeatExamples)
{
    CMidiSequence s(nullptr);
    int bar, beat, tick;
    EXPECT_EQ(s.ticksToBarBeat(0, &bar, &beat, &tick), 1);
    EXPECT_EQ((std::vector<int>{bar, beat, tick}), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(s.ticksToBarBeat(1920, &bar, &beat, &tick), 2);
    EXPECT_EQ((std::vector<int>{bar, beat, tick}), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(s.barBeatToTicks(2, 3, 10), 2890);
}

// Changes at bars 3 (3/4), 5 (7/8), 7 (6/8), 10 (4/4), 12 (5/4), 13 (2/2);
// the bar starts are checked against a sum of bar lengths, and every tick
// and every bar/beat/tick triple must survive the round trip.
class BarBeatRoundTrip : public testing::TestWithParam<int> {};

TEST_P(BarBeatRoundTrip, AcrossSeveralChanges)
{
    const int tpb = GetParam();
    CMidiSequence s(nullptr);
    s.ticksPerBeat = tpb;
    const struct {
        int bar, n, d;
    } changes[] = {{3, 3, 4}, {5, 7, 8}, {7, 6, 8}, {10, 4, 4}, {12, 5, 4}, {13, 2, 2}};
    for (const auto& c : changes) add(s, 0, s.barBeatToTicks(c.bar, 1, 0), kStatTimeSig, c.n, c.d, 1);
    const int quarters[] = {0, 4, 4, 3, 3, 7, 7, 3, 3, 3, 4, 4, 5, 4, 4, 4, 4};
    int start = 0;
    for (int bar = 1; bar <= 16; ++bar) {
        EXPECT_EQ(s.barBeatToTicks(bar, 1, 0), start) << "bar " << bar;
        start += quarters[bar] * tpb;
    }
    if (tpb == 480) {
        std::vector<int> got;
        for (int b : {3, 5, 7, 10, 12, 13}) got.push_back(s.barBeatToTicks(b, 1, 0));
        EXPECT_EQ(got, (std::vector<int>{3840, 6720, 13440, 17760, 21600, 24000}));
    }
    for (int t = 0; t < start; ++t) {
        int bar, beat, tick;
        s.ticksToBarBeat(t, &bar, &beat, &tick);
        ASSERT_EQ(s.barBeatToTicks(bar, beat, tick), t);
        ASSERT_TRUE(beat >= 1 && beat <= quarters[bar] && tick >= 0 && tick < tpb) << t;
    }
    for (int bar = 1; bar <= 15; ++bar) {
        for (int beat = 1; beat <= quarters[bar]; ++beat) {
            for (int tick : {0, tpb - 1}) {
                int b2, beat2, tick2;
                s.ticksToBarBeat(s.barBeatToTicks(bar, beat, tick), &b2, &beat2, &tick2);
                ASSERT_EQ((std::vector<int>{b2, beat2, tick2}), (std::vector<int>{bar, beat, tick}));
            }
        }
    }
}
INSTANTIATE_TEST_SUITE_P(TicksPerBeat, BarBeatRoundTrip, testing::Values(480, 96, 7, 1));

TEST(CMidiSequenceTime, TimeSigAtFollowsTheCursorBothWays)
{
    CMidiSequence s(nullptr);
    add(s, 0, 3840, kStatTimeSig, 3, 4, 1);
    const int sevenEight = add(s, 0, 6720, kStatTimeSig, 7, 8, 1);
    add(s, 0, 13440, kStatTimeSig, 6, 8, 1);
    auto expected = [&](int t) {
        int n = 4, d = 4;
        for (int r : indexesOf(s, kTimeSigList))
            if (s.events[r].ticks <= (t < 0 ? 0 : t)) n = s.events[r].db1, d = s.events[r].db2;
        return n * 100 + d;
    };
    std::vector<int> probes;
    for (int t = -100; t < 16000; t += 37) probes.push_back(t);
    for (int t = 16000; t > -100; t -= 41) probes.push_back(t);
    unsigned x = 12345;
    for (int k = 0; k < 300; ++k) probes.push_back(static_cast<int>((x = x * 1103515245u + 12345u) >> 18) % 16000);
    for (int t : probes) {
        int n, d;
        EXPECT_EQ(s.timeSigAt(t, &n, &d), 480);
        ASSERT_EQ(n * 100 + d, expected(t)) << t;
    }
    s.timeSigAt(7000, nullptr, nullptr);
    int gone = sevenEight; // the cursor's record leaves list 98
    s.deleteEvent(gone, 0, 1, 0);
    for (int t : {7000, 0, 20000}) {
        int n, d;
        s.timeSigAt(t, &n, &d);
        EXPECT_EQ(n * 100 + d, expected(t)) << t;
    }
}

TEST(CMidiSequenceTime, HugeValuesClampInsteadOfOverflowing)
{
    CMidiSequence s(nullptr);
    EXPECT_EQ(s.barBeatToTicks(99'999'999, 1, 0), INT_MAX);
    EXPECT_EQ(s.barBeatToTicks(INT_MAX, INT_MAX, INT_MAX), INT_MAX);
    EXPECT_EQ(s.barBeatToTicks(INT_MIN, INT_MIN, INT_MIN), INT_MIN);
    s.ticksPerBeat = 1;
    EXPECT_EQ(s.barBeatToTicks(200'000'000, 1, 0), 399'999'992); // taken as bar 99 999 999
    s.numerator = 1;
    EXPECT_EQ(s.barOfTicks(INT_MAX), INT_MAX);

    CMidiSequence big(nullptr);
    add(big, 0, 0, kStatTimeSig, INT_MAX, 4, 1);
    EXPECT_EQ(big.barBeatToTicks(5, 1, 0), INT_MAX);
    int on = add(big, 0, INT_MAX - 10, 0x90, 60, 1);
    big.events[on].onoff = add(big, 0, INT_MAX, 0x80, 60, 0);
    big.events[big.events[on].onoff].onoff = on;
    big.moveEvent(on, INT_MAX - 5);
    EXPECT_EQ(big.events[big.events[on].onoff].ticks, INT_MAX);
}

// A division of 0 or below counts as 1 tick per beat.
TEST(CMidiSequenceTime, NonPositiveResolutionNeverDividesByZero)
{
    for (int tpb : {0, -480}) {
        CMidiSequence s(nullptr);
        s.ticksPerBeat = tpb;
        EXPECT_EQ(s.timeSigAt(100, nullptr, nullptr), 1);
        EXPECT_EQ(s.ticksPerBeatAt(100), 1);
        int bar, beat, tick;
        s.ticksToBarBeat(10, &bar, &beat, &tick);
        EXPECT_EQ((std::vector<int>{bar, beat, tick}), (std::vector<int>{3, 3, 0}));
        EXPECT_EQ(s.barBeatToTicks(2, 1, 0), 4);
        const int ts = add(s, 0, 6, kStatTimeSig, 3, 4, 1);
        EXPECT_EQ(s.events[ts].ticks, 4);
        s.numerator = 0;
        EXPECT_EQ(s.barOfTicks(3), 4);
    }
}
