// The song player on the manual clock: time moves exactly to each wake-up of
// the player thread, so every message leaves at its ideal time.
#include "support/LiveEngine.h"

#include "base/MidiStatus.h"
#include "sequence/CMidiSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kTpb = 480;
constexpr int kBar = 4 * kTpb;

// A song built event by event in list 0, in 4/4 at 480 ticks per beat.
struct Song {
    std::unique_ptr<CMidiSequence> seq = std::make_unique<CMidiSequence>();
    explicit Song(int bpm = 120)
    {
        seq->ticksPerBeat = kTpb;
        seq->tempo = bpm;
        seq->name = "Song.mid";
    }
    Song& add(int tick, int stat, int d1, int d2)
    {
        const int at = seq->findAfter(tick, 0);
        seq->insertEvent(at, tick, stat, d1, d2, {}, 0, 0);
        return *this;
    }
    Song& note(int tick, int channel, int pitch, int length = 240)
    {
        add(tick, noteOnStatus(channel), pitch, 100);
        return add(tick + length, noteOffStatus(channel), pitch, 0);
    }
    // A note on channel index 0 at every beat of `bars` bars; its pitch is
    // 60 + the bar number, so each message tells where it came from.
    static Song bars(int bars, int bpm = 120)
    {
        Song s(bpm);
        for (int b = 0; b < bars; ++b)
            for (int beat = 0; beat < 4; ++beat) s.note(b * kBar + beat * kTpb, 0, 61 + b);
        return s;
    }
};

class SongPlayer : public testsupport::LiveEngineFixture<> {
protected:
    void TearDown() override
    {
        stop();
        LiveEngineFixture::TearDown();
    }
    int64_t start(Song& s, int startBar = 0, int endBar = 0, int loop = 0, int record = 0, int click = 0)
    {
        engine.set(engine.playMode, 1);
        origin = engine.clock->nowUs();
        EXPECT_EQ(engine.startSongPlayer(s.seq.get(), startBar, endBar, loop, record, click), 0);
        return origin;
    }
    // Moves the manual time on by `ms`, stopping at each wake-up of the player.
    void run(int64_t ms)
    {
        CClock& clock = *engine.clock;
        const int64_t until = clock.nowUs() + ms * 1000;
        while (clock.nowUs() < until) {
            if (!clock.waitUntilAsleep(20)) {
                if (!engine.isPlaying()) break;
                continue;
            }
            clock.advanceTo(std::min(clock.nextWakeUs(), until));
        }
        while (engine.isPlaying() && !clock.waitUntilAsleep(20)) {
        }
    }
    void stop()
    {
        if (!engine.isPlaying()) return;
        engine.requestStop();
        while (engine.isPlaying()) run(10);
    }
    // Note ons sent: (ms since the start, channel, pitch).
    std::vector<std::tuple<int64_t, int, int>> ons()
    {
        std::vector<std::tuple<int64_t, int, int>> out;
        for (const CapturedMessage& m : sent())
            if (isNoteOn(m.status, m.d2)) out.emplace_back((m.timeUs - origin) / 1000, m.channel(), m.d1);
        return out;
    }
    int64_t origin = 0;
};

TEST_F(SongPlayer, PlaysEveryNoteInTimeAndEndsByItself)
{
    Song s = Song::bars(2);
    start(s);
    run(5000);
    EXPECT_FALSE(engine.isPlaying());
    const auto played = ons();
    ASSERT_EQ(played.size(), 8u);
    for (size_t i = 0; i < played.size(); ++i)
        EXPECT_EQ(played[i], std::make_tuple(int64_t(i) * 500, 0, 61 + int(i) / 4)) << i;
    EXPECT_EQ(engine.get(engine.playMode), 0);
}

} // namespace
