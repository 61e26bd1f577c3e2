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
