#include "base/CClock.h"

#include <chrono>
#include <ctime>
#include <thread>
#include <unistd.h>

int64_t CClock::nowUs() const
{
    if (isManual()) return manualUs.load(std::memory_order_acquire);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void CClock::sleepUs(int64_t us)
{
    if (us < 0) us = 0;
    if (!isManual()) {
        usleep(static_cast<useconds_t>(us));
        return;
    }
    if (autoAdvance.load()) {
        advanceUs(us);
        return;
    }
    std::unique_lock<std::mutex> guard(waitMutex);
    const int64_t until = manualUs.load() + us;
    int slot = 0;
    while (slot < kWakeSlots && wakeAt[slot] != 0) ++slot;
    if (slot < kWakeSlots) wakeAt[slot] = until + 1; // +1: a wake-up at time 0 is still marked
    ++sleeping;
    timeMoved.notify_all();
    timeMoved.wait(guard, [&] { return !isManual() || manualUs.load() >= until; });
    if (slot < kWakeSlots) wakeAt[slot] = 0;
    --sleeping;
}

int64_t CClock::nextWakeUs() const
{
    std::lock_guard<std::mutex> guard(waitMutex);
    int64_t next = -1;
    for (const int64_t w : wakeAt)
        if (w != 0 && (next < 0 || w - 1 < next)) next = w - 1;
    return next;
}

bool CClock::waitUntilAsleep(int64_t realTimeoutMs) const
{
    std::unique_lock<std::mutex> guard(waitMutex);
    return timeMoved.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        for (const int64_t w : wakeAt)
            if (w != 0 && w - 1 > manualUs.load()) return true;
        return false;
    });
}

void CClock::advanceTo(int64_t us)
{
    std::lock_guard<std::mutex> guard(waitMutex);
    if (us > manualUs.load()) manualUs.store(us);
    timeMoved.notify_all();
}

void CClock::setManual(int64_t startUs)
{
    std::lock_guard<std::mutex> guard(waitMutex);
    manualUs.store(startUs);
    manual.store(true, std::memory_order_release);
    timeMoved.notify_all();
}

void CClock::advanceUs(int64_t us)
{
    std::lock_guard<std::mutex> guard(waitMutex);
    manualUs.fetch_add(us < 0 ? 0 : us);
    timeMoved.notify_all();
}

bool CClock::waitForSleepers(int count, int64_t realTimeoutMs) const
{
    std::unique_lock<std::mutex> guard(waitMutex);
    return timeMoved.wait_for(guard, std::chrono::milliseconds(realTimeoutMs),
                              [&] { return sleeping.load() >= count; });
}
