#include "base/CClock.h"

#include <chrono>
#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the wake-up counter is waited on as a futex");

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
    ++sleepCount;
    timeMoved.notify_all();
    timeMoved.wait(guard, [&] { return !isManual() || manualUs.load() >= until; });
    if (slot < kWakeSlots) wakeAt[slot] = 0;
    --sleeping;
}

void CClock::wake()
{
    if (isManual()) {
        std::lock_guard<std::mutex> guard(waitMutex);
        wakeups.fetch_add(1, std::memory_order_acq_rel);
        timeMoved.notify_all();
        return;
    }
    // Sequentially consistent, against a sleeper going to sleep: either it
    // sees the new count before it sleeps, or this sees it and wakes it.
    wakeups.fetch_add(1);
    if (futexSleepers.load() > 0)
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wakeups), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

bool CClock::sleepUntilUs(int64_t untilUs, uint32_t ticket)
{
    if (!isManual()) {
        const timespec until{static_cast<time_t>(untilUs / 1'000'000), static_cast<long>(untilUs % 1'000'000) * 1000};
        futexSleepers.fetch_add(1);
        for (;;) {
            if (wakeups.load() != ticket) break;
            if (nowUs() >= untilUs) break;
            // An absolute wait on the monotonic clock; it returns at once when
            // the counter has moved since the ticket, so no wake-up is lost.
            const long r = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wakeups),
                                   FUTEX_WAIT_BITSET_PRIVATE, ticket, &until, nullptr, FUTEX_BITSET_MATCH_ANY);
            if (r != 0 && errno == ETIMEDOUT) break;
        }
        futexSleepers.fetch_sub(1, std::memory_order_acq_rel);
        return wakeups.load(std::memory_order_acquire) != ticket;
    }
    if (autoAdvance.load()) {
        if (wakeups.load() != ticket) return true;
        advanceTo(untilUs);
        return false;
    }
    std::unique_lock<std::mutex> guard(waitMutex);
    int slot = 0;
    while (slot < kWakeSlots && wakeAt[slot] != 0) ++slot;
    if (slot < kWakeSlots) {
        wakeAt[slot] = untilUs + 1; // +1: a wake-up at time 0 is still marked
        wakeable[slot] = true;
        slotTicket[slot] = ticket;
    }
    ++sleeping;
    ++sleepCount;
    timeMoved.notify_all();
    timeMoved.wait(guard, [&] { return !isManual() || manualUs.load() >= untilUs || wakeups.load() != ticket; });
    if (slot < kWakeSlots) {
        wakeAt[slot] = 0;
        wakeable[slot] = false;
    }
    --sleeping;
    return wakeups.load() != ticket;
}

int64_t CClock::nextWakeUs() const
{
    std::lock_guard<std::mutex> guard(waitMutex);
    int64_t next = -1;
    for (int slot = 0; slot < kWakeSlots; ++slot) {
        const int64_t w = wakeAt[slot];
        if (asleep(slot) && (next < 0 || w - 1 < next)) next = w - 1;
    }
    return next;
}

bool CClock::waitUntilAsleep(int64_t realTimeoutMs) const
{
    std::unique_lock<std::mutex> guard(waitMutex);
    return timeMoved.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        for (int slot = 0; slot < kWakeSlots; ++slot)
            if (asleep(slot) && wakeAt[slot] - 1 > manualUs.load()) return true;
        return false;
    });
}

void CClock::advanceTo(int64_t us)
{
    std::lock_guard<std::mutex> guard(waitMutex);
    if (us > manualUs.load()) manualUs.store(us);
    timeMoved.notify_all();
}

void CClock::presetTime(int64_t us)
{
    std::lock_guard<std::mutex> guard(waitMutex);
    if (us > manualUs.load()) manualUs.store(us);
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
