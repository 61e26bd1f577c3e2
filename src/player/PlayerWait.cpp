// The wait both players share: the sleep until a moment, with its last
// stretch awake and wake-ups, and the hold while paused.
#include "base/CClock.h"
#include "engine/CKvSeq.h"
#include "player/CPlayer.h"
#include "player/PlayerTiming.h"

#include <algorithm>

namespace {
// The longest sleep while paused; resuming or a stop wakes the player at once.
constexpr int64_t kPauseSleepUs = 1'000'000;
// The early end of a long sleep, and the steps slept after it.
constexpr int64_t kWarmNs = 3'000'000;
constexpr int64_t kWarmStepNs = 1'000'000;
} // namespace

bool sleepUntilDue(CClock& clock, int64_t untilNs, uint32_t ticket, bool awake)
{
    if (clock.isManual()) return clock.sleepUntilUs((untilNs + 999) / 1000, ticket);
    // A processor idle for long (a virtual one above all) now and then wakes
    // milliseconds late: a long sleep ends a little early and the rest is
    // slept in short steps, which wake in time. The last stretch, if asked
    // for, is spent awake on the monotonic clock.
    const int64_t wakeNs = awake ? untilNs - kAwakeNs : untilNs;
    if (wakeNs - kWarmNs > clock.nowUs() * 1000 && clock.sleepUntilUs((wakeNs - kWarmNs) / 1000, ticket)) return true;
    for (int64_t now = clock.nowUs() * 1000; now < wakeNs; now = clock.nowUs() * 1000)
        if (clock.sleepUntilUs((std::min(wakeNs, now + kWarmStepNs) + 999) / 1000, ticket)) return true;
    while (awake && clock.nowUs() * 1000 < untilNs)
        if (clock.wakeTicket() != ticket) return true;
    return false;
}

void CPlayer::waitWhilePaused()
{
    CClock& clock = *engine->clock;
    for (;;) {
        const uint32_t ticket = clock.wakeTicket();
        engine->lock();
        const bool held = engine->play.paused && !engine->play.stopRequest;
        engine->unlock();
        if (!held) return;
        clock.sleepUntilUs(clock.nowUs() + kPauseSleepUs, ticket);
    }
}
