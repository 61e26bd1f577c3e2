// Loading each style of the shared corpus from memory (a fresh style, the
// whole readStyle) and, in the same run, Debian's libsmf loading the same
// bytes as a plain MIDI file (smf_load_from_memory). Prints the median and
// 90th percentile in microseconds and the ratio of the medians.
#include "base/MessageSink.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#ifdef VTN_HAVE_LIBSMF
#include <glib.h>
#include <smf.h>
#endif

namespace {

constexpr int kRepetitions = 300;

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

double microsecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

#ifdef VTN_HAVE_LIBSMF
// libsmf reports every chunk it does not know (CASM, OTSc) through glib;
// the lines would be timed with it and fill the output.
void quiet(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}
#endif

} // namespace

int main(int argc, char** argv)
{
    vtn::setMessageStream(nullptr); // the reader's messages are not measured
    const std::string dir = argc > 1 ? argv[1] : std::string(VTN_BENCH_CORPUS_DIR) + "/styles";
    const char* files[] = {"JazzWaltzMed.S351.sst", "LingusFunk.S066.sty", "SambaCity213.s460.sty"};
    std::printf("Style load from memory, %d repetitions each (release untimed), microseconds\n", kRepetitions);
    std::printf("%-24s %7s %8s %8s %10s %10s %8s\n", "style", "bytes", "ours p50", "ours p90", "libsmf p50", "libsmf p90",
                "ratio");
#ifdef VTN_HAVE_LIBSMF
    g_log_set_default_handler(quiet, nullptr);
#endif
    int loaded = 0;
    for (const char* name : files) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        if (!in) {
            std::printf("%-24s not found in %s\n", name, dir.c_str());
            continue;
        }
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const int size = static_cast<int>(data.size());

        std::vector<double> ours;
        int parts = 0;
        for (int k = 0; k < kRepetitions; ++k) {
            const auto start = std::chrono::steady_clock::now();
            auto style = std::make_unique<CStyle>();
            const int r = style->readStyle(data.data(), size, {});
            ours.push_back(microsecondsSince(start));
            if (r == 0) {
                std::printf("%-24s refused by our reader\n", name);
                return 1;
            }
            parts = style->partCount();
        }
        ++loaded;
        std::printf("%-24s %7d %8.0f %8.0f", name, size, percentile(ours, 0.5), percentile(ours, 0.9));

#ifdef VTN_HAVE_LIBSMF
        std::vector<double> peer;
        bool refused = false;
        for (int k = 0; k < kRepetitions && !refused; ++k) {
            const auto start = std::chrono::steady_clock::now();
            smf_t* smf = smf_load_from_memory(data.data(), size);
            peer.push_back(microsecondsSince(start));
            if (!smf) refused = true;
            else smf_delete(smf);
        }
        if (refused)
            std::printf("  libsmf refuses this file: no peer figure");
        else
            std::printf(" %10.0f %10.0f %8.2f", percentile(peer, 0.5), percentile(peer, 0.9),
                        percentile(peer, 0.5) / percentile(ours, 0.5));
#else
        std::printf("  libsmf not found at build time: no peer figure");
#endif
        std::printf("   (%d parts)\n", parts);
    }
    std::printf("ratio = libsmf median / ours: above 1 means ours loads faster\n");
    return loaded > 0 ? 0 : 1;
}
