#pragma once
// What the file readers and the writer take from the arranger around them.
// The defaults are those of an arranger without settings: no presets, no
// folder, the writer's plain forms.
#include <cstdint>
#include <string>
#include <string_view>

// The number of the first preset named `name`; -1 when none is.
using PresetLookup = int (*)(const void* context, std::string_view name);

struct SequenceOptions {
    // Level-rule targets a style falls back on when it has no volume
    // controllers or no velocities of its own.
    int32_t targetVolume = 100;
    int32_t targetVelocity = 100;
    // Writer: the file's own tracks written back as tracks; chords as
    // sequencer-specific events instead of markers.
    bool keepTracks = false;
    bool seqSpecificChords = false;
    // Folder that a "style:" event's bare file name is found under.
    std::string baseFolder;
    // Resolves "voice:" names; null: no presets.
    PresetLookup presetByName = nullptr;
    const void* presetContext = nullptr;
};
