// The wait both players share: the sleep until a moment, with its last
// stretch awake and wake-ups, and the hold while paused.
#include "base/CClock.h"
#include "engine/CKvSeq.h"
#include "player/CPlayer.h"
#include "player/PlayerTiming.h"

namespace {
// The longest sleep while paused; resuming or a stop wakes the player at once.
constexpr int64_t kPauseSleepUs = 1'000'000;
} // namespace

bool sleepUntilDue(CClock& clock, int64_t untilNs, uint32_t ticket, bool awake)
{
    if (clock.isManual() || !awake) return clock.sleepUntilUs((untilNs + 999) / 1000, ticket);
    // Asleep until the last stretch, then awake on the monotonic clock.
    const int64_t wakeNs = untilNs - kAwakeNs;
    if (wakeNs > clock.nowUs() * 1000 && clock.sleepUntilUs(wakeNs / 1000, ticket)) return true;
    while (clock.nowUs() * 1000 < untilNs)
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
