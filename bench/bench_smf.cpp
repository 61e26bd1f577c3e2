// Reading a 5 MB Standard MIDI File from memory: our reader and, in the same
// run, Debian's libsmf (smf_load_from_memory) on the same bytes. Prints the
// median of several repetitions in MB/s and the ratio.
#include "base/MessageSink.h"
#include "sequence/CMidiSequence.h"

#include "SmfBuilder.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#ifdef VTN_HAVE_LIBSMF
#include <smf.h>
#endif

namespace {

using smftest::Bytes;

// A dense 16-track song: notes under running status (note off as velocity
// 0), controllers, wheel, pressure, programs, and now and then texts,
// markers, tempo changes and SysEx.
std::vector<uint8_t> makeSong(size_t targetBytes)
{
    constexpr int kTracks = 16;
    const size_t perTrack = targetBytes / kTracks;
    Bytes file;
    file.text("MThd");
    file.be(6, 4);
    file.be(1, 2);
    file.be(kTracks, 2);
    file.be(480, 2);
    uint32_t seed = 12345;
    auto rnd = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int t = 0; t < kTracks; ++t) {
        Bytes tr;
        const int ch = t;
        tr.meta(0, 0x03, "Track " + std::to_string(t));
        if (t == 0) {
            tr.meta(0, 0x58, std::string("\x04\x02\x18\x08", 4));
            tr.meta(0, 0x51, std::string("\x07\xA1\x20", 3));
        }
        tr.vlq(0);
        tr.u8({programStatus(ch), static_cast<int>(rnd() % 128)});
        int n = 0;
        while (tr.v.size() < perTrack) {
            // A three-note chord under running status, ended by velocity 0.
            const int root = 36 + static_cast<int>(rnd() % 48);
            const int notes[3] = {root, root + 4, root + 7};
            tr.vlq(static_cast<uint32_t>(rnd() % 4 == 0 ? 120 : 10));
            tr.u8({noteOnStatus(ch)});
            for (int k = 0; k < 3; ++k) {
                if (k) tr.vlq(static_cast<uint32_t>(rnd() % 3));
                tr.u8({notes[k], 1 + static_cast<int>(rnd() % 126)});
            }
            for (int k = 0; k < 3; ++k) {
                tr.vlq(k ? 0 : 60);
                tr.u8({notes[k], 0});
            }
            if (++n % 8 == 0) {
                tr.vlq(0);
                tr.u8({controllerStatus(ch), static_cast<int>(rnd() % 120), static_cast<int>(rnd() % 128)});
                tr.vlq(5);
                tr.u8({pitchBendStatus(ch), 0, static_cast<int>(rnd() % 128)});
                tr.vlq(0);
                tr.u8({statusOf(kChannelPressure, ch), 40});
            }
            if (n % 500 == 0) tr.meta(0, 0x01, "lyric text " + std::to_string(n));
            if (t == 0 && n % 700 == 0) {
                tr.meta(0, 0x51, std::string("\x07\xA1\x20", 3));
                tr.meta(0, 0x06, "Section " + std::to_string(n));
            }
            if (n % 2000 == 0) {
                tr.vlq(0);
                const uint8_t gm[] = {0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
                tr.v.insert(tr.v.end(), gm, gm + sizeof gm);
            }
        }
        tr.meta(0, 0x2F, "");
        file.text("MTrk");
        file.be(static_cast<uint32_t>(tr.v.size()), 4);
        file.v.insert(file.v.end(), tr.v.begin(), tr.v.end());
    }
    return file.v;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F> double timeOnce(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main()
{
    vtn::setMessageStream(nullptr); // the reader's messages are not measured
    constexpr int kRepetitions = 5;
    const std::vector<uint8_t> song = makeSong(5u << 20);
    const double mb = static_cast<double>(song.size()) / (1 << 20);
    std::printf("SMF read from memory: %.2f MB, 16 tracks, %d repetitions (median; load only, release untimed)\n", mb,
                kRepetitions);

    std::vector<double> ours;
    int events = 0;
    for (int k = 0; k < kRepetitions; ++k) {
        auto s = std::make_unique<CMidiSequence>();
        int r = 0;
        ours.push_back(timeOnce([&] { r = s->readMidiFile(song.data(), 0, static_cast<int>(song.size()), {}); }));
        if (r != static_cast<int>(song.size())) {
            std::printf("our reader stopped at %d\n", r);
            return 1;
        }
        events = s->eventCount() - kFirstEvent;
    }
    const double oursMbs = mb / median(ours);
    std::printf("%-26s %8.1f MB/s  %7.1f ms  (%d events)\n", "veltrona readMidiFile", oursMbs, median(ours) * 1e3,
                events);

#ifdef VTN_HAVE_LIBSMF
    std::vector<double> peer;
    int peerEvents = 0;
    for (int k = 0; k < kRepetitions; ++k) {
        smf_t* smf = nullptr;
        peer.push_back(timeOnce([&] { smf = smf_load_from_memory(song.data(), static_cast<int>(song.size())); }));
        if (!smf) {
            std::printf("libsmf refused the file\n");
            return 1;
        }
        peerEvents = 0;
        for (int t = 1; t <= smf->number_of_tracks; ++t) peerEvents += smf_get_track_by_number(smf, t)->number_of_events;
        // Not released: smf_delete removes events one by one from the front
        // of an array, which takes minutes for this file. The process ends
        // soon after. So each load, like each of ours (whose event array
        // goes back to the system), starts on fresh memory.
    }
    const double peerMbs = mb / median(peer);
    std::printf("%-26s %8.1f MB/s  %7.1f ms  (%d events)\n", "libsmf smf_load_from_memory", peerMbs,
                median(peer) * 1e3, peerEvents);
    std::printf("ratio (ours / libsmf)     %8.2f\n", oursMbs / peerMbs);
#else
    std::printf("libsmf not found at build time: no peer figure\n");
#endif
    return 0;
}
