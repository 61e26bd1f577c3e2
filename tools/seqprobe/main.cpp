// seqprobe: the arranger's peer for end-to-end checks and latency figures.
//
//   seqprobe ports                         every port: client:port, caps, full name
//   seqprobe capture [--from TEXT] [--count N] [--timeout MS] [--ready FILE]
//                                          prints what arrives on "vtn-probe in", one line each
//   seqprobe send [--to TEXT] EVENT...     sends events ("noteon 0 60 100", "sysex F0 .. F7")
//   seqprobe latency --out TEXT [--back TEXT|none] [--count N] [--label NAME] [--settle MS] [--keys LOW-HIGH]
//                   [--priority N] [--gap US]  note round trips: our "out" -> TEXT ... -> our "in"
//                                          (each key on, then off, on channel 1; default keys 36-83)
//   seqprobe relay                         sends what arrives on "in" straight on from "out":
//                                          the floor for any client in user space
//   seqprobe keyboard [--port NAME] [--ready FILE]
//                                          a keyboard that comes and goes: plays the events of
//                                          its standard input on port NAME, leaves at its end
//   seqprobe timing --notes FILE [--players A,B...] [--ready FILE] [--wait MS] [--quiet MS] [--skip MS]
//                                          each player in turn plays a song to "in": its notes'
//                                          arrivals against their times in the song (after the first MS)
#include "SeqProbe.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int usage()
{
    std::fputs("usage: seqprobe ports | capture [--from TEXT] [--count N] [--timeout MS] [--ready FILE]"
               " | send [--to TEXT] EVENT... | latency --out TEXT [--back TEXT] [--count N] [--label NAME] [--keys LOW-HIGH] [--priority N] [--gap US]"
               " | relay | keyboard [--port NAME] [--ready FILE]"
               " | timing --notes FILE [--players A,B] [--ready FILE] [--wait MS] [--quiet MS] [--skip MS]\n",
               stderr);
    return 2;
}

std::string option(std::vector<std::string>& args, const std::string& name, const std::string& fallback)
{
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name) {
            std::string v = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
            return v;
        }
    }
    return fallback;
}

int ports(SeqProbe& probe)
{
    for (const ProbePort& p : probe.ports())
        std::printf("%d:%d caps=0x%02x %s\n", p.client, p.port, p.capability, p.fullName().c_str());
    return 0;
}

int capture(SeqProbe& probe, std::vector<std::string>& args)
{
    const std::string from = option(args, "--from", "");
    const int count = std::atoi(option(args, "--count", "0").c_str());
    const int timeout = std::atoi(option(args, "--timeout", "10000").c_str());
    const std::string ready = option(args, "--ready", "");
    if (!from.empty()) {
        ProbePort p;
        if (!probe.findPort(from, p) || !probe.connectInFrom(p.client, p.port)) {
            std::fprintf(stderr, "seqprobe: no port like '%s'\n", from.c_str());
            return 1;
        }
    }
    if (!ready.empty()) std::ofstream(ready) << "ready\n";
    int got = 0;
    ProbeEvent e;
    while ((count == 0 || got < count) && probe.receive(e, timeout)) {
        std::printf("%s\n", e.text().c_str());
        std::fflush(stdout);
        ++got;
    }
    return (count == 0 || got == count) ? 0 : 1;
}

int send(SeqProbe& probe, std::vector<std::string>& args)
{
    const std::string to = option(args, "--to", "");
    if (!to.empty()) {
        ProbePort p;
        if (!probe.findPort(to, p) || !probe.connectOutTo(p.client, p.port)) {
            std::fprintf(stderr, "seqprobe: no port like '%s'\n", to.c_str());
            return 1;
        }
    }
    for (const std::string& text : args) {
        ProbeEvent e;
        if (!SeqProbe::parse(text, e) || !probe.send(e)) {
            std::fprintf(stderr, "seqprobe: cannot send '%s'\n", text.c_str());
            return 1;
        }
    }
    return 0;
}

