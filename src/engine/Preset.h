#pragma once
// A preset: a name and four layers that the melody voices play through.
#include <cstdint>
#include <string>

struct PresetLayer {
    int32_t type = 0;
    int32_t octaveShift = 0;
    int32_t program = 0;
    int32_t bankMsb = -1;   // -1 in a controller value: not set
    int32_t bankLsb = -1;
    int32_t volume = -1;
    int32_t pan = -1;
    int32_t reverb = -1;
    int32_t chorus = -1;
    int32_t modulation = -1;
    int32_t layerChannel = 0; // MIDI channel the layer plays on
};

struct Preset {
    std::string name;       // "ZZZ empty" marks a free slot
    PresetLayer layers[4];
};

constexpr int kPresetCount = 500;
constexpr const char* kFreePresetName = "ZZZ empty";
