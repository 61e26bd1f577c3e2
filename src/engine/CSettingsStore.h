#pragma once
// Records of the settings file that the live arranger keeps but does not
// play from; held so that nothing of a loaded file is lost.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class CSettingsStore {
public:
    std::vector<std::array<int16_t, 13>> records13;
    std::vector<std::array<int16_t, 6>> records6;
    std::vector<int16_t> integers;
    std::vector<std::string> texts;
    void clear()
    {
        records13.clear();
        records6.clear();
        integers.clear();
        texts.clear();
    }
};