int latency(SeqProbe& probe, std::vector<std::string>& args)
{
    const std::string out = option(args, "--out", "");
    const std::string back = option(args, "--back", out);
    const int count = std::max(1, std::atoi(option(args, "--count", "1000").c_str()));
    const std::string label = option(args, "--label", out);
    const int settle = std::atoi(option(args, "--settle", "0").c_str());
    // Above the client measured, so that on a shared CPU the reply is read
    // when it leaves, not when the client has finished the rest of its work.
    const int priority = std::atoi(option(args, "--priority", "0").c_str());
    // Time between a reply and the next note, as between a player's notes:
    // back to back, a client still busy with the last note delays the next.
    const int gapUs = std::atoi(option(args, "--gap", "0").c_str());
    if (priority > 0) {
        sched_param p{};
        p.sched_priority = priority;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    }
    // An arranger in live mode takes low keys as triggers and chords: its
    // melody keys are the ones that come straight back.
    const std::string keys = option(args, "--keys", "36-83");
    const int low = std::atoi(keys.c_str());
    const int span = std::max(1, std::atoi(keys.c_str() + keys.find('-') + 1) - low + 1);
    ProbePort o, b;
    // "--back none": the far side sends to our "in" port by itself.
    const bool connectBack = back != "none";
    if (!probe.findPort(out, o) || !probe.connectOutTo(o.client, o.port) ||
        (connectBack && (!probe.findPort(back, b) || !probe.connectInFrom(b.client, b.port)))) {
        std::fprintf(stderr, "seqprobe: cannot connect through '%s'\n", out.c_str());
        return 1;
    }
    if (settle > 0) usleep(static_cast<useconds_t>(settle) * 1000);
    ProbeEvent stale;
    while (probe.receive(stale, 50)) {
    }
    std::vector<int64_t> trips;
    trips.reserve(static_cast<size_t>(count));
    int lost = 0;
    size_t others = 0; // what else arrived: an accompaniment playing along
    for (int i = 0; i < count; ++i) {
        ProbeEvent e;
        e.type = SND_SEQ_EVENT_NOTEON;
        e.channel = 0;
        e.a = low + (i / 2) % span;
        e.b = (i % 2) ? 0 : 100; // each key on, then off
        if (gapUs > 0) usleep(static_cast<useconds_t>(gapUs));
        const int64_t start = probeNowUs();
        probe.send(e);
        ProbeEvent r;
        bool seen = false;
        while (probe.receive(r, 2000)) {
            // Channel 1 only: an arranger's accompaniment plays on others.
            if ((r.type == SND_SEQ_EVENT_NOTEON || r.type == SND_SEQ_EVENT_NOTEOFF) && r.a == e.a && r.channel == 0) {
                trips.push_back(r.timeUs - start);
                seen = true;
                break;
            }
            ++others;
        }
        if (!seen) ++lost;
    }
    std::sort(trips.begin(), trips.end());
    auto pct = [&](double q) { return trips.empty() ? -1 : trips[static_cast<size_t>(q * static_cast<double>(trips.size() - 1))]; };
    std::printf("%s: %zu round trips, %d lost, p50 %lld us, p99 %lld us, max %lld us, %zu other events\n", label.c_str(),
                trips.size(), lost, static_cast<long long>(pct(0.5)), static_cast<long long>(pct(0.99)),
                static_cast<long long>(trips.empty() ? -1 : trips.back()), others);
    return lost == 0 ? 0 : 1;
}

int keyboard(SeqProbe& probe, std::vector<std::string>& args)
{
    const std::string ready = option(args, "--ready", "");
    if (!ready.empty()) std::ofstream(ready) << "ready\n";
    char line[256];
    while (std::fgets(line, sizeof line, stdin)) {
        ProbeEvent e;
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) continue;
        if (!SeqProbe::parse(text, e) || !probe.send(e)) std::fprintf(stderr, "seqprobe: cannot send '%s'\n", text.c_str());
    }
    return 0;
}

struct SongNote {
    int channel = 0;
    int pitch = 0;
    int64_t us = 0;
};

struct TimingFigures {
    std::string player;
    size_t matched = 0;
    int64_t p50 = -1, p99 = -1, max = -1;
    // How late the first note came against the song as a whole (the set-up
    // messages sent with it delay it).
    int64_t firstLate = 0;
};

