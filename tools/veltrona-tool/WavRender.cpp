#include "WavRender.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace vtntool {
namespace {

constexpr int kSampleRate = 44100;
// Released notes may ring on after the last event, but not for long.
constexpr int kTailFrames = kSampleRate;
// The reverb dies away in about this time once the last voice is gone;
// cutting it off would end the audio with a click.
constexpr int kReverbFrames = kSampleRate * 2 / 5;

template <auto Delete> struct Deleter {
    template <typename T> void operator()(T* p) const { Delete(p); }
};

} // namespace

std::string defaultSoundFont()
{
    for (const char* path : {"/usr/share/sounds/sf2/FluidR3_GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2",
                             "/usr/share/sounds/sf2/default-GM.sf2"})
        if (std::filesystem::is_regular_file(path)) return path;
    return {};
}

bool renderWav(const std::vector<uint8_t>& midi, const std::string& soundFont, const std::string& out,
               double& seconds, std::string& why)
{
    // Our refusals are one line each; FluidSynth's own messages would add more.
    for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level) fluid_set_log_function(level, nullptr, nullptr);

    std::error_code error;
    if (!std::filesystem::is_regular_file(soundFont, error)) {
        why = soundFont + ": no such SoundFont";
        return false;
    }
    if (!fluid_is_soundfont(soundFont.c_str())) {
        why = soundFont + ": not a SoundFont";
        return false;
    }
    // Refused here, before any work, and with the system's reason.
    if (std::FILE* f = std::fopen(out.c_str(), "wb")) {
        std::fclose(f);
    } else {
        why = out + ": " + std::strerror(errno);
        return false;
    }

    std::unique_ptr<fluid_settings_t, Deleter<delete_fluid_settings>> settings(new_fluid_settings());
    fluid_settings_t* s = settings.get();
    // Yamaha-format styles select their drum kits with bank MSB 127, on
    // channels other than 10 too; only the XG scheme makes those drum channels.
    fluid_settings_setstr(s, "synth.midi-bank-select", "xg");
    fluid_settings_setnum(s, "synth.sample-rate", kSampleRate);
    // FluidSynth's default gain (0.2) leaves a whole band near -35 dBFS; this
    // keeps the loudest style well below clipping and easy to hear.
    fluid_settings_setnum(s, "synth.gain", 0.5);
    // The player follows the rendered samples, not the wall clock.
    fluid_settings_setstr(s, "player.timing-source", "sample");
    fluid_settings_setstr(s, "audio.file.name", out.c_str());
    fluid_settings_setstr(s, "audio.file.type", "wav");
    fluid_settings_setstr(s, "audio.file.format", "s16");

    std::unique_ptr<fluid_synth_t, Deleter<delete_fluid_synth>> synth(new_fluid_synth(s));
    if (!synth || fluid_synth_sfload(synth.get(), soundFont.c_str(), 1) == FLUID_FAILED) {
        why = soundFont + ": the SoundFont cannot be loaded";
        return false;
    }
    std::unique_ptr<fluid_player_t, Deleter<delete_fluid_player>> player(new_fluid_player(synth.get()));
    if (!player || fluid_player_add_mem(player.get(), midi.data(), midi.size()) != FLUID_OK) {
        why = "the rendered MIDI file cannot be played";
        return false;
    }
    std::unique_ptr<fluid_file_renderer_t, Deleter<delete_fluid_file_renderer>> renderer(
        new_fluid_file_renderer(synth.get()));
    if (!renderer) {
        why = out + ": cannot be written as WAV";
        return false;
    }
    int period = 64;
    fluid_settings_getint(s, "audio.period-size", &period);

    int64_t frames = 0;
    auto block = [&] {
        frames += period;
        return fluid_file_renderer_process_block(renderer.get()) == FLUID_OK;
    };
    // The player stays "playing" for a grace time after the last event; the
    // audio ends at the last event and the release of what still sounds.
    auto playing = [&] {
        const int total = fluid_player_get_total_ticks(player.get());
        return fluid_player_get_status(player.get()) == FLUID_PLAYER_PLAYING &&
               (total <= 0 || fluid_player_get_current_tick(player.get()) < total);
    };
    bool ok = fluid_player_play(player.get()) == FLUID_OK;
    while (ok && playing()) ok = block();
    const int64_t tailEnd = frames + kTailFrames;
    while (ok && frames < tailEnd && fluid_synth_get_active_voice_count(synth.get()) > 0) ok = block();
    for (const int64_t end = std::min(tailEnd, frames + kReverbFrames); ok && frames < end;) ok = block();
    renderer.reset(); // closes the file
    if (!ok) {
        why = out + ": write error";
        return false;
    }
    seconds = static_cast<double>(frames) / kSampleRate;
    return true;
}

} // namespace vtntool
