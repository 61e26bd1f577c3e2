// wavlevel: the loudness of a 16-bit PCM WAV file, window by window, so a
// shell script can tell sound from silence (the kernel suite's FluidSynth).
//
//   wavlevel FILE [WINDOW_MS]
//
// First line: "rate R channels C data OFFSET frames N" (OFFSET: the byte of
// the first sample). Then per window: its start in milliseconds and its RMS
// in dBFS over all channels (-120 for digital silence). A data chunk whose
// size is 0 or past the end (a writer that was stopped before closing the
// file) runs to the end of the file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

int refuse(const char* file, const char* why)
{
    std::fprintf(stderr, "wavlevel: %s: %s\n", file, why);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: wavlevel FILE [WINDOW_MS]\n", stderr);
        return 2;
    }
    const char* name = argv[1];
    const long windowMs = argc == 3 ? std::atol(argv[2]) : 100;
    std::ifstream in(name, std::ios::binary);
    if (!in) return refuse(name, "cannot be read");
    const std::vector<unsigned char> f{std::istreambuf_iterator<char>(in), {}};
    if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 || std::memcmp(f.data() + 8, "WAVE", 4) != 0)
        return refuse(name, "not a WAV file");
    if (windowMs <= 0) return refuse(name, "the window must be at least 1 ms");
    uint32_t rate = 0;
    unsigned channels = 0;
    size_t pos = 12;
    while (pos + 8 <= f.size()) {
        const uint32_t size = le32(&f[pos + 4]);
        const size_t body = pos + 8;
        if (std::memcmp(&f[pos], "fmt ", 4) == 0 && body + 16 <= f.size()) {
            if (le16(&f[body]) != 1 || le16(&f[body + 14]) != 16) return refuse(name, "not 16-bit PCM");
            channels = le16(&f[body + 2]);
            rate = le32(&f[body + 4]);
        } else if (std::memcmp(&f[pos], "data", 4) == 0) {
            if (rate == 0 || channels == 0) return refuse(name, "data before its format");
            const size_t end = size == 0 || size > f.size() - body ? f.size() : body + size;
            const size_t frameBytes = 2 * channels;
            const size_t frames = (end - body) / frameBytes;
            std::printf("rate %u channels %u data %zu frames %zu\n", rate, channels, body, frames);
            const size_t perWindow = std::max<size_t>(1, static_cast<size_t>(rate) * static_cast<size_t>(windowMs) / 1000);
            for (size_t first = 0; first < frames; first += perWindow) {
                const size_t last = std::min(frames, first + perWindow);
                double sum = 0;
                for (size_t i = body + first * frameBytes; i < body + last * frameBytes; i += 2) {
                    const double v = static_cast<int16_t>(le16(&f[i])) / 32768.0;
                    sum += v * v;
                }
                const double rms = std::sqrt(sum / static_cast<double>((last - first) * channels));
                std::printf("%zu %.1f\n", first * 1000 / rate, rms > 1e-6 ? 20 * std::log10(rms) : -120.0);
            }
            return 0;
        }
        pos = body + size + (size & 1);
    }
    return refuse(name, "no data chunk");
}
