// Timing of the real song player thread on the monotonic clock: a generated
// 16-channel song at 120 BPM (10 minutes by default) into the simulated synth
// with the capture on. Every channel message of the song leaves the port in
// order, so the n-th message sent is the song's n-th channel event; its
// capture time is compared with its ideal time, the first message's time plus
// the ticks since it at the tempo. A row for the production wait (each wait
// from the moment the previous one was due, nanosecond budgets) and, side by
// side, for the plain poll (each wait from its own clock reading, whole
// milliseconds; engine field plainMillisecondWait).
//
// Arguments: [seconds of music, default 600, or VTN_BENCH_SECONDS] [production:
//            the production row only]
#include "base/MessageSink.h"
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiSequence.h"

#include "BenchSupport.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kTpb = 480;
constexpr int kBpm = 120;

struct Row {
    const char* wait;
    size_t messages = 0, mismatched = 0;
    Figures error{}; // of |sent - ideal|, microseconds
    Figures onset{}; // the same for the first message of each tick only
    double driftUs = 0;
    double cpuPerMinute = 0; // CPU seconds per minute of music
};


// A busy band: per channel a different rhythm (sixteenths to half notes,
// some on off-beats), a volume and a pan change every bar, a bend on every
// fourth channel.
std::unique_ptr<CMidiSequence> bandSong(double seconds)
{
    auto song = std::make_unique<CMidiSequence>();
    song->ticksPerBeat = kTpb;
    song->tempo = kBpm;
    const int bars = static_cast<int>(seconds * kBpm / 60 / 4);
    int cursor = 0;
    auto add = [&](int tick, int stat, int d1, int d2) {
        cursor = song->insertEvent(song->findAfter(tick, cursor), tick, stat, d1, d2, {}, 0, 0);
    };
    for (int c = 0; c < 16; ++c) add(0, programStatus(c), c * 8, 0);
    for (int bar = 0; bar < bars; ++bar) {
        const int start = bar * 4 * kTpb;
        for (int c = 0; c < 16; ++c) {
            add(start, controllerStatus(c), kCtlVolume, 90 + (bar + c) % 20);
            add(start, controllerStatus(c), 10, 32 + (bar * 7 + c) % 64);
        }
        for (int step = 0; step < 16; ++step) {
            const int tick = start + step * kTpb / 4;
            for (int c = 0; c < 16; ++c) {
                const int every = 1 << (c % 4); // sixteenths, eighths, quarters, halves
                const int offset = c >= 8 ? every / 2 : 0;
                if (every > 1 && step % every != offset) continue;
                const int pitch = c == 9 ? 36 + step % 8 : 40 + (c * 5 + step + bar) % 40;
                add(tick, noteOnStatus(c), pitch, 70 + step);
                add(tick + kTpb / 4 * every - 10, noteOffStatus(c), pitch, 0);
                if (c % 4 == 3) add(tick, pitchBendStatus(c), 0, 64 + step % 8);
            }
        }
    }
    return song;
}

// The channel events of list 0, in order, as the port sends them.
struct Expected {
    int64_t tick;
    int status, d1;
};

Row playOnce(const CMidiSequence& song, const std::vector<Expected>& expected, bool plain, double seconds)
{
    Row row{plain ? "plain 1 ms poll (own clock)" : "ns budgets (production)"};
    auto engine = std::make_unique<CKvSeq>();
    startLiveEngine(*engine, true);
    engine->setSetting(&PlayState::plainMillisecondWait, plain ? 1 : 0);
    engine->setSetting(&SongSettings::playMode, 1);
    engine->port->capture.clear();

    const double cpuBefore = cpuSeconds();
    engine->startSongPlayer(const_cast<CMidiSequence*>(&song), 0, 0, 0, 0, 0);
    while (engine->isSongPlaying()) {
        timespec t{0, 50'000'000};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
    }
    row.cpuPerMinute = (cpuSeconds() - cpuBefore) / (seconds / 60);
    const std::vector<CapturedMessage> sent = engine->port->capture.take();
    engine->shutdown();

    const double usPerTick = 60e6 / (double{kTpb} * kBpm);
    std::vector<int64_t> errors, onsets;
    int64_t t0 = 0;
    for (size_t i = 0; i < sent.size() && i < expected.size(); ++i) {
        const CapturedMessage& m = sent[i];
        if (m.status != expected[i].status || m.d1 != expected[i].d1) ++row.mismatched;
        if (i == 0) t0 = m.timeUs;
        const double error = static_cast<double>(m.timeUs - t0) - static_cast<double>(expected[i].tick) * usPerTick;
        errors.push_back(std::llround(std::fabs(error)));
        if (i == 0 || expected[i].tick != expected[i - 1].tick) onsets.push_back(errors.back());
        row.driftUs = error;
    }
    row.messages = errors.size();
    if (!errors.empty()) row.error = percentiles(errors);
    if (!onsets.empty()) row.onset = percentiles(onsets);
    return row;
}

} // namespace

int main(int argc, char** argv)
{
    vtn::setMessageStream(nullptr);
    double seconds = 600;
    if (argc > 1)
        seconds = std::atof(argv[1]);
    else if (const char* env = std::getenv("VTN_BENCH_SECONDS"))
        seconds = std::atof(env);
    if (seconds <= 0) seconds = 600;
    const std::unique_ptr<CMidiSequence> song = bandSong(seconds);
    std::vector<Expected> expected;
    for (int r = song->events[kMainList].next; r >= kFirstEvent; r = song->events[static_cast<size_t>(r)].next) {
        const MidiEvent& e = song->events[static_cast<size_t>(r)];
        if (isChannelMessage(e.stat)) expected.push_back({e.ticks, e.stat, e.db1});
    }

    std::printf("Song player timing: 16 channels, %d BPM, %.0f s of music, %zu messages; monotonic clock, capture on "
                "(simulated synth)\n",
                kBpm, seconds, expected.size());
    std::printf("real-time priority for the player: %s\n", realTimeAllowed() ? "granted" : "refused (normal scheduling)");
    std::printf("error = capture time - ideal time (first message + ticks x 60000 / (ticksPerBeat x tempo) ms);\n"
                "p50/p99/max of |error|; drift = signed error of the last message; CPU = user+sys of the process\n\n");
    std::printf("%-28s %7s %5s %8s %8s %8s %10s %12s | %9s %9s\n", "wait", "msgs", "diff", "p50 us", "p99 us", "max us",
                "drift us", "CPU s/min", "onset p50", "onset p99");
    const bool both = !(argc > 2 && std::string(argv[2]) == "production");
    for (bool plain : {false, true}) {
        if (plain && !both) break;
        const Row r = playOnce(*song, expected, plain, seconds);
        std::printf("%-28s %7zu %5zu %8.0f %8.0f %8.0f %10.0f %12.3f | %9.0f %9.0f\n", r.wait, r.messages, r.mismatched,
                    r.error.p50, r.error.p99, r.error.max, r.driftUs, r.cpuPerMinute, r.onset.p50, r.onset.p99);
        std::fflush(stdout);
    }
    std::printf("\ntargets: p99 < 300 us, |drift| < 1000 us\n"
                "diff = messages sent that are not the song's event at their place (0 expected)\n"
                "onset = the first message of each tick only: the wake-up, without the messages sent after it at that tick\n");
    return 0;
}