// One player's arrivals against the song: the n-th arrival of a channel and
// pitch is the n-th note on of that channel and pitch in the song. The
// moment a player starts cannot be seen from here, so times are aligned on
// the median offset of arrival against ideal time: an error is how far a
// note arrived from where the song as a whole puts it.
TimingFigures noteTiming(const std::string& player, const std::vector<SongNote>& song, const std::vector<ProbeEvent>& got,
                          int64_t fromUs)
{
    std::map<std::pair<int, int>, std::vector<int64_t>> arrivals;
    for (const ProbeEvent& e : got) arrivals[{e.channel, e.a}].push_back(e.timeUs);
    std::map<std::pair<int, int>, size_t> used;
    std::vector<int64_t> offsets; // arrival - ideal, in the song's order
    size_t matched = 0;
    for (const SongNote& n : song) {
        const auto key = std::make_pair(n.channel, n.pitch);
        const auto& list = arrivals[key];
        size_t& k = used[key];
        if (k >= list.size()) continue;
        ++matched;
        if (n.us >= fromUs) offsets.push_back(list[k] - n.us);
        ++k;
    }
    TimingFigures f;
    f.player = player;
    f.matched = matched;
    if (offsets.empty()) return f;
    std::vector<int64_t> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const int64_t median = sorted[(sorted.size() - 1) / 2];
    std::vector<int64_t> errors;
    for (const int64_t o : offsets) errors.push_back(std::llabs(o - median));
    std::sort(errors.begin(), errors.end());
    f.firstLate = offsets.front() - median;
    f.p50 = errors[(errors.size() - 1) / 2];
    f.p99 = errors[static_cast<size_t>(0.99 * static_cast<double>(errors.size() - 1))];
    f.max = errors.back();
    return f;
}

int timing(SeqProbe& probe, std::vector<std::string>& args)
{
    const std::string notesFile = option(args, "--notes", "");
    std::string players = option(args, "--players", "player") + ",";
    const std::string ready = option(args, "--ready", "");
    const int wait = std::atoi(option(args, "--wait", "60000").c_str());  // for a player's first note
    const int quiet = std::atoi(option(args, "--quiet", "5000").c_str()); // without a note: the turn is over
    const int64_t fromUs = std::atoll(option(args, "--skip", "0").c_str()) * 1000; // the song's notes before: not timed
    std::vector<SongNote> song;
    std::ifstream in(notesFile);
    for (SongNote n; in >> n.channel >> n.pitch >> n.us;) song.push_back(n);
    if (song.empty() || !probe.stampArrivals()) {
        std::fprintf(stderr, "seqprobe: no notes in '%s', or no time stamps\n", notesFile.c_str());
        return 1;
    }
    if (!ready.empty()) std::ofstream(ready) << "ready\n";
    std::vector<TimingFigures> table;
    bool complete = true;
    for (size_t end; (end = players.find(',')) != std::string::npos; players.erase(0, end + 1)) {
        std::vector<ProbeEvent> got;
        ProbeEvent e;
        while (got.size() < song.size() && probe.receive(e, got.empty() ? wait : quiet))
            if (e.type == SND_SEQ_EVENT_NOTEON && e.b > 0) got.push_back(e);
        table.push_back(noteTiming(players.substr(0, end), song, got, fromUs));
        const TimingFigures& f = table.back();
        complete = complete && f.matched == song.size() && got.size() == song.size();
        std::printf("%s: %zu of %zu notes, %zu others\n", f.player.c_str(), f.matched, song.size(),
                    got.size() - f.matched);
        std::fflush(stdout);
    }
    std::printf("%-24s %10s %10s %10s %10s\n", "note time error (us)", "p50", "p99", "max", "first late");
    for (const TimingFigures& f : table)
        std::printf("%-24s %10lld %10lld %10lld %10lld\n", f.player.c_str(), static_cast<long long>(f.p50),
                    static_cast<long long>(f.p99), static_cast<long long>(f.max), static_cast<long long>(f.firstLate));
    return complete ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    SeqProbe probe;
    const std::string name = option(args, "--name", "vtn-probe");
    if (!probe.open(name, option(args, "--port", "out"))) {
        std::fputs("seqprobe: cannot open the sequencer\n", stderr);
        return 1;
    }
    if (mode == "ports") return ports(probe);
    if (mode == "capture") return capture(probe, args);
    if (mode == "send") return send(probe, args);
    if (mode == "latency") return latency(probe, args);
    if (mode == "timing") return timing(probe, args);
    if (mode == "keyboard") return keyboard(probe, args);
    if (mode == "relay") return probe.relay();
    return usage();
}
