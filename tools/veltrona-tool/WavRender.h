#pragma once
// A rendered Standard MIDI File turned into sound: FluidSynth plays it
// offline into a 16-bit stereo 44.1 kHz WAV file.
#include <cstdint>
#include <string>
#include <vector>

namespace vtntool {

// The first General MIDI SoundFont installed in the usual places, the
// better-sounding before the small; empty when there is none.
std::string defaultSoundFont();

// Plays `midi` through `soundFont` into the file `out`; the audio ends once
// the last sound has died away (at most a second after the last event).
// False with `why` set when the SoundFont or the file is refused.
bool renderWav(const std::vector<uint8_t>& midi, const std::string& soundFont, const std::string& out,
               double& seconds, std::string& why);

} // namespace vtntool
