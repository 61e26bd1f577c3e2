// Writes the seed files of the style fuzzer into the folder named by the
// first argument, each built with the style writer.
#include "StyleWriter.h"

#include <cstdio>
#include <string>

using stylewriter::Bytes;
using stylewriter::ChannelTable;
using stylewriter::Segment;
using stylewriter::StyleWriter;

namespace {

bool save(const std::string& folder, const char* name, const Bytes& b)
{
    const std::string path = folder + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

// Parts with notes held across their markers, set-up controllers, and a
// CASM section with Ctab, Ctb2 and other chunks in two segments.
Bytes full(int ticksPerBeat, int numerator, int format, int sff = 1)
{
    StyleWriter w(ticksPerBeat, numerator);
    w.format = format;
    w.sff = sff;
    int bar = 2;
    for (const char* name : {"Intro A", "Main A", "Fill In AA", "Main B", "Fill In BA", "Fill In AB", "Ending B"})
        w.part(name, bar++);
    w.controller(0, 0, 0, 8).controller(0, 0, 7, 100).program(0, 9, 0).marker(w.at(3, 2), "remark");
    for (int b = 2; b < bar; ++b)
        for (int ch : {0, 2, 9, 10, 12}) w.note(w.at(b, 2) - 5, ch, 36 + ch + b, 70 + b, ticksPerBeat * numerator);
    ChannelTable drums;
    drums.source = 9;
    drums.dest = 1;
    drums.chordMute[0] = 0x07;
    drums.ntt = 0;
    ChannelTable bass;
    bass.source = 2;
    bass.dest = 2;
    bass.ntt = 0x81;
    bass.ctb2 = true;
    bass.ntr = 2;
    bass.middleLow = 40;
    bass.middleHigh = 70;
    bass.low.ntt = 0x81;
    bass.high.ntr = 1;
    bass.high.ntt = 9;
    bass.tail = Bytes(7, 0);
    ChannelTable chords;
    chords.source = 12;
    chords.dest = 12;
    chords.ntt = 7;
    Segment a;
    a.sdec = "Intro A,Main A,Fill In AA,Fill In AB";
    a.tables = {drums, bass, chords};
    a.otherChunks = {{"Cntt", {0x09, 0x00}}, {"Cntt", {0x02, 0x81}}};
    Segment b = a;
    b.sdec = "Main B,Fill In BA,Ending B";
    b.tables[0].dest = 9;
    w.segment(a).segment(b);
    w.trailing = {'O', 'T', 'S', 'c', 0, 0, 0, 2, 1, 2};
    return w.build();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_style_seeds FOLDER\n");
        return 1;
    }
    const std::string dir = argv[1];
    StyleWriter bare;
    bare.part("Main A", 2).note(bare.at(2), 0, 60, 90, 100);
    bare.withCasm = false;
    bool ok = save(dir, "full-4-4.sty", full(480, 4, 0)) && save(dir, "full-3-4-format1.sty", full(1920, 3, 1)) &&
              save(dir, "full-192.sty", full(192, 4, 0)) && save(dir, "full-sff2.sty", full(480, 4, 1, 2)) &&
              save(dir, "no-casm.sty", bare.build());
    if (!ok) std::fprintf(stderr, "make_style_seeds: cannot write into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
