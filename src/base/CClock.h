#pragma once
// The engine's one clock. Every time reading and every sleep of the engine and
// its threads goes through it, so that timing logic can run against a manual
// clock (tests, offline rendering) as well as against the monotonic clock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CClock {
public:
    CClock() = default;
    CClock(const CClock&) = delete;
    CClock& operator=(const CClock&) = delete;

    // Milliseconds of the monotonic clock (or of the manual clock). 64 bits:
    // a 32-bit count wraps after 24.8 days of uptime, and a board left running
    // for a season of gigs must not lose its timing.
    int64_t nowMs() const { return nowUs() / 1000; }
    int64_t nowUs() const;

    void sleepMs(int64_t ms) { sleepUs(ms * 1000); }
    void sleepUs(int64_t us);

    // Wake-ups. A sleeper takes a ticket, reads whatever it reacts to, and
    // sleeps with the ticket; a thread that changes such a thing calls
    // wake(), and a sleep whose ticket is older ends at once. Nothing is
    // lost between the reading and the sleep.
    uint32_t wakeTicket() const { return wakeups.load(std::memory_order_acquire); }
    void wake();
    // Sleeps until the clock reads `untilUs` or until a wake() after
    // `ticket`; true when woken. Never sleeps past `untilUs`.
    bool sleepUntilUs(int64_t untilUs, uint32_t ticket);

    // Manual mode: the time stands still until advance() moves it. A sleeping
    // thread wakes when the manual time reaches the end of its sleep. With
    // auto-advance on, a sleep moves the manual time forward itself, so a
    // single thread runs as fast as it can compute (offline rendering).
    void setManual(int64_t startUs = 0);
    void setAutoAdvance(bool on) { autoAdvance.store(on); }
    bool isManual() const { return manual.load(std::memory_order_acquire); }
    void advanceUs(int64_t us);
    void advanceMs(int64_t ms) { advanceUs(ms * 1000); }
    // Number of threads sleeping on the manual clock right now; lets a test
    // wait until a thread has reached its sleep before moving time on.
    int sleepers() const { return sleeping.load(); }
    // Sleeps begun on the manual clock so far: a thread that wakes without
    // cause shows here.
    int64_t sleepsBegun() const { return sleepCount.load(); }
    bool waitForSleepers(int count, int64_t realTimeoutMs = 5000) const;
    // The earliest time a thread sleeping on the manual clock wakes at; -1
    // when none sleeps. Lets a driver move time exactly to the next wake-up.
    int64_t nextWakeUs() const;
    // Waits until a thread sleeps on the manual clock with a wake-up ahead of
    // the manual time; false after the real-time timeout.
    bool waitUntilAsleep(int64_t realTimeoutMs) const;
    // Moves the manual time to `us` when that is ahead of it.
    void advanceTo(int64_t us);
    // Moves the manual time to `us` without waking anyone: a driver acts at
    // that moment before the sleepers due then run (advanceTo or a wake-up
    // lets them).
    void presetTime(int64_t us);

private:
    std::atomic<bool> manual{false};
    std::atomic<bool> autoAdvance{false};
    std::atomic<int64_t> manualUs{0};
    // Counts the wake-ups; the monotonic sleep waits on it as a futex.
    std::atomic<uint32_t> wakeups{0};
    std::atomic<int> futexSleepers{0};
    mutable std::atomic<int> sleeping{0};
    std::atomic<int64_t> sleepCount{0};
    mutable std::mutex waitMutex;
    mutable std::condition_variable timeMoved;
    static constexpr int kWakeSlots = 16;
    int64_t wakeAt[kWakeSlots] = {}; // guarded by waitMutex; 0 = free
    // A sleep that a wake-up ends: its ticket. Once woken it no longer
    // counts as asleep, though its thread has not run yet.
    bool wakeable[kWakeSlots] = {};
    uint32_t slotTicket[kWakeSlots] = {};
    bool asleep(int slot) const { return wakeAt[slot] != 0 && !(wakeable[slot] && slotTicket[slot] != wakeups.load()); }
};
