#include "base/RealTime.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

namespace vtn {

namespace {

// Tries real-time priority on the calling thread and goes back to where it
// was: the threads that need it ask for it themselves as they start.
bool realTimePriorityAllowed()
{
    int policy = SCHED_OTHER;
    sched_param was{};
    if (pthread_getschedparam(pthread_self(), &policy, &was) != 0) return false;
    sched_param probe{};
    probe.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &probe) != 0) return false;
    pthread_setschedparam(pthread_self(), policy, &was);
    return true;
}

// Locking future memory under a small limit would make the allocations
// after it fail (a thread's stack alone is 8 MB), so memory is locked only
// where the limit cannot be reached: no limit, a generous one, or the
// capability that lifts it.
bool lockingAllowed()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= (rlim_t{256} << 20)))
        return true;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (effective >> 14) & 1; // CAP_IPC_LOCK
    }
    return false;
}

} // namespace

std::string prepareRealTime()
{
    const bool locked = lockingAllowed() && mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
    const bool priority = realTimePriorityAllowed();
    if (locked && priority) return {};
    if (!locked && !priority)
        return "No real-time priority and no locked memory (see the rtprio and memlock limits): notes may be late when the board is busy";
    if (!priority) return "No real-time priority (see the rtprio limit): notes may be late when the board is busy";
    return "Memory not locked (see the memlock limit): a note may be late when memory is paged in";
}

void initThreadAttributes(pthread_attr_t& attributes, size_t stackBytes)
{
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, std::max<size_t>(stackBytes, PTHREAD_STACK_MIN));
}

} // namespace vtn
