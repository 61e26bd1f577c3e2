#pragma once
// Holds a mutex for one scope. Every class with a mutex takes it this way, so
// no early return can leave it held.
#include <pthread.h>

class CLockGuard {
public:
    explicit CLockGuard(pthread_mutex_t& m) : mutex(m) { pthread_mutex_lock(&mutex); }
    ~CLockGuard() { pthread_mutex_unlock(&mutex); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    pthread_mutex_t& mutex;
};

// A mutex that the real-time threads share with ordinary ones (the console,
// a benchmark's driver): whoever holds it while a player or the input thread
// waits for it runs at the waiter's priority until it lets go, so a busy
// board cannot park the holder and make a note late. Returns what
// pthread_mutex_init returns.
inline int initSharedMutex(pthread_mutex_t& m)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    const int result = pthread_mutex_init(&m, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return result;
}
