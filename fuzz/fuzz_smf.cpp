// libFuzzer target for the Standard MIDI File reader: read the input as a
// song and as a style, write what was read, and read the written file again,
// which must then be read whole.
#include "engine/CKvSeq.h"
#include "sequence/CMidiSequence.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// The owner supplies the base folder, presets and writer settings; one for
// the whole run, as the arranger has one engine.
CKvSeq& engine()
{
    static CKvSeq* e = [] {
        auto* made = new CKvSeq();
        made->baseFolder = "/music/";
        made->presets[3].name = "Strings";
        return made;
    }();
    return *e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(INT_MAX)) return 0;
    const int n = static_cast<int>(size);
    // Both writer settings get exercised, chosen by the input's length.
    engine().recordKeepTracks = static_cast<uint8_t>(size & 1);
    engine().recordChordsSeqSpecific = static_cast<uint8_t>((size >> 1) & 1);

    CMidiSequence style(&engine());
    style.isStyle = 1;
    style.messageOut = nullptr;
    style.readMidiFile(data, 0, n);

    CMidiSequence song(&engine());
    song.messageOut = nullptr;
    if (song.readMidiFile(data, 0, n) == 0) return 0;
    const int written = song.writeMidiFile(song.trackNames[0]);
    std::vector<uint8_t> file(static_cast<size_t>(written));
    song.copyOut(file.data());

    CMidiSequence again(&engine());
    again.messageOut = nullptr;
    if (again.readMidiFile(file.data(), 0, written) != written) __builtin_trap();
    return 0;
}
