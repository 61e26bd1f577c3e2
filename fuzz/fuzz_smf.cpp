// libFuzzer target for the Standard MIDI File reader: read the input as a
// song and as a style, write what was read, and read the written file again,
// which must then be read whole.
#include "base/MessageSink.h"
#include "sequence/CMidiSequence.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

int presetNamed(const void*, std::string_view name) { return name == "Strings" ? 3 : -1; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(INT_MAX)) return 0;
    const int n = static_cast<int>(size);
    vtn::setMessageStream(nullptr);
    SequenceOptions options;
    options.baseFolder = "/music/";
    options.presetByName = presetNamed;
    // Both writer settings get exercised, chosen by the input's length.
    options.keepTracks = size & 1;
    options.seqSpecificChords = (size >> 1) & 1;

    CMidiSequence style;
    style.isStyle = 1;
    style.readMidiFile(data, 0, n, options);

    CMidiSequence song;
    if (song.readMidiFile(data, 0, n, options) == 0) return 0;
    const int written = song.writeMidiFile(song.trackNames[0], options);
    std::vector<uint8_t> file(static_cast<size_t>(written));
    song.copyOut(file.data());

    CMidiSequence again;
    if (again.readMidiFile(file.data(), 0, written, options) != written) __builtin_trap();
    return 0;
}
