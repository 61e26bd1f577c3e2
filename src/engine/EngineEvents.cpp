#include "engine/EngineEvents.h"

#include "base/RealTime.h"

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr size_t kDeliveryStack = 128 * 1024;

void futexWake(std::atomic<uint32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}
} // namespace

void CEngineEvents::post(uint32_t changes)
{
    if (changes == 0) return;
    // Sequentially consistent, against the listener's going to sleep: either
    // it sees this post before it sleeps, or this sees it asleep and wakes it.
    pending.fetch_or(changes);
    posts.fetch_add(1);
    if (sleeping.load()) futexWake(posts);
}

bool CEngineEvents::listen(ChangeListener l, void* c)
{
    if (running || !l) return false;
    listener = l;
    context = c;
    stopping.store(false);
    pthread_attr_t attributes;
    vtn::initThreadAttributes(attributes, kDeliveryStack);
    running = pthread_create(&thread, &attributes, deliver, this) == 0;
    pthread_attr_destroy(&attributes);
    return running;
}

void CEngineEvents::stop()
{
    if (!running) return;
    stopping.store(true, std::memory_order_release);
    posts.fetch_add(1, std::memory_order_acq_rel);
    futexWake(posts);
    pthread_join(thread, nullptr);
    running = false;
}

void* CEngineEvents::deliver(void* self)
{
    auto& e = *static_cast<CEngineEvents*>(self);
    for (;;) {
        const uint32_t seen = e.posts.load();
        const uint32_t changes = e.pending.exchange(0, std::memory_order_acq_rel);
        if (changes != 0) {
            e.listener(e.context, changes);
            continue;
        }
        if (e.stopping.load(std::memory_order_acquire)) return nullptr;
        // Asleep until the next post; one made since `seen` ends it at once.
        e.sleeping.store(true);
        if (e.posts.load() == seen)
            syscall(SYS_futex, reinterpret_cast<uint32_t*>(&e.posts), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
        e.sleeping.store(false);
    }
}
