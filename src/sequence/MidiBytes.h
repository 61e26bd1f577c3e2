#pragma once
// The byte forms of a Standard MIDI File that every writer shares.
#include <cstdint>
#include <string_view>
#include <vector>

// Variable-length quantity, most significant group first.
inline void putVlq(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t tmp[5];
    int k = 0;
    tmp[k++] = static_cast<uint8_t>(v & 0x7F);
    while (v >>= 7) tmp[k++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
    while (k > 0) out.push_back(tmp[--k]);
}

inline void putBigEndian(std::vector<uint8_t>& out, uint32_t v, int bytes)
{
    for (int k = bytes - 1; k >= 0; --k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

inline void putText(std::vector<uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// A meta event without its delta time: FF, type, length, data.
inline void putMeta(std::vector<uint8_t>& out, int type, std::string_view data)
{
    out.push_back(0xFF);
    out.push_back(static_cast<uint8_t>(type));
    putVlq(out, static_cast<uint32_t>(data.size()));
    putText(out, data);
}
