// The arranger as an appliance: the demo set-up (demo/ after `make
// demo-files`) playing its style at 120 BPM on the monotonic clock, into the
// simulated synth (no sequencer: the kernel's share of a send is not
// counted). Prints, minute by minute, the resident memory, the heap in use
// and the process's CPU share (user + system time of all its threads, in %
// of one core), then the first minute beside the last. Memory is locked as
// the arranger locks it, so every page it maps counts. The demo records
// every accompanied performance: the events recorded so far are printed
// too, as the recording is memory the arranger holds by design.
//
// Arguments: [minutes, default 1] [demo folder, default the source tree's demo/]
#include "base/MessageSink.h"
#include "base/RealTime.h"
#include "engine/CKvSeq.h"
#include "sequence/CMidiSequence.h"

#include "BenchSupport.h"
#include "DemoRun.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

struct Sample {
    long rssKb, heapKb;
    size_t recorded;
    double cpuPercent;
};

int64_t monotonicUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

} // namespace

int main(int argc, char** argv)
{
    vtn::setMessageStream(nullptr);
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const std::string demoDir = argc > 2 ? argv[2] : std::string(VTN_DEMO_DIR);
    // As the arranger does before its threads start: memory locked where allowed.
    const std::string realTime = vtn::prepareRealTime();
    CDemoRun demo;
    std::string error;
    if (!demo.start(demoDir, false, false, error)) {
        std::printf("bench_appliance: %s\n", error.c_str());
        return 1;
    }
    CKvSeq& e = demo.engine();
    e.setSetting(&PlayState::blockTempo, 1);
    e.setTempo(120);
    e.setChord(0, 0, -1); // C major: the style starts
    std::printf("Appliance: the demo style at 120 BPM for %d minute(s); %s\n", minutes,
                realTime.empty() ? "memory locked, real-time priority granted" : realTime.c_str());
    std::printf("%6s %9s %9s %7s %9s\n", "minute", "RSS kB", "heap kB", "CPU %", "recorded");
    Sample first{}, last{};
    const int64_t start = monotonicUs();
    double cpuBefore = processCpuSeconds();
    for (int m = 1; m <= minutes; ++m) {
        const int64_t until = start + m * 60'000'000LL;
        const timespec t{static_cast<time_t>(until / 1'000'000), static_cast<long>(until % 1'000'000) * 1000};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
        }
        const double cpu = processCpuSeconds();
        e.lock();
        const size_t recorded = e.recordSequence ? e.recordSequence->events.size() : 0;
        e.unlock();
        last = {residentKb(), heapInUseKb(), recorded, (cpu - cpuBefore) / 60.0 * 100.0};
        cpuBefore = cpu;
        if (m == 1) first = last;
        std::printf("%6d %9ld %9ld %7.3f %9zu\n", m, last.rssKb, last.heapKb, last.cpuPercent, last.recorded);
        std::fflush(stdout);
    }
    const bool playing = e.isStylePlaying();
    e.requestStop();
    while (e.isPlaying()) e.sleepMs(10);
    demo.stop();
    std::printf("\nat start (minute 1): RSS %ld kB, CPU %.3f %%; after %d minutes: RSS %ld kB (%+ld kB), CPU %.3f %%%s\n",
                first.rssKb, first.cpuPercent, minutes, last.rssKb, last.rssKb - first.rssKb, last.cpuPercent,
                playing ? "" : " (the style had stopped: figures void)");
    return playing ? 0 : 1;
}
