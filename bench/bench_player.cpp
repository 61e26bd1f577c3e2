// Timing of the real style player thread on the monotonic clock: a corpus
// style's Main A at 40, 120 and 250 BPM into the simulated synth with the
// capture on, measured as StyleTiming.h says. Rows for the nanosecond-budget
// wait and, side by side, for the plain 1 ms poll with millisecond budgets
// (engine field plainMillisecondWait).
//
// Arguments: [seconds of music per row, default 60, or VTN_BENCH_SECONDS]
//            [style file, default LingusFunk.S066.sty of the corpus]
#include "base/MessageSink.h"

#include "StyleTiming.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using styletiming::Row;

Row playOnce(const std::vector<uint8_t>& bytes, const std::string& name, int bpm, bool plain, double seconds)
{
    auto engine = std::make_unique<CKvSeq>();
    startLiveEngine(*engine, true);
    engine->setSetting(&PlayState::plainMillisecondWait, plain ? 1 : 0);
    if (engine->loadStyle(-2, bytes.data(), static_cast<int>(bytes.size()), name) < 0) {
        std::printf("%s: not loaded\n", name.c_str());
        std::exit(1);
    }
    Row row = styletiming::timeStyle(engine.get(), bpm, seconds, styletiming::sleepSeconds);
    row.wait = plain ? "plain 1 ms poll, ms budgets" : "ns budgets (production)";
    engine->shutdown();
    return row;
}

} // namespace

int main(int argc, char** argv)
{
    vtn::setMessageStream(nullptr);
    double seconds = 60;
    if (argc > 1)
        seconds = std::atof(argv[1]);
    else if (const char* env = std::getenv("VTN_BENCH_SECONDS"))
        seconds = std::atof(env);
    if (seconds <= 0) seconds = 60;
    const std::string path = argc > 2 ? argv[2] : std::string(VTN_BENCH_CORPUS_DIR) + "/styles/LingusFunk.S066.sty";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::printf("%s not found\n", path.c_str());
        return 1;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = path.substr(path.find_last_of('/') + 1);

    std::printf("Style player timing: %s, Main A, %.0f s of music per row, monotonic clock, capture on (simulated synth)\n",
                name.c_str(), seconds);
    std::printf("real-time priority for the player: %s\n", realTimeAllowed() ? "granted" : "refused (normal scheduling)");
    std::printf("error = capture time - ideal time (first message + ticks x 60000 / (ticksPerBeat x tempo) ms);\n"
                "p50/p99/max of |error|; drift = signed error of the last message; CPU = user+sys of the process\n"
                "per minute of music, in %% of one core\n\n");
    std::printf("%-28s %4s %6s %4s %8s %8s %8s %9s %7s | %10s %11s\n", "wait", "BPM", "msgs", "unm.", "p50 us",
                "p99 us", "max us", "drift us", "CPU %", "jit p99 us", "trend us/min");
    for (int bpm : {40, 120, 250}) {
        for (bool plain : {false, true}) {
            const Row r = playOnce(bytes, name, bpm, plain, seconds);
            std::printf("%-28s %4d %6zu %4zu %8.0f %8.0f %8.0f %9.0f %7.3f | %10.0f %11.0f\n", r.wait, r.bpm, r.matched,
                        r.unmatched, r.error.p50, r.error.p99, r.error.max, r.driftUs, r.cpuPercent, r.residualP99Us,
                        r.slopeUsPerMin);
            std::fflush(stdout);
        }
    }
    std::printf("\ntargets: p99 < 300 us, |drift| < 1000 us, CPU < 1 %% of one core\n");
    std::printf("msgs = messages matched to the part's events; unm. = sent messages left unmatched\n"
                "jit p99 = p99 of |error - straight-line fit of error over time|; trend = slope of that fit\n");
    return 0;
}
