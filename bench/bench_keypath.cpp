// Instructions on the road of a key: from the moment the input thread has
// decoded a message of the keyboard to the first byte handed to the sequencer (or to
// the end of the message's handling when it sends nothing), counted by
// callgrind, so the figure does not depend on a noisy machine.
//
// The demo set-up plays its style (on the manual clock, so the player thread
// is parked between its events and never runs inside a counted stretch) with
// recording on, and the calling thread plays, one kind after the other:
// a melody key (its press), the same key's release, a chord-area key that
// changes the chord, and a key bound to a function (Higher variation).
//
// Run plainly, the program runs itself under callgrind, reads the dumps of
// the calling thread and prints the median count per kind. callgrind zeroes
// its counters as the port takes a keyboard's message (receiveInput) and
// dumps them as the port hands a message over and as receiveInput ends; the
// first dump after each start is the figure of that message.
//
// Arguments: [demo folder, default the source tree's demo/] [presses per kind, default 60]
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"

#include "DemoRun.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define VTN_HAVE_CALLGRIND 1
#endif

namespace {

const char* const kKinds[] = {"melody key", "melody key release", "chord-area key (chord change)",
                              "trigger key (Higher variation)"};
constexpr int kKindCount = 4;

#ifdef VTN_HAVE_CALLGRIND
void marker(int kind)
{
    // A dump of its own between the kinds: its description names the kind
    // that follows.
    char text[32];
    std::snprintf(text, sizeof text, "kind %d", kind);
    CALLGRIND_DUMP_STATS_AT(text);
}

int drive(const std::string& demoDir, int presses)
{
    vtn::setMessageStream(nullptr);
    CDemoRun demo;
    std::string error;
    if (!demo.start(demoDir, true, false, error)) {
        std::fprintf(stderr, "bench_keypath: %s\n", error.c_str());
        return 1;
    }
    CKvSeq& e = demo.engine();
    e.setChord(0, 0, -1); // the style starts
    e.clock->waitUntilAsleep(20'000);
    if (!e.isStylePlaying()) {
        std::fprintf(stderr, "bench_keypath: the style did not start\n");
        return 1;
    }
    // As the input thread delivers what the keyboard (USB Keys, 20:0) plays.
    auto play = [&e](int status, int d1, int d2) { e.port->receiveInput(20, 0, status, d1, d2); };
    constexpr int kMelodyKey = 72, kTriggerKey = 40;
    const int chordKeys[2] = {48, 45}; // with E3 and G3 held: C, then Am
    auto settle = [&e] { e.clock->waitUntilAsleep(20'000); };

    marker(0);
    for (int k = 0; k < presses; ++k) {
        play(0x90, kMelodyKey, 100);
        marker(1);
        play(0x80, kMelodyKey, 0);
        marker(k + 1 < presses ? 0 : -1);
    }
    marker(-1);
    for (int note : {52, 55}) play(0x90, note, 90);
    settle();
    marker(2);
    for (int k = 0; k < presses; ++k) {
        const int note = chordKeys[k % 2];
        play(0x90, note, 90);
        marker(-1);
        play(0x80, note, 0);
        settle(); // the player takes the chord outside the counted stretch
        marker(2);
    }
    marker(-1);
    for (int note : {52, 55}) play(0x80, note, 0);
    marker(3);
    for (int k = 0; k < presses; ++k) {
        play(0x90, kTriggerKey, 100);
        marker(-1);
        play(0x80, kTriggerKey, 0);
        marker(k + 1 < presses ? 3 : -1);
    }
    e.requestStop();
    e.clock->setAutoAdvance(true);
    e.stopAndWait();
    return 0;
}
#endif

// One dump of callgrind: what made it and the instructions it counts.
struct Dump {
    int part = 0;
    std::string trigger;
    long instructions = 0;
};

bool readDump(const std::string& path, Dump& d)
{
    std::ifstream in(path);
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        if (line.rfind("part: ", 0) == 0) d.part = std::atoi(line.c_str() + 6);
        if (line.rfind("desc: Trigger: ", 0) == 0) d.trigger = line.substr(15);
        if (line.rfind("totals: ", 0) == 0 || line.rfind("summary: ", 0) == 0) {
            d.instructions = std::atol(line.c_str() + line.find(' ') + 1);
            any = true;
        }
    }
    return any;
}

int measure(const char* self, const std::string& demoDir, int presses)
{
    char dir[] = "/tmp/vtn-keypath.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string out = std::string(dir) + "/cg";
    const std::string outArg = "--callgrind-out-file=" + out;
    const std::string count = std::to_string(presses);
    const pid_t child = fork();
    if (child == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, 2);
        execlp("valgrind", "valgrind", "--tool=callgrind", "--separate-threads=yes", outArg.c_str(),
               "--zero-before=CMidiPort::receiveInput*", "--dump-before=CMidiPort::handOver*",
               "--dump-after=CMidiPort::receiveInput*", self, "--drive", demoDir.c_str(), count.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("bench_keypath: valgrind did not run the driver (is valgrind installed?)\n");
        return 1;
    }

    // The calling thread is thread 1; its dumps, in order.
    std::vector<Dump> dumps;
    if (DIR* d = opendir(dir)) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() < 3 || name.compare(name.size() - 3, 3, "-01") != 0) continue;
            Dump dump;
            if (readDump(std::string(dir) + "/" + name, dump)) dumps.push_back(dump);
        }
        closedir(d);
    }
    std::sort(dumps.begin(), dumps.end(), [](const Dump& a, const Dump& b) { return a.part < b.part; });
    std::string cleanup = std::string("rm -rf ") + dir;
    if (std::system(cleanup.c_str()) != 0) { /* a temporary folder left behind */ }

    // Every counted message follows a marker naming its kind; the first dump
    // after the marker (a hand-over, or the end of the input operation) is
    // the message's figure.
    std::map<int, std::vector<long>> counts;
    int kind = -1;
    bool first = false; // the next dump is the first of a message
    for (const Dump& d : dumps) {
        if (d.trigger.rfind("Client Request: kind ", 0) == 0) {
            kind = std::atoi(d.trigger.c_str() + 21);
            first = true;
            continue;
        }
        const bool ofMessage = d.trigger.find("receiveInput") != std::string::npos ||
                               d.trigger.find("handOver") != std::string::npos;
        if (first && ofMessage && kind >= 0) counts[kind].push_back(d.instructions);
        first = false;
    }
    std::printf("Instructions from a keyboard's message to the first message handed over "
                "(callgrind, the demo's style playing, recording on):\n");
    for (int k = 0; k < kKindCount; ++k) {
        std::vector<long>& c = counts[k];
        if (c.empty()) {
            std::printf("  %-34s no figure\n", kKinds[k]);
            continue;
        }
        std::sort(c.begin(), c.end());
        std::printf("  %-34s median %6ld   min %6ld   max %6ld   (%zu messages)\n", kKinds[k], c[c.size() / 2],
                    c.front(), c.back(), c.size());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
#ifdef VTN_HAVE_CALLGRIND
    if (argc > 1 && std::string(argv[1]) == "--drive")
        return drive(argc > 2 ? argv[2] : VTN_DEMO_DIR, argc > 3 ? std::max(2, std::atoi(argv[3])) : 60);
    const std::string demoDir = argc > 1 ? argv[1] : std::string(VTN_DEMO_DIR);
    const int presses = argc > 2 ? std::max(2, std::atoi(argv[2])) : 60;
    return measure(argv[0], demoDir, presses);
#else
    (void)argc;
    (void)argv;
    std::printf("bench_keypath: valgrind's headers are not installed; no figure\n");
    return 0;
#endif
}
