// Writes the seed files of the Standard MIDI File fuzzer into the folder
// named by the first argument. Each seed is built by code, so it can be read.
#include "SmfBuilder.h"

#include <cstdio>
#include <string>

using smftest::Bytes;

namespace {

bool save(const std::string& folder, const char* name, const Bytes& b)
{
    const std::string path = folder + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.v.data(), 1, b.v.size(), f) == b.v.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_smf_seeds FOLDER\n");
        return 1;
    }
    const std::string dir = argv[1];

    const Bytes runningStatus = smftest::smf(0, 96, {Bytes{0x00, 0x90, 0x3C, 0x40, 0x00, 0x3E, 0x40, 0x60, 0x3C, 0x00, 0x00, 0x3E, 0x00}});
    const Bytes keywords = smftest::smf(
        0, 480,
        {Bytes{}
             .meta(0, 0x06, "chord:C#m7/G")
             .meta(0, 0x06, "voice:Strings")
             .meta(0, 0x06, "voice:12")
             .meta(10, 0x06, "channelvoice:3;5;42")
             .meta(10, 0x06, "melody:001;064;100")
             .meta(20, 0x06, "style:Swing.sty")
             .meta(20, 0x06, "part:Main A")
             .meta(30, 0x7F, std::string("\x43\x7B\x01\x23\x00\x7F", 6))});
    Bytes styleLike = smftest::smf(0, 1920,
                                   {Bytes{}
                                        .meta(0, 0x03, "Style")
                                        .meta(0, 0x06, "SFF1")
                                        .meta(0, 0x06, "Main A")
                                        .u8({0x00, 0x99, 36, 100, 0x83, 0x60, 0x89, 36, 0})
                                        .meta(0, 0x58, std::string("\x03\x02\x18\x08", 4))});
    styleLike.text("CASM").be(12, 4).text("CSEG").be(4, 4).text("Sdec");
    const Bytes signatures = smftest::smf(1, 480,
                                          {Bytes{}
                                               .meta(0, 0x58, std::string("\x04\x02\x18\x08", 4))
                                               .meta(1920, 0x58, std::string("\x06\x03\x18\x08", 4))
                                               .meta(100, 0x58, std::string("\x07\x03\x18\x08", 4))
                                               .meta(0, 0x51, std::string("\x07\xA1\x20", 3)),
                                           Bytes{0x00, 0x91, 60, 100, 0x8F, 0x00, 0x81, 60, 0}});
    const Bytes sysEx = smftest::smf(0, 96, {Bytes{0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0x00, 0xF7, 0x02, 0x43, 0x10}});

    const bool ok = save(dir, "rich-song.mid", smftest::richSong()) && save(dir, "running-status.mid", runningStatus) &&
                    save(dir, "keywords.mid", keywords) && save(dir, "style-like.mid", styleLike) &&
                    save(dir, "signatures.mid", signatures) && save(dir, "sysex.mid", sysEx);
    if (!ok) {
        std::fprintf(stderr, "make_smf_seeds: cannot write to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
